#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/serve.hpp"
#include "reader/json.hpp"
#include "reader/output.hpp"
#include "reader/reader.hpp"
#include "registry/input.hpp"
#include "registry/registry.hpp"
#include "registry/views.hpp"
#include "web_assets.hpp"

namespace zavro {
namespace {

constexpr int kUsageError = 2;
constexpr std::size_t kTokenBytes = 32;
constexpr auto kSessionLife = std::chrono::hours(12);
// Sign-ins beyond this drop the oldest session, so they cannot fill memory.
constexpr std::size_t kMaxSessions = 4096;
constexpr const char* kCookie = "zavro_session";

void error(const std::string& message) {
  std::cerr << "zavro-record: " << reader::terminal_safe(message) << '\n';
}

std::string hex_of(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::optional<std::string> random_hex() {
  unsigned char bytes[kTokenBytes];
  std::size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + have, sizeof bytes - have, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    have += static_cast<std::size_t>(n);
  }
  return hex_of(bytes, sizeof bytes);
}

// Time independent of where the first difference is.
bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff = static_cast<unsigned char>(
        diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
  }
  return diff == 0;
}

// Beside a registry file; for a database URI, in the user's data directory.
std::optional<std::string> default_token_file(const std::string& location) {
  if (!registry::is_postgres_uri(location)) return location + ".token";
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/zavro/serve.token";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/share/zavro/serve.token";
  }
  return std::nullopt;
}

// Reads the token, or makes one (mode 0600) and tells it once. A token file
// others can read is refused: the token is the only key.
std::optional<std::string> load_token(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (fd < 0 && errno == ENOENT) {
    // Missing directories made private, as the registry's are.
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
    auto token = random_hex();
    if (!token) {
      error("cannot make a token: " + std::string(std::strerror(errno)));
      return std::nullopt;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      error("cannot create token file " + path + ": " + std::strerror(errno));
      return std::nullopt;
    }
    const std::string line = *token + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
      error("cannot write token file " + path + ": " + std::strerror(errno));
      ::unlink(path.c_str());
      return std::nullopt;
    }
    std::cerr << "zavro-record: new access token (kept in " << reader::terminal_safe(path)
              << "): " << *token << '\n';
    return token;
  }
  if (fd < 0) {
    error("cannot open token file " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  std::string text(256, '\0');
  const bool looked = ::fstat(fd, &st) == 0;
  const ssize_t n = ::read(fd, text.data(), text.size());
  ::close(fd);
  if (!looked || n < 0) {
    error("cannot read token file " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  if ((st.st_mode & 077) != 0 || !S_ISREG(st.st_mode)) {
    error("token file " + path + " is not a regular file only its owner can use (chmod 600)");
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.size() < 32 || text.size() >= 256 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 127; })) {
    error("token file " + path + " holds no token (32 to 255 printable characters)");
    return std::nullopt;
  }
  return text;
}

struct Listen {
  std::string host;
  int port = 0;
  bool loopback = false;
};

// "ADDR:PORT" or "[V6]:PORT".
std::optional<Listen> parse_listen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return std::nullopt;
  Listen out;
  out.host = text.substr(0, colon);
  if (out.host.size() >= 2 && out.host.front() == '[' && out.host.back() == ']') {
    out.host = out.host.substr(1, out.host.size() - 2);
  }
  const std::string port = text.substr(colon + 1);
  if (port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  out.port = std::stoi(port);
  if (out.port > 65535) return std::nullopt;
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, out.host.c_str(), &v4) == 1) {
    out.loopback = (ntohl(v4.s_addr) >> 24) == 127;
  } else if (::inet_pton(AF_INET6, out.host.c_str(), &v6) == 1) {
    out.loopback = IN6_IS_ADDR_LOOPBACK(&v6) != 0;
  } else if (out.host != "localhost") {
    return std::nullopt;  // names other than localhost could resolve anywhere
  } else {
    out.loopback = true;
  }
  return out;
}

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

