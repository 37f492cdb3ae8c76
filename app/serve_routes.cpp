#include "app/serve_routes.hpp"

#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "app/serve_audit.hpp"
#include "app/serve_limits.hpp"
#include "app/serve_writer.hpp"
#include "reader/json.hpp"
#include "reader/output.hpp"
#include "reader/reader.hpp"
#include "registry/input.hpp"
#include "registry/registry.hpp"
#include "registry/views.hpp"
#include "web_assets.hpp"

namespace zavro::server {
namespace {

// One registry connection per worker at most: a connection serves one
// request at a time, and readers on SQLite need not wait for each other.
class Registries {
 public:
  explicit Registries(std::string location) : location_(std::move(location)) {}

  class Lease {
   public:
    Lease(Registries& pool, std::unique_ptr<registry::Registry> r)
        : pool_(pool), registry_(std::move(r)) {}
    ~Lease() {
      if (registry_) pool_.give_back(std::move(registry_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    registry::Registry& operator*() const { return *registry_; }

   private:
    Registries& pool_;
    std::unique_ptr<registry::Registry> registry_;
  };

  Lease take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        auto r = std::move(idle_.back());
        idle_.pop_back();
        return {*this, std::move(r)};
      }
    }
    return {*this, registry::Registry::open(location_, true)};
  }

 private:
  void give_back(std::unique_ptr<registry::Registry> r) {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(r));
  }

  std::string location_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<registry::Registry>> idle_;
};

// Lines the views write, as one JSON array; with a key, the machine ids
// after it in each line ("KEY":ID, or "KEY":[IDS] when array), for the audit log.
class Array {
 public:
  Array() = default;
  Array(const char* key, bool array) : key_(key), array_(array) {}
  void operator()(const std::string& line) {
    out_ += out_.size() > 1 ? "," : "";
    out_ += line;
    last_ = line;
    ++count_;
    if (key_ != nullptr) note_ids(line);
  }
  // The ids seen, onto an answer.
  Response& shown(Response& response) const {
    response.shown = ids_;
    response.shown_count = id_count_;
    return response;
  }
  std::string done() { return out_ += ']'; }
  std::size_t count() const { return count_; }
  // The number after "KEY": (or "KEY":[) in the last line: where the next
  // page starts.
  registry::Id last_key(std::string_view key, bool array = false) const {
    const std::string needle = "\"" + std::string(key) + "\":" + (array ? "[" : "");
    const auto at = last_.find(needle);
    if (at == std::string::npos) return 0;
    return std::strtoll(last_.c_str() + at + needle.size(), nullptr, 10);
  }

 private:
  void note_ids(const std::string& line) {
    const std::string needle = "\"" + std::string(key_) + "\":" + (array_ ? "[" : "");
    const auto at = line.find(needle);
    if (at == std::string::npos) return;
    const char* p = line.c_str() + at + needle.size();
    for (;;) {
      char* end = nullptr;
      const long long id = std::strtoll(p, &end, 10);
      if (end == p) return;  // null, or an empty array
      ++id_count_;
      if (ids_.size() < registry::kAuditIds) ids_.push_back(id);
      if (!array_ || *end != ',') return;
      p = end + 1;
    }
  }

  std::string out_ = "[";
  std::string last_;
  std::size_t count_ = 0;
  const char* key_ = nullptr;
  bool array_ = false;
  std::vector<std::int64_t> ids_;
  std::int64_t id_count_ = 0;
};

// Every list the API gives is paged: limit (default 100, at most 1,000)
// after a key; a Link header names the next page while more remain.
constexpr std::size_t kApiPage = 100;
constexpr std::size_t kApiMostPage = 1000;

std::optional<registry::Page> page_of(const Request& request) {
  const auto number = [](const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    value = std::stoll(text);
    return true;
  };
  registry::Page page{0, kApiPage};
  std::int64_t value = 0;
  const std::string limit = request.param("limit");
  if (!limit.empty()) {
    if (!number(limit, value) || value < 1 || value > static_cast<std::int64_t>(kApiMostPage)) {
      return std::nullopt;
    }
    page.limit = static_cast<std::size_t>(value);
  }
  const std::string after = request.param("after");
  if (!after.empty()) {
    if (!number(after, value)) return std::nullopt;
    page.after = value;
  }
  return page;
}

Response bad_page() {
  return error_answer(Problem::kBadRequest, "limit is 1 to 1000, after a whole number");
}

std::string query_escaped(std::string_view text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '_' || b == '.' || b == '~') {
      out += c;
    } else {
      out += '%';
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
  }
  return out;
}