class Sessions {
 public:
  std::optional<std::string> open() {
    auto id = random_hex();
    if (!id) return std::nullopt;
    const auto now = Clock::now();
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = expiry_.begin(); it != expiry_.end();) {
      it = it->second < now ? expiry_.erase(it) : std::next(it);
    }
    if (expiry_.size() >= kMaxSessions) {
      expiry_.erase(
          std::min_element(expiry_.begin(), expiry_.end(),
                           [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    expiry_[*id] = now + kSessionLife;
    return id;
  }
  bool valid(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = expiry_.find(id);
    return it != expiry_.end() && it->second > Clock::now();
  }
  void close(const std::string& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    expiry_.erase(id);
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> expiry_;
};

// Reports from concurrent requests written together on one connection: one
// transaction holds whatever arrived while the one before it committed, so
// many small requests cost few commits, and the registry's other writers
// (an add on the command line) meet one writer from here, not one per worker.
class Writer {
 public:
  explicit Writer(std::string location)
      : location_(std::move(location)), thread_([this] { run(); }) {}
  ~Writer() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // add --json lines of the items, in order, once committed; throws what
  // the registry threw.
  std::vector<std::string> add(std::vector<registry::Item> items, std::string note) {
    Job job;
    job.count = items.size();
    job.items = std::move(items);
    job.note = std::move(note);
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&job);
    wake_.notify_all();
    done_.wait(lock, [&job] { return job.done; });
    if (job.error) std::rethrow_exception(job.error);
    return std::move(job.lines);
  }

 private:
  struct Job {
    std::vector<registry::Item> items;
    std::string note;
    std::size_t count = 0;
    std::vector<std::string> lines;
    std::exception_ptr error;
    bool done = false;
  };
  // A transaction stays short whatever waits behind it.
  static constexpr std::size_t kBatchItems = 512;

  void run() {
    std::unique_ptr<registry::Registry> registry;
    for (;;) {
      std::vector<Job*> batch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        std::size_t items = 0;
        // One note per transaction: the adder stores one with each report.
        while (!queue_.empty() && (batch.empty() || (items + queue_.front()->count <= kBatchItems &&
                                                     queue_.front()->note == batch[0]->note))) {
          items += queue_.front()->count;
          batch.push_back(queue_.front());
          queue_.pop_front();
        }
      }
      write(registry, batch);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Job* job : batch) job->done = true;
      }
      done_.notify_all();
    }
  }

  void write(std::unique_ptr<registry::Registry>& registry, const std::vector<Job*>& batch) {
    std::size_t next = 0;  // outcomes arrive in input order: the job each belongs to
    try {
      if (!registry) registry = registry::Registry::open(location_, true);
      auto adder = registry->adder(batch[0]->note, [&](const registry::Outcome& outcome) {
        while (next < batch.size() && batch[next]->lines.size() == batch[next]->count) ++next;
        if (next < batch.size())
          batch[next]->lines.push_back(registry::outcome_json(outcome, false));
      });
      for (Job* job : batch) {
        for (auto& item : job->items) adder->push(std::move(item));
      }
      adder->finish();
    } catch (...) {
      // Jobs told all their outcomes were committed before the failure.
      for (Job* job : batch) {
        if (job->lines.size() != job->count) job->error = std::current_exception();
      }
      registry.reset();
    }
  }

  std::string location_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Job*> queue_;
  bool stop_ = false;
  std::thread thread_;
};

std::string error_json(std::string_view code, std::string_view message) {
  reader::JsonLine json;
  json.begin_object().key("code").latin1(code).key("message").text(message).end_object();
  return json.str();
}

void fail(httplib::Response& res, int status, std::string_view code, std::string_view message) {
  res.status = status;
  res.set_content(error_json(code, message), "application/json");
}

std::string cookie_value(const httplib::Request& req, std::string_view name) {
  const std::string header = req.get_header_value("Cookie");
  std::string_view rest = header;
  while (!rest.empty()) {
    const auto end = rest.find(';');
    std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name &&
        part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
  }
  return {};
}