// The audit log's route: method, path and query, with no secret a client may
// have put in the query.
std::string audit_route(const Request& request) {
  std::string out = request.method + " " + request.path;
  char sep = '?';
  for (const Field& f : request.query) {
    std::string name = f.name;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool secret = name.find("token") != std::string::npos ||
                        name.find("password") != std::string::npos ||
                        name.find("secret") != std::string::npos;
    out += sep;
    sep = '&';
    out += query_escaped(f.name) + "=" + (secret ? std::string("-") : query_escaped(f.value));
    if (out.size() > registry::kAuditRoute) break;
  }
  if (out.size() > registry::kAuditRoute) out.resize(registry::kAuditRoute);
  return out;
}

// The page as the body; while more remain, a Link to the next.
Response page_answer(const Request& request, const registry::Page& page, Array& out, bool more,
                     registry::Id next_after, std::initializer_list<const char*> kept = {"q"}) {
  Response response;
  out.shown(response);
  if (more) {
    std::string link = "<" + request.path + "?";
    for (const char* name : kept) {
      const std::string value = request.param(name);
      if (!value.empty()) link += std::string(name) + "=" + query_escaped(value) + "&";
    }
    link += "limit=" + std::to_string(page.limit.value_or(kApiPage)) +
            "&after=" + std::to_string(next_after) + ">; rel=\"next\"";
    response.headers.push_back({"Link", link});
  }
  response.body = out.done();
  return response;
}

Response json(std::string body) {
  Response response;
  response.body = std::move(body);
  return response;
}

Response no_content() {
  Response response;
  response.status = 204;
  return response;
}