// Lines the views write, as one JSON array.
class Array {
 public:
  void operator()(const std::string& line) {
    out_ += out_.size() > 1 ? "," : "";
    out_ += line;
  }
  std::string done() { return out_ += ']'; }

 private:
  std::string out_ = "[";
};

class Service {
 public:
  Service(const ServeOptions& options, std::string token)
      : options_(options),
        token_(std::move(token)),
        registries_(options.location),
        writer_(options.location) {}

  void install(httplib::Server& server) {
    const bool tls = !options_.tls_cert.empty();
    secure_cookie_ = tls ? "; Secure" : "";
    server.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
         "img-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    });
    const auto page = [](const httplib::Request&, httplib::Response& res) {
      const web::Asset& index = web::kAssets[0];
      res.set_content(reinterpret_cast<const char*>(index.data), index.size, index.type);
    };
    for (const char* path :
         {"/", "/machines", R"(/machines/\d{1,18})", "/clones", "/placeholders", "/rejected"}) {
      server.Get(path, page);
    }
    for (const web::Asset& asset : web::kAssets) {
      server.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& res) {
        res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
      });
    }

    server.Post("/api/v1/session", [this](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& reader) {
      std::string body;
      if (!read_body(req, res, reader, 1024, body)) return;
      while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
      if (!same_secret(body, token_)) {
        unauthorized(res);
        return;
      }
      const auto id = sessions_.open();
      if (!id) {
        fail(res, 500, "internal", "no session could be made");
        return;
      }
      res.set_header("Set-Cookie", std::string(kCookie) + "=" + *id +
                                       "; Path=/; HttpOnly; SameSite=Strict" + secure_cookie_);
      res.status = 204;
    });
    server.Delete("/api/v1/session", [this](const httplib::Request& req, httplib::Response& res) {
      sessions_.close(cookie_value(req, kCookie));
      res.set_header("Set-Cookie", std::string(kCookie) +
                                       "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                       secure_cookie_);
      res.status = 204;
    });

    server.Post("/api/v1/reports", [this](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& reader) {
      std::string body;
      if (!allowed(req, res) || !read_body(req, res, reader, options_.body_limit, body)) return;
      add(req, res, body);
    });
    server.Post("/api/v1/find", [this](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
      std::string body;
      // One report: past its limit it is rejected, so only that much is kept.
      if (!allowed(req, res) || !read_body(req, res, reader, options_.body_limit, body)) return;
      find(req, res, std::move(body));
    });
    api(server, "/api/v1/machines",
        [](registry::Registry& r, const httplib::Request& req, httplib::Response& res) {
          Array out;
          registry::search_machines(r, req.get_param_value("q"), std::ref(out));
          res.set_content(out.done(), "application/json");
        });
    api(server, R"(/api/v1/machines/(\d{1,18}))",
        [](registry::Registry& r, const httplib::Request& req, httplib::Response& res) {
          const registry::Id id = std::stoll(req.matches[1].str());
          std::string machine;
          Array history;
          if (!registry::machine(r, id, [&machine](const std::string& line) { machine = line; }) ||
              !registry::history(r, id, true, std::ref(history))) {
            fail(res, 404, "not_found", "no such machine");
            return;
          }
          res.set_content("{\"machine\":" + machine + ",\"history\":" + history.done() + "}",
                          "application/json");
        });
    const std::pair<const char*, void (*)(registry::Registry&, bool, const registry::LineSink&)>
        listings[] = {{"/api/v1/placeholders", registry::placeholders},
                      {"/api/v1/clones", registry::clones},
                      {"/api/v1/rejected", registry::rejected}};
    for (const auto& [path, view] : listings) {
      api(server, path,
          [view = view](registry::Registry& r, const httplib::Request&, httplib::Response& res) {
            Array out;
            view(r, true, std::ref(out));
            res.set_content(out.done(), "application/json");
          });
    }

    // Whatever no route took: JSON for the API, and nothing about the registry.
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (!res.body.empty()) return;
      switch (res.status) {
        case 404:
          fail(res, 404, "not_found", "no such resource");
          break;
        case 413:
          fail(res, 413, "too_large", "request body too large");
          break;
        case 400:
          fail(res, 400, "bad_request", "malformed request");
          break;
        default:
          fail(res, res.status, "error", "request failed");
      }
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, const std::exception_ptr& ep) {
          try {
            std::rethrow_exception(ep);
          } catch (const registry::Error& e) {
            error(e.what());
            fail(res, 503, "registry_unavailable", e.what());
          } catch (const std::exception& e) {
            error(e.what());
            fail(res, 500, "internal", "internal error");
          }
        });
  }

 private:
  using View =
      std::function<void(registry::Registry&, const httplib::Request&, httplib::Response&)>;

  void api(httplib::Server& server, const std::string& path, View view) {
    server.Get(path,
               [this, view = std::move(view)](const httplib::Request& req, httplib::Response& res) {
                 if (!allowed(req, res)) return;
                 const auto lease = registries_.take();
                 view(*lease, req, res);
               });
  }

  static void unauthorized(httplib::Response& res) {
    fail(res, 401, "unauthorized", "sign in or send Authorization: Bearer TOKEN");
  }

  bool allowed(const httplib::Request& req, httplib::Response& res) {
    const std::string authorization = req.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (authorization.size() > kBearer.size() &&
        authorization.compare(0, kBearer.size(), kBearer) == 0 &&
        same_secret(std::string_view(authorization).substr(kBearer.size()), token_)) {
      return true;
    }
    const std::string session = cookie_value(req, kCookie);
    if (!session.empty() && sessions_.valid(session)) return true;
    unauthorized(res);
    // Whatever body was sent is not read: the connection ends with this answer.
    res.set_header("Connection", "close");
    return false;
  }

  // The body, refused without reading on when its length or what arrives
  // passes limit.
  static bool read_body(const httplib::Request& req, httplib::Response& res,
                        const httplib::ContentReader& reader, std::size_t limit,
                        std::string& body) {
    const std::string length = req.get_header_value("Content-Length");
    if (!std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      fail(res, 400, "bad_request", "Content-Length is not a number");
      return false;
    }
    if (!length.empty() && (length.size() > 18 || std::stoull(length) > limit)) {
      too_large(res, limit);
      return false;
    }
    bool over = false;
    reader([&](const char* data, std::size_t size) {
      if (body.size() + size > limit) {
        over = true;
        return false;
      }
      body.append(data, size);
      return true;
    });
    if (over) too_large(res, limit);
    return !over;
  }

  static void too_large(httplib::Response& res, std::size_t limit) {
    fail(res, 413, "too_large", "request body larger than " + std::to_string(limit) + " bytes");
    res.set_header("Connection", "close");
  }

  static std::string name_of(const httplib::Request& req) {
    const std::string name = req.get_param_value("name");
    return name.empty() ? "upload" : name.substr(0, 1024);
  }

  void add(const httplib::Request& req, httplib::Response& res, const std::string& body) {
    std::vector<registry::Item> items;
    std::size_t held = 0;
    // What an archive holds counts against the same limit as its body: a
    // small compressed body must not unpack into unbounded memory.
    const bool whole = registry::read_memory(name_of(req), body, [&](registry::Item& item) {
      held += item.bytes.size() + item.name.size();
      items.push_back(std::move(item));
      return held <= options_.body_limit;
    });
    if (!whole) {
      fail(res, 413, "too_large",
           "archive holds more than " + std::to_string(options_.body_limit) + " bytes");
      return;
    }
    Array out;
    for (const std::string& line :
         writer_.add(std::move(items), req.get_param_value("note").substr(0, 1024))) {
      out(line);
    }
    res.set_content(out.done(), "application/json");
  }

  void find(const httplib::Request& req, httplib::Response& res, std::string body) {
    registry::Item item;
    item.name = name_of(req);
    if (body.size() > reader::kMaxFileSize) {
      item.unreadable = "larger than " + std::to_string(reader::kMaxFileSize) + " bytes";
      body.resize(reader::kMaxFileSize + 1);
    }
    item.bytes = std::move(body);
    const auto lease = registries_.take();
    res.set_content(registry::outcome_json((*lease).find(item), true), "application/json");
  }

  const ServeOptions& options_;
  std::string token_;
  std::string secure_cookie_;
  Registries registries_;
  Writer writer_;
  Sessions sessions_;
};

// Set on the listening socket, inherited by each accepted one: an answer's
// body goes out without waiting for the peer to acknowledge its headers.
void socket_options(int sock) {
  const int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

}  // namespace

int serve(const ServeOptions& options) {
  // SIGINT and SIGTERM end the server cleanly: waited for on a thread of
  // their own, blocked in every other (threads inherit the mask, so before
  // any starts).
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const auto listen = parse_listen(options.listen);
  if (!listen) {
    error("--listen " + options.listen + ": not ADDRESS:PORT (an IP address or localhost)");
    return kUsageError;
  }
  const bool tls = !options.tls_cert.empty() || !options.tls_key.empty();
  if (tls && (options.tls_cert.empty() || options.tls_key.empty())) {
    error("--tls-cert and --tls-key go together");
    return kUsageError;
  }
  if (!listen->loopback && !tls && !options.insecure_http) {
    error("refusing plain HTTP on " + listen->host +
          ", which is not a loopback address: the token would cross the network in clear; "
          "give --tls-cert and --tls-key, or --insecure-http");
    return kUsageError;
  }
  const auto token_file =
      options.token_file.empty() ? default_token_file(options.location) : options.token_file;
  if (!token_file) {
    error("no token file given: use --token-file or set HOME");
    return kUsageError;
  }
  try {
    // Opened once here so that a registry that cannot be used stops the start.
    registry::Registry::open(options.location, true);
  } catch (const registry::Error& e) {
    error(e.what());
    return kUsageError;
  }
  std::unique_ptr<httplib::Server> server;
  if (tls) {
    server =
        std::make_unique<httplib::SSLServer>(options.tls_cert.c_str(), options.tls_key.c_str());
    if (!server->is_valid()) {
      error("cannot use --tls-cert " + options.tls_cert + " with --tls-key " + options.tls_key);
      return kUsageError;
    }
  } else {
    server = std::make_unique<httplib::Server>();
  }
  // Made only once everything else is known to be usable.
  const auto token = load_token(*token_file);
  if (!token) return kUsageError;
  Service service(options, *token);
  service.install(*server);
  const std::size_t threads = std::max<std::size_t>(options.threads, 2);
  server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server->set_socket_options(socket_options);
  server->set_read_timeout(10, 0);
  server->set_write_timeout(10, 0);
  server->set_keep_alive_timeout(5);
  server->set_keep_alive_max_count(100000);
  server->set_payload_max_length(options.body_limit);

  int port = listen->port;
  if (port == 0) {
    port = server->bind_to_any_port(listen->host);
  } else if (!server->bind_to_port(listen->host, port)) {
    port = -1;
  }
  if (port <= 0) {
    error("cannot listen on " + options.listen + ": " + std::strerror(errno));
    return kUsageError;
  }
  const bool v6 = listen->host.find(':') != std::string::npos;
  std::cerr << "zavro-record: serving " << (tls ? "https" : "http") << "://"
            << (v6 ? "[" + listen->host + "]" : listen->host) << ':' << port << "/" << std::endl;

  std::atomic<bool> stopping{false};
  std::atomic<bool> ended{false};
  std::thread stopper([&server, &stop_signals, &stopping, &ended] {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    stopping = true;
    // stop() does nothing before the server runs: a signal just after the
    // start must not be lost.
    while (!ended && !server->is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended) server->stop();
  });
  server->listen_after_bind();
  ended = true;
  // Ended by other means than a signal: wake the stopper.
  if (!stopping) ::kill(::getpid(), SIGTERM);
  stopper.join();
  return stopping ? 0 : 1;
}

}  // namespace zavro