// "/machines/ID" and the like: the id after prefix, 1 to 18 digits.
std::optional<registry::Id> id_after(std::string_view path, std::string_view prefix) {
  if (path.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view digits = path.substr(prefix.size());
  if (digits.empty() || digits.size() > 18 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::stoll(std::string(digits));
}

// "/machines/ID/merge" and the like: the id between prefix and suffix.
std::optional<registry::Id> id_between(std::string_view path, std::string_view prefix,
                                       std::string_view suffix) {
  if (path.size() <= suffix.size() || path.substr(path.size() - suffix.size()) != suffix) {
    return std::nullopt;
  }
  return id_after(path.substr(0, path.size() - suffix.size()), prefix);
}

// A decision's body: a reason and a few ids or labels.
constexpr std::size_t kDecisionBody = std::size_t{64} * 1024;

void log_error(const std::string& message) {
  std::cerr << "zavro-record: " << reader::terminal_safe(message) << '\n';
}

}  // namespace

struct Service::Parts {
  ServiceOptions options;
  Access& access;
  Registries registries;
  Writer writer;
  AuditLog audit_log;

  Parts(ServiceOptions o, Access& a)
      : options(std::move(o)),
        access(a),
        registries(options.location),
        writer(options.location),
        audit_log(options.location) {}

  // A route: what it answers, and whether it needs signing in. Immediate
  // ones answer on the network thread (no body, no registry); the others
  // get their body read and run on a worker. need: the rights it needs
  // (registry::Right) when signed_in; 0 says by method: read for GET, and
  // correct (a desk or an admin) for anything that changes something.
  struct Route {
    const char* method;
    std::function<bool(std::string_view path)> matches;
    bool signed_in;
    std::size_t body_limit;
    std::function<Response(Parts&, Request&)> run;
    bool immediate = false;
    unsigned need = 0;

    unsigned needs() const {
      if (!signed_in) return 0;
      if (need != 0) return need;
      return std::string_view(method) == "GET" ? registry::kRead : registry::kCorrect;
    }
  };
  std::vector<Route> routes = make_routes();

  std::vector<Route> make_routes() {
    const auto exact = [](std::string_view want) {
      return [want](std::string_view path) { return path == want; };
    };
    std::vector<Route> all;
    // --- the page: the same document for each of its addresses, and its files
    const auto page_path = [](std::string_view path) {
      return path == "/" || path == "/machines" || path == "/clones" || path == "/placeholders" ||
             path == "/rejected" || path == "/decisions" || id_after(path, "/machines/");
    };
    all.push_back({"GET", page_path, false, 0, [](Parts&, Request&) { return asset(0); }, true});
    for (std::size_t i = 0; i < std::size(web::kAssets); ++i) {
      all.push_back({"GET", exact(web::kAssets[i].path), false, 0,
                     [i](Parts&, Request&) { return asset(i); }, true});
    }
    // --- the session
    all.push_back({"POST", exact("/api/v1/session"), false, kSignInBody, &Parts::sign_in});
    all.push_back({"DELETE", exact("/api/v1/session"), false, 0, &Parts::sign_out, true});
    all.push_back(
        {"GET", exact("/api/v1/session"), true, 0, &Parts::whoami, true, registry::kSignedIn});
    // --- reports and find
    all.push_back({"POST", exact("/api/v1/reports"), true, options.body_limit, &Parts::add, false,
                   registry::kAdd});
    all.push_back({"POST", exact("/api/v1/find"), true, options.body_limit, &Parts::find, false,
                   registry::kFind});
    // --- machines
    all.push_back({"GET", exact("/api/v1/machines"), true, 0, &Parts::machines});
    all.push_back({"GET",
                   [](std::string_view p) { return id_after(p, "/api/v1/machines/").has_value(); },
                   true, 0, &Parts::machine});
    all.push_back({"GET", [](std::string_view p) { return history_of(p).has_value(); }, true, 0,
                   &Parts::history});
    // --- people's decisions: a desk's or an admin's
    const auto decision_route = [&all](const char* prefix, const char* suffix,
                                       registry::Action action) {
      all.push_back({"POST",
                     [prefix, suffix](std::string_view p) {
                       return id_between(p, prefix, suffix).has_value();
                     },
                     true, kDecisionBody,
                     [prefix, suffix, action](Parts& parts, Request& request) {
                       return parts.decide(request, action,
                                           *id_between(request.path, prefix, suffix));
                     }});
    };
    decision_route("/api/v1/machines/", "/merge", registry::Action::kMerge);
    decision_route("/api/v1/machines/", "/split", registry::Action::kSplit);
    decision_route("/api/v1/machines/", "/labels", registry::Action::kLabel);
    decision_route("/api/v1/records/", "/void", registry::Action::kVoid);
    decision_route("/api/v1/decisions/", "/undo", registry::Action::kUndo);
    all.push_back({"GET", exact("/api/v1/decisions"), true, 0, [](Parts& parts, Request& request) {
                     const auto page = page_of(request);
                     if (!page) return bad_page();
                     Array out("machine", false);
                     const bool more =
                         registry::decisions(*parts.registries.take(), *page, true, std::ref(out));
                     return page_answer(request, *page, out, more, out.last_key("decision"));
                   }});
    // --- the audit log: an admin's
    all.push_back(
        {"GET", exact("/api/v1/audit"), true, 0, &Parts::audit, false, registry::kManage});
    all.push_back({"GET", exact("/api/v1/labels"), true, 0, [](Parts& parts, Request& request) {
                     std::optional<std::string> key;
                     if (const std::string k = request.param("key"); !k.empty()) key = k;
                     Array out;
                     registry::labels(*parts.registries.take(), key, true, std::ref(out));
                     return json(out.done());
                   }});
    // --- the listings, each paged by its own key (placeholders: a count)
    using View =
        bool (*)(registry::Registry&, const registry::Page&, bool, const registry::LineSink&);
    struct Listing {
      const char* path;
      View view;
      const char* key;  // the next page starts after the last line's
      bool array;       // the key names an array: its first number
    };
    const Listing listings[] = {
        {"/api/v1/placeholders", registry::placeholders, nullptr, false},
        {"/api/v1/clones", registry::clones, "machines", true},
        {"/api/v1/rejected", registry::rejected, "record", false},
        {"/api/v1/rejected/messages", registry::rejected_messages, "record", false}};
    for (const Listing& l : listings) {
      all.push_back({"GET", exact(l.path), true, 0, [l](Parts& parts, Request& request) {
                       const auto page = page_of(request);
                       if (!page) return bad_page();
                       // Clone groups name their machines; the other listings none.
                       Array out = l.array ? Array(l.key, true) : Array();
                       const bool more =
                           l.view(*parts.registries.take(), *page, true, std::ref(out));
                       const registry::Id next =
                           l.key != nullptr ? out.last_key(l.key, l.array)
                                            : page->after + static_cast<registry::Id>(out.count());
                       return page_answer(request, *page, out, more, next);
                     }});
    }
    return all;
  }

  static Response asset(std::size_t index) {
    const web::Asset& file = web::kAssets[index];
    Response response;
    response.type = file.type;
    response.fixed = std::string_view(reinterpret_cast<const char*>(file.data), file.size);
    return response;
  }

  std::string cookie(const std::string& value, const char* extra) const {
    return std::string(kSessionCookie) + "=" + value + "; Path=/; " + extra +
           "HttpOnly; SameSite=Strict" + (options.tls ? "; Secure" : "");
  }

  // {"name":..., "password":...}; or, on a registry without users, the
  // token file's token as the body.
  Response sign_in(Request& request) {
    std::string& body = request.body;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    std::string name = "token-file";
    std::string password;
    const bool person = !body.empty() && body.front() == '{';
    if (person) {
      const auto sent = nlohmann::json::parse(body, nullptr, false);
      if (!sent.is_object() || !sent.contains("name") || !sent["name"].is_string() ||
          !sent.contains("password") || !sent["password"].is_string()) {
        return error_answer(Problem::kBadRequest, R"(send {"name":"...","password":"..."})");
      }
      name = sent["name"].get<std::string>();
      password = sent["password"].get<std::string>();
    }
    if (!sign_in_limits.attempt(name, request.peer)) {
      return error_answer(Problem::kTooManySignIns,
                          "too many failed sign-ins: try again in a minute");
    }
    bool ok = false;
    if (person) {
      // An unknown name costs a hash too, so that the answer does not tell it.
      const auto hash = access.directory().hash_of(name);
      hashing.enter();
      ok = registry::verify_password(password, hash ? *hash : dummy_hash) && hash;
      hashing.leave();
    } else {
      ok = !access.directory().has_users() && access.token_matches(body);
    }
    if (!ok) {
      return error_answer(Problem::kUnauthorized,
                          person ? "name or password not accepted" : "that token was not accepted");
    }
    sign_in_limits.forgive(name, request.peer);
    const auto id = access.sessions().open(name);
    if (!id) return error_answer(Problem::kInternal, "no session could be made");
    Response response = no_content();
    response.headers.push_back({"Set-Cookie", cookie(*id, "")});
    return response;
  }

  // Who is signed in, and what they may do: the page shows what fits.
  static Response whoami(Parts&, Request& request) {
    const registry::Actor& actor = request.actor;
    reader::JsonLine out;
    out.begin_object().key("who").text(actor.who).key("role").text(actor.what).key("may");
    out.begin_array();
    const std::pair<unsigned, const char*> rights[] = {{registry::kRead, "read"},
                                                       {registry::kFind, "find"},
                                                       {registry::kAdd, "add"},
                                                       {registry::kCorrect, "correct"},
                                                       {registry::kManage, "manage"}};
    for (const auto& [right, word] : rights) {
      if (actor.may(right)) out.latin1(word);
    }
    out.end_array().end_object();
    return json(out.str());
  }

  SignInLimits sign_in_limits;
  HashGate hashing{kHashesAtOnce};
  const std::string dummy_hash = registry::hash_password("not anyone's password");

  Response sign_out(Request& request) {
    access.sessions().close(request.cookie(kSessionCookie));
    Response response = no_content();
    response.headers.push_back({"Set-Cookie", cookie("", "Max-Age=0; ")});
    return response;
  }

  static Response unauthorized() {
    return error_answer(Problem::kUnauthorized, "sign in or send Authorization: Bearer TOKEN");
  }

  static std::string name_of(const Request& request) {
    const std::string name = request.param("name");
    return name.empty() ? "upload" : name;
  }

  Response add(Request& request) {
    if (request.body.empty()) {
      return error_answer(Problem::kBadRequest, "empty body: send a report or an archive");
    }
    registry::ArchiveLimits limits;
    limits.members = kMaxMembers;
    limits.unpacked = kUnpackedPerBodyByte * options.body_limit;
    limits.cpu = kUnpackCpu;
    const std::string note = request.param("note");
    std::vector<registry::Item> items;
    std::size_t held = 0;
    bool over = false;
    std::optional<std::string> refused;
    // What an archive holds counts against the same limit as its body, each
    // member with its overhead: a small body must not unpack into unbounded
    // memory, nor into an unbounded answer.
    registry::read_memory(
        name_of(request), request.body,
        [&](registry::Item& item) {
          held += item.bytes.size() + 2 * item.name.size() + kMemberOverhead;
          // The first always fits: a body that is one report is no larger than itself.
          if (held > options.body_limit && !items.empty()) {
            over = true;
            return false;
          }
          item.note = note;
          item.who = request.actor.who;
          items.push_back(std::move(item));
          return true;
        },
        [&refused](const registry::Refusal& refusal) { refused = refusal.reason; }, limits);
    std::string().swap(request.body);
    // Refused whole: nothing of it is stored.
    if (refused) return error_answer(Problem::kTooLarge, "archive refused: " + *refused);
    if (over) {
      return error_answer(Problem::kTooLarge, "archive holds more than " +
                                                  std::to_string(options.body_limit) + " bytes");
    }
    Array out;
    for (const std::string& line : writer.add(std::move(items))) out(line);
    return json(out.done());
  }

  Response find(Request& request) {
    if (request.body.empty())
      return error_answer(Problem::kBadRequest, "empty body: send a report");
    registry::Item item;
    item.name = name_of(request);
    std::string& body = request.body;
    if (body.size() > reader::kMaxFileSize) {
      item.unreadable = "larger than " + std::to_string(reader::kMaxFileSize) + " bytes";
      body.resize(reader::kMaxFileSize + 1);
    }
    item.bytes = std::move(body);
    const registry::Outcome found = (*registries.take()).find(std::move(item));
    Response response = json(registry::outcome_json(found, true));
    if (found.machine) {
      response.shown = {*found.machine};
      response.shown_count = 1;
    }
    return response;
  }

  Response machines(Request& request) {
    const auto page = page_of(request);
    if (!page) return bad_page();
    registry::MachineQuery query{request.param("q"), page->after, page->limit, {}, {}};
    // label=NAME=VALUE: only machines carrying that label.
    if (const std::string label = request.param("label"); !label.empty()) {
      const std::size_t equals = label.find('=');
      if (equals == std::string::npos) {
        return error_answer(Problem::kBadRequest, "label: give NAME=VALUE");
      }
      query.label_name = label.substr(0, equals);
      query.label_value = label.substr(equals + 1);
    }
    Array out("machine", false);
    const bool more =
        registry::machines(*registries.take(), query, registry::Format::kJson, std::ref(out));
    return page_answer(request, *page, out, more, out.last_key("machine"), {"q", "label"});
  }

  // "/api/v1/machines/ID/history": the machine's id.
  static std::optional<registry::Id> history_of(std::string_view path) {
    constexpr std::string_view kTail = "/history";
    if (path.size() <= kTail.size() || path.substr(path.size() - kTail.size()) != kTail) {
      return std::nullopt;
    }
    return id_after(path.substr(0, path.size() - kTail.size()), "/api/v1/machines/");
  }

  // One machine whole, and the first page of its history.
  Response machine(Request& request) {
    const registry::Id id = *id_after(request.path, "/api/v1/machines/");
    const auto lease = registries.take();
    const auto machine = registry::machine_view(*lease, id, true, &vendors());
    Array history;
    const auto more = registry::history(*lease, id, {0, kApiPage}, true, std::ref(history));
    if (!machine || !more) return error_answer(Problem::kNotFound, "no such machine");
    Response response = json("{\"machine\":" + *machine + ",\"history\":" + history.done() +
                             ",\"more_history\":" + (*more ? "true" : "false") + "}");
    response.shown = {id};
    response.shown_count = 1;
    return response;
  }

  Response history(Request& request) {
    const registry::Id id = *history_of(request.path);
    const auto page = page_of(request);
    if (!page) return bad_page();
    Array out;
    const auto more = registry::history(*registries.take(), id, *page, true, std::ref(out));
    if (!more) return error_answer(Problem::kNotFound, "no such machine");
    Response response = page_answer(request, *page, out, *more, out.last_key("record"));
    response.shown = {id};
    response.shown_count = 1;
    return response;
  }

  // A decision's body: {"reason": TEXT} and what the action names: "others"
  // (merge) or "records" (split) as arrays of ids, "set" ({NAME: VALUE}) and
  // "remove" ([NAME]) for labels. Made as the actor who asked.
  Response decide(Request& request, registry::Action action, registry::Id id) {
    const auto sent = nlohmann::json::parse(request.body, nullptr, false);
    if (!sent.is_object() || !sent.contains("reason") || !sent["reason"].is_string()) {
      return error_answer(Problem::kBadRequest, R"(send {"reason":"...", ...})");
    }
    const auto ids = [&sent](const char* key) -> std::optional<std::vector<registry::Id>> {
      std::vector<registry::Id> out;
      if (!sent.contains(key)) return out;
      if (!sent[key].is_array()) return std::nullopt;
      for (const auto& v : sent[key]) {
        if (!v.is_number_integer()) return std::nullopt;
        out.push_back(v.get<registry::Id>());
      }
      return out;
    };
    const auto others = ids("others");
    const auto records = ids("records");
    std::vector<std::pair<std::string, std::string>> set;
    std::vector<std::string> remove;
    bool shaped = others && records;
    if (sent.contains("set")) {
      shaped = shaped && sent["set"].is_object();
      if (shaped) {
        for (const auto& [name, value] : sent["set"].items()) {
          shaped = shaped && value.is_string();
          if (shaped) set.emplace_back(name, value.get<std::string>());
        }
      }
    }
    if (sent.contains("remove")) {
      shaped = shaped && sent["remove"].is_array();
      if (shaped) {
        for (const auto& name : sent["remove"]) {
          shaped = shaped && name.is_string();
          if (shaped) remove.push_back(name.get<std::string>());
        }
      }
    }
    if (!shaped) {
      return error_answer(Problem::kBadRequest,
                          "others and records are arrays of ids, set an object of strings, "
                          "remove an array of strings");
    }
    const registry::Registry::Act act{request.actor.who, sent["reason"].get<std::string>()};
    try {
      auto lease = registries.take();
      registry::Registry& registry = *lease;
      registry::Correction made;
      switch (action) {
        case registry::Action::kMerge:
          made = registry.merge(act, id, *others);
          break;
        case registry::Action::kSplit:
          made = registry.split(act, id, *records);
          break;
        case registry::Action::kVoid:
          made = registry.void_record(act, id);
          break;
        case registry::Action::kLabel:
          made = registry.label(act, id, set, remove);
          break;
        case registry::Action::kUndo:
          made = registry.undo(act, id);
          break;
      }
      return json(registry::correction_json(made));
    } catch (const registry::Refused& e) {
      return error_answer(Problem::kRefused, e.what());
    }
  }

  // ?who=NAME&machine=ID&since=TIME, paged like the listings, newest last.
  Response audit(Request& request) {
    const auto page = page_of(request);
    if (!page) return bad_page();
    registry::AuditQuery query;
    query.after = page->after;
    query.limit = page->limit.value_or(kApiPage);
    if (const std::string who = request.param("who"); !who.empty()) query.who = who;
    if (const std::string machine = request.param("machine"); !machine.empty()) {
      if (machine.size() > 18 || machine.find_first_not_of("0123456789") != std::string::npos) {
        return error_answer(Problem::kBadRequest, "machine is a machine's id");
      }
      query.machine = std::stoll(machine);
    }
    if (const std::string since = request.param("since"); !since.empty()) {
      query.since = registry::parse_utc(since);
      if (!query.since) {
        return error_answer(Problem::kBadRequest,
                            "since is a time like 2026-12-09T10:00:00Z, or a date");
      }
    }
    // One more than asked: whether a next page exists.
    ++query.limit;
    auto rows = (*registries.take()).audit(query);
    const bool more = rows.size() >= query.limit;
    if (more) rows.pop_back();
    Array out;
    for (const registry::AuditEntry& e : rows) out(registry::audit_json(e));
    return page_answer(request, *page, out, more, rows.empty() ? page->after : rows.back().id,
                       {"who", "machine", "since"});
  }

  // Each read's audit row: who, the route, the machines shown.
  void note_read(const Request& request, const Response& response) {
    registry::AuditEntry entry;
    entry.who = request.actor.who;
    entry.when = registry::unix_now();
    entry.action = registry::AuditAction::kRead;
    entry.route = audit_route(request);
    entry.detail = std::to_string(response.status);
    entry.machines = response.shown;
    entry.machine_count = response.shown_count;
    audit_log.record(std::move(entry));
  }

  // Every adapter maker, read the first time a machine is shown.
  const registry::Vendors& vendors() {
    std::call_once(vendors_once, [this] { vendor_table.emplace(std::vector<AddressBytes>{}); });
    return *vendor_table;
  }
  std::once_flag vendors_once;
  std::optional<registry::Vendors> vendor_table;

  const Route* route_of(const Request& request, bool& path_known) const {
    path_known = false;
    for (const Route& route : routes) {
      if (!route.matches(request.path)) continue;
      path_known = true;
      // HEAD is GET without the body (the library leaves it out).
      if (request.method == route.method ||
          (request.method == "HEAD" && std::string_view(route.method) == "GET")) {
        return &route;
      }
    }
    return nullptr;
  }
};

Service::Service(ServiceOptions options, Access& access)
    : parts_(std::make_unique<Parts>(std::move(options), access)) {}
Service::~Service() = default;

Admission Service::admit(Request& head) {
  Admission admission;
  if (!parts_->access.host_ok(head)) {
    admission.answer =
        error_answer(Problem::kMisdirected, "this server does not answer to that Host");
    return admission;
  }
  bool path_known = false;
  const Parts::Route* route = parts_->route_of(head, path_known);
  if (route == nullptr) {
    admission.answer = path_known ? error_answer(Problem::kMethodNotAllowed, "method not allowed")
                                  : error_answer(Problem::kNotFound, "no such resource");
    return admission;
  }
  if (const auto problem = parts_->access.check(head, route->needs(), head.actor)) {
    const registry::Actor& actor = head.actor;
    admission.answer =
        *problem == Problem::kUnauthorized ? Parts::unauthorized()
        : actor.who.empty()
            ? error_answer(*problem, "a signed-in page's request must come from the page")
            : error_answer(*problem, actor.who + " (" + actor.what + ") may not do this");
    return admission;
  }
  if (route->immediate) {
    Request request = head;
    admission.answer = route->run(*parts_, request);
    return admission;
  }
  admission.body_limit = route->body_limit;
  return admission;
}

Response Service::handle(Request& request) {
  bool path_known = false;
  const Parts::Route* route = parts_->route_of(request, path_known);
  if (route == nullptr) return error_answer(Problem::kNotFound, "no such resource");
  // Each failure becomes its answer here; what the registry said goes to the
  // log only, since it names paths and hosts.
  Response response = [&]() -> Response {
    try {
      return route->run(*parts_, request);
    } catch (const registry::Error& e) {
      log_error(e.what());
      return error_answer(Problem::kRegistryUnavailable, "the registry cannot be used now");
    } catch (const std::bad_alloc&) {
      log_error("out of memory");
      return error_answer(Problem::kInternal, "internal error");
    } catch (const std::exception& e) {
      log_error(e.what());
      return error_answer(Problem::kInternal, "internal error");
    }
  }();
  // Reads leave an audit row (writes leave theirs in their own transactions).
  if (std::string_view(route->method) == "GET" || request.path == "/api/v1/find") {
    parts_->note_read(request, response);
  }
  return response;
}

}  // namespace zavro::server
