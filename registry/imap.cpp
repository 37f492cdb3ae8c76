// libcurl connects, verifies TLS as everything else here does (OpenSSL, the
// system's CAs) and logs in (CONNECT_ONLY); the commands go over that
// connection as written here. libcurl's own IMAP requests cost a round trip
// and a transfer's setup per message, cut long answers short, and have no
// IDLE.
#include "registry/imap.hpp"

// The calls go through a table of pointers: no type-checking macros.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "registry/loaded.hpp"

namespace zavro::registry {
namespace {

// libcurl, loaded on the first use of a mailbox (registry/loaded.hpp): most
// commands never fetch mail, and it pulls in some thirty libraries.
// clang-format off
#define ZAVRO_LIBCURL(X) \
  X(curl_global_init) \
  X(curl_free) \
  X(curl_url_cleanup) \
  X(curl_easy_cleanup) \
  X(curl_easy_setopt) \
  X(curl_easy_escape) \
  X(curl_easy_perform) \
  X(curl_easy_strerror) \
  X(curl_url) \
  X(curl_url_set) \
  X(curl_url_get) \
  X(curl_easy_init) \
  X(curl_easy_getinfo) \
  X(curl_easy_send) \
  X(curl_easy_recv)
// clang-format on

struct LibCurl {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument names a member
#define ZAVRO_LIBCURL_FIELD(name) decltype(&::name) name = nullptr;
  ZAVRO_LIBCURL(ZAVRO_LIBCURL_FIELD)
#undef ZAVRO_LIBCURL_FIELD
};

const LibCurl& libcurl() {
  static const LibCurl loaded = [] {
    constexpr const char* kSoname = "libcurl.so.4";
    void* const library = open_library(kSoname);
    LibCurl table;
#define ZAVRO_LIBCURL_LOAD(name) \
  table.name = reinterpret_cast<decltype(table.name)>(library_symbol(library, kSoname, #name));
    ZAVRO_LIBCURL(ZAVRO_LIBCURL_LOAD)
#undef ZAVRO_LIBCURL_LOAD
    return table;
  }();
  return loaded;
}

void init_curl() {
  static std::once_flag once;
  std::call_once(once, [] { libcurl().curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlFree {
  void operator()(char* text) const { libcurl().curl_free(text); }
};
struct CurlUrlFree {
  void operator()(CURLU* url) const { libcurl().curl_url_cleanup(url); }
};
struct CurlEasyFree {
  void operator()(CURL* curl) const { libcurl().curl_easy_cleanup(curl); }
};

std::string first_line(const std::string& path, const std::string& what) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    throw ImapError(what + " " + path + ": cannot be read: " + std::strerror(errno));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw ImapError(what + " " + path + ": empty");
  return line;
}

// ~/.netrc's password for host: "machine HOST [login USER] password PASS",
// else "default ... password PASS".
std::optional<std::string> netrc_password(const std::string& user, const std::string& host) {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == 0) return std::nullopt;
  std::ifstream file(std::string(home) + "/.netrc");
  if (!file) return std::nullopt;
  std::vector<std::string> words;
  for (std::string word; file >> word;) words.push_back(word);
  std::optional<std::string> fallback;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const bool machine = words[i] == "machine" && i + 1 < words.size();
    if (!machine && words[i] != "default") continue;
    const bool ours = machine && words[i + 1] == host;
    std::optional<std::string> login;
    std::optional<std::string> password;
    std::size_t j = i + (machine ? 2 : 1);
    for (; j + 1 < words.size() && words[j] != "machine" && words[j] != "default"; j += 2) {
      if (words[j] == "login") login = words[j + 1];
      if (words[j] == "password") password = words[j + 1];
    }
    if (password && (!login || *login == user)) {
      if (ours) return password;
      if (!machine && !fallback) fallback = password;
    }
    i = j - 1;
  }
  return fallback;
}

std::string quoted(const std::string& text) {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    throw ImapError("folder name holds a line break: " + text);
  }
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::optional<std::uint64_t> number_after(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return std::nullopt;
  std::size_t i = at + key.size();
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
    if (++digits > 19) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (digits == 0) return std::nullopt;
  return value;
}

// A set of UIDs as IMAP writes it, runs compressed: 1:64,70,72:80.
std::string uid_set(const std::uint32_t* uids, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count;) {
    std::size_t j = i;
    while (j + 1 < count && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(uids[i]);
    if (j > i) out += ':' + std::to_string(uids[j]);
    i = j + 1;
  }
  return out;
}

// Server text in an error message: printable, and short.
std::string shown(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 200)) {
    out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  }
  return out;
}

bool folded_equal(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// Where the libcurl link connects, and as whom.
struct CurlSettings {
  std::string base;  // scheme://host[:port]/
  std::string user;
  const std::string* password = nullptr;
  std::string cacert;
  bool tls = true;
  std::chrono::seconds timeout{60};
};

// A connection libcurl opened, secured and logged in (CONNECT_ONLY), over
// which the commands written here go.
class CurlLink final : public ImapLink {
 public:
  explicit CurlLink(const CurlSettings& settings) : timeout_(settings.timeout) {
    handle_.reset(libcurl().curl_easy_init());
    CURL* handle = handle_.get();
    if (handle == nullptr) throw ImapError("out of memory");
    libcurl().curl_easy_setopt(handle, CURLOPT_USERNAME, settings.user.c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_PASSWORD, settings.password->c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_);
    libcurl().curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    libcurl().curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT,
                               static_cast<long>(settings.timeout.count()));
    libcurl().curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    libcurl().curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                               static_cast<long>(settings.timeout.count()));
    libcurl().curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, settings.tls ? "imaps" : "imap");
    libcurl().curl_easy_setopt(handle, CURLOPT_USE_SSL,
                               static_cast<long>(settings.tls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
    if (!settings.cacert.empty())
      libcurl().curl_easy_setopt(handle, CURLOPT_CAINFO, settings.cacert.c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_URL, settings.base.c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 1L);
    const CURLcode code = libcurl().curl_easy_perform(handle);
    if (code != CURLE_OK) {
      throw ImapError(error_[0] != 0 ? error_ : libcurl().curl_easy_strerror(code));
    }
    libcurl().curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket_);
  }

  void send(std::string_view text) override {
    auto since = std::chrono::steady_clock::now();
    for (std::size_t done = 0; done < text.size();) {
      std::size_t sent = 0;
      const CURLcode result =
          libcurl().curl_easy_send(handle_.get(), text.data() + done, text.size() - done, &sent);
      if (result == CURLE_AGAIN) {
        if (std::chrono::steady_clock::now() - since >= timeout_) {
          throw ImapError("the server took nothing for " + std::to_string(timeout_.count()) +
                          " seconds");
        }
        pollfd fd{static_cast<int>(socket_), POLLOUT, 0};
        ::poll(&fd, 1, 1000);
        continue;
      }
      if (result != CURLE_OK)
        throw ImapError(std::string("connection lost: ") + libcurl().curl_easy_strerror(result));
      done += sent;
      since = std::chrono::steady_clock::now();
    }
  }

  bool receive(std::string& in, const std::function<bool()>& stop) override {
    const auto since = std::chrono::steady_clock::now();
    constexpr std::size_t kBlock = 65536;
    for (;;) {
      const std::size_t old = in.size();
      in.resize(old + kBlock);
      std::size_t got = 0;
      const CURLcode result = libcurl().curl_easy_recv(handle_.get(), &in[old], kBlock, &got);
      in.resize(old + (result == CURLE_OK ? got : 0));
      if (result == CURLE_OK && got == 0) throw ImapError("the server closed the connection");
      if (result == CURLE_OK) return true;
      if (result != CURLE_AGAIN)
        throw ImapError(std::string("connection lost: ") + libcurl().curl_easy_strerror(result));
      if (stop && stop()) return false;
      if (!stop && std::chrono::steady_clock::now() - since >= timeout_) {
        throw ImapError("the server sent nothing for " + std::to_string(timeout_.count()) +
                        " seconds");
      }
      pollfd fd{static_cast<int>(socket_), POLLIN, 0};
      ::poll(&fd, 1, 1000);
    }
  }

  // libcurl's LOGOUT on cleanup would wait for what is still coming.
  void cut() override {
    if (socket_ != CURL_SOCKET_BAD) ::shutdown(static_cast<int>(socket_), SHUT_RDWR);
  }

 private:
  std::unique_ptr<CURL, CurlEasyFree> handle_;
  char error_[CURL_ERROR_SIZE] = {};
  curl_socket_t socket_ = CURL_SOCKET_BAD;
  std::chrono::seconds timeout_;
};

// A link and what was read over it.
struct Connection {
  std::unique_ptr<ImapLink> link;
  std::string in;  // received; read up to at
  std::size_t at = 0;
  std::size_t scanned = 0;  // in[at, scanned) holds no line end
  unsigned tags = 0;
  // Left in the middle of an answer.
  bool broken = false;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (broken && link) link->cut();
  }
};

// One untagged response: its text, and a literal after each line but the last.
struct Untagged {
  std::vector<std::string> lines;
  std::vector<std::size_t> marks;     // where each line's "{N}" begins
  std::vector<std::string> literals;  // each as much as was kept
  std::vector<std::uint64_t> sizes;   // each as the server sent it
};

// The words of an untagged response: atoms (BODY[]<0> one of them), strings,
// literals and parentheses.
class Tokens {
 public:
  enum class Kind { kEnd, kAtom, kString, kLiteral, kOpen, kClose };
  struct Token {
    Kind kind = Kind::kEnd;
    std::string_view text;
    std::size_t literal = 0;
  };
  explicit Tokens(const Untagged& response) : r_(response) {}

  Token next() {
    for (;;) {
      const std::string& line = r_.lines[line_];
      while (at_ < line.size() && line[at_] == ' ') ++at_;
      if (line_ < r_.marks.size() && at_ >= r_.marks[line_]) {
        const Token token{Kind::kLiteral, {}, line_};
        ++line_;
        at_ = 0;
        return token;
      }
      if (at_ >= line.size()) return {};
      const std::string_view rest = std::string_view(line).substr(at_);
      if (rest[0] == '(' || rest[0] == ')') {
        ++at_;
        return {rest[0] == '(' ? Kind::kOpen : Kind::kClose, rest.substr(0, 1)};
      }
      if (rest[0] == '"') {
        std::size_t i = 1;
        while (i < rest.size() && rest[i] != '"') i += rest[i] == '\\' ? 2 : 1;
        if (i >= rest.size()) return {};
        at_ += i + 1;
        return {Kind::kString, rest.substr(1, i - 1)};
      }
      std::size_t i = 0;
      int depth = 0;  // inside [...], where spaces and parentheses belong to the atom
      for (; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == '[') ++depth;
        if (c == ']' && depth > 0) --depth;
        if (depth == 0 && (c == ' ' || c == '(' || c == ')' || c == '"')) break;
      }
      at_ += i;
      if (i == 0) return {};
      return {Kind::kAtom, rest.substr(0, i)};
    }
  }

  // Passes over one value (a list with all it holds); false at the end.
  bool skip(const Token& first) {
    if (first.kind == Kind::kEnd || first.kind == Kind::kClose) return false;
    if (first.kind != Kind::kOpen) return true;
    for (int depth = 1; depth > 0;) {
      const Token token = next();
      if (token.kind == Kind::kEnd) return false;
      if (token.kind == Kind::kOpen) ++depth;
      if (token.kind == Kind::kClose) --depth;
    }
    return true;
  }

 private:
  const Untagged& r_;
  std::size_t line_ = 0;
  std::size_t at_ = 0;
};

std::optional<std::uint64_t> number(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// What one FETCH response gave of a message.
struct FetchItems {
  std::optional<std::uint64_t> uid;
  std::optional<std::uint64_t> size;
  bool has_body = false;
  std::optional<std::size_t> literal;  // the body's, when sent as one
  std::string body;                    // a body sent as a string
};

// "* N FETCH (NAME VALUE ...)"; nothing when the response is another.
std::optional<FetchItems> fetch_items(const Untagged& response) {
  Tokens tokens(response);
  if (tokens.next().text != "*" || !number(tokens.next().text) ||
      !folded_equal(tokens.next().text, "FETCH") || tokens.next().kind != Tokens::Kind::kOpen) {
    return std::nullopt;
  }
  FetchItems items;
  for (;;) {
    const Tokens::Token name = tokens.next();
    if (name.kind == Tokens::Kind::kClose) return items;
    if (name.kind != Tokens::Kind::kAtom) return std::nullopt;
    const Tokens::Token value = tokens.next();
    if (folded_equal(name.text, "UID")) {
      items.uid = number(value.text);
    } else if (folded_equal(name.text, "RFC822.SIZE")) {
      items.size = number(value.text);
    } else if (name.text.size() >= 5 && folded_equal(name.text.substr(0, 5), "BODY[")) {
      items.has_body = true;
      if (value.kind == Tokens::Kind::kLiteral) items.literal = value.literal;
      if (value.kind == Tokens::Kind::kString) {
        for (std::size_t i = 0; i < value.text.size(); ++i) {
          if (value.text[i] == '\\' && i + 1 < value.text.size()) ++i;
          items.body += value.text[i];
        }
      }
    }
    if (!tokens.skip(value)) return std::nullopt;
  }
}

// A line's "{N}" (or "{N+}") at its end: where it begins and N.
std::optional<std::pair<std::size_t, std::uint64_t>> literal_at_end(const std::string& line) {
  if (line.empty() || line.back() != '}') return std::nullopt;
  const std::size_t open = line.rfind('{');
  if (open == std::string::npos) return std::nullopt;
  std::string_view digits = std::string_view(line).substr(open + 1, line.size() - open - 2);
  if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
  const auto size = number(digits);
  if (!size) return std::nullopt;
  return std::make_pair(open, *size);
}

// A response line (without its literals) longer than this is no answer to
// the commands sent here; a window of UIDs searched stays far below it.
constexpr std::size_t kMaxLine = std::size_t{1} << 20;
constexpr std::size_t kMaxLiterals = 16;
// Messages fetched by one command (the server commits the \Seen flags of
// each command's messages together), and how much of each, of them all: a
// message larger than that is fetched again, whole, on its own.
constexpr std::size_t kWindowMessages = 256;
constexpr std::uint64_t kFirstPart = std::uint64_t{256} << 10;
constexpr std::uint64_t kWindowBytes = std::uint64_t{16} << 20;
// UIDs in one command line (their set written compressed, at worst 11
// bytes each), and UIDs searched for at a time.
constexpr std::size_t kSetUids = 2000;
constexpr std::uint64_t kSearchWindow = 10000;

}  // namespace

std::string imap_password(const std::string& password_file, const std::string& user,
                          const std::string& host) {
  if (!password_file.empty()) return first_line(password_file, "--password-file");
  const char* env = std::getenv("ZAVRO_IMAP_PASSWORD_FILE");
  if (env != nullptr && *env != 0) return first_line(env, "$ZAVRO_IMAP_PASSWORD_FILE");
  if (auto password = netrc_password(user, host)) return *password;
  throw ImapError("no password for " + user + "@" + host +
                  ": give --password-file, set $ZAVRO_IMAP_PASSWORD_FILE, or add it to ~/.netrc");
}

struct ImapFolder::Impl {
  std::string name;
  std::string folder;
  std::string password;
  ImapOpen open_link;
  // The session the folder is read over: libcurl's own IMAP requests take a
  // round trip and a transfer's setup per message, and cut long answers short.
  std::unique_ptr<Connection> session;
  std::optional<std::uint32_t> selected;  // the UIDVALIDITY SELECT gave
  std::uint64_t exists = 0;               // messages the selected folder holds
  std::optional<std::set<std::string>> capabilities;
  std::set<std::string> made;  // folders moved to, made when missing

  ~Impl() { std::fill(password.begin(), password.end(), '\0'); }

  [[noreturn]] void fail(const std::string& what) const { throw ImapError(name + ": " + what); }

  std::unique_ptr<Connection> open() const {
    auto c = std::make_unique<Connection>();
    try {
      c->link = open_link();
    } catch (const ImapError& e) {
      fail(e.what());
    }
    if (!c->link) fail("no connection");
    return c;
  }

  void send(Connection& c, const std::string& text) const {
    try {
      c.link->send(text);
    } catch (const ImapError& e) {
      fail(e.what());
    }
  }

  // More bytes into c.in. Without stop, a server silent for the timeout
  // fails; with it, false once stop() says so (asked about every second).
  bool receive(Connection& c, const std::function<bool()>& stop) const {
    if (c.at > 0 && c.at >= c.in.size() / 2) {
      c.in.erase(0, c.at);
      c.scanned -= c.at;
      c.at = 0;
    }
    try {
      return c.link->receive(c.in, stop);
    } catch (const ImapError& e) {
      fail(e.what());
    }
  }

  // The next line, without its CRLF; nothing once stop() says so.
  std::optional<std::string> line(Connection& c, const std::function<bool()>& stop = {}) const {
    for (;;) {
      const std::size_t from = std::max(c.scanned, c.at);
      const std::size_t end = c.in.find("\r\n", from > c.at ? from - 1 : from);
      if (end != std::string::npos) {
        std::string text = c.in.substr(c.at, end - c.at);
        c.at = end + 2;
        c.scanned = c.at;
        return text;
      }
      c.scanned = c.in.size();
      if (c.in.size() - c.at > kMaxLine) fail("the server sent a line too long");
      if (!receive(c, stop)) return std::nullopt;
    }
  }

  // A literal of size bytes: its first keep bytes into out, the rest read past.
  void literal(Connection& c, std::uint64_t size, std::size_t keep, std::string& out) const {
    out.clear();
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size, keep)));
    for (std::uint64_t left = size; left > 0;) {
      if (c.at == c.in.size()) receive(c, {});
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(left, c.in.size() - c.at));
      if (out.size() < keep) out.append(c.in, c.at, std::min(n, keep - out.size()));
      c.at += n;
      left -= n;
    }
    c.scanned = c.at;
  }

  // Reads the answer to the command tagged tag, each untagged response to
  // each (keep: how much of a literal of that size to hold); returns the
  // tagged status ("OK ...", "NO ...", "BAD ...").
  std::string answer(Connection& c, const std::string& tag,
                     const std::function<std::size_t(std::uint64_t)>& keep,
                     const std::function<void(Untagged&)>& each) {
    for (;;) {
      std::string text = *line(c);
      if (text.size() > tag.size() && text.compare(0, tag.size(), tag) == 0 &&
          text[tag.size()] == ' ') {
        return text.substr(tag.size() + 1);
      }
      if (text.rfind("* ", 0) != 0) {
        if (!text.empty() && text.front() == '+') fail("the server asked for more of a command");
        continue;  // nothing a client is to act on
      }
      Untagged response;
      std::size_t held = text.size();
      for (;;) {
        const auto mark = literal_at_end(text);
        response.lines.push_back(std::move(text));
        if (!mark) break;
        if (response.literals.size() >= kMaxLiterals) fail("the server sent too many literals");
        response.marks.push_back(mark->first);
        response.sizes.push_back(mark->second);
        // Read past when not kept: only a message is sent as a long one.
        if (!keep) {
          held += static_cast<std::size_t>(std::min<std::uint64_t>(mark->second, kMaxLine + 1));
        }
        if (held > kMaxLine) fail("the server sent a response too long");
        literal(c, mark->second, keep ? keep(mark->second) : 0, response.literals.emplace_back());
        text = *line(c);
        held += text.size();
        if (held > kMaxLine) fail("the server sent a response too long");
      }
      const std::string& first = response.lines.front();
      const std::size_t space = first.find(' ', 2);
      if (const auto n = number(std::string_view(first).substr(2, space - 2));
          n && space != std::string::npos) {
        const std::string_view what = std::string_view(first).substr(space + 1);
        if (folded_equal(what, "EXISTS")) exists = *n;
        if (folded_equal(what, "EXPUNGE") && exists > 0) --exists;
      }
      if (each) each(response);
    }
  }

  Connection& connected() {
    if (!session) session = open();
    return *session;
  }

  std::string command(const std::string& text, const std::function<void(Untagged&)>& each = {},
                      const std::function<std::size_t(std::uint64_t)>& keep = {}) {
    Connection& c = connected();
    const std::string tag = "z" + std::to_string(++c.tags);
    c.broken = true;
    send(c, tag + " " + text + "\r\n");
    std::string status = answer(c, tag, keep, each);
    c.broken = false;
    return status;
  }

  void check(const std::string& status, const std::string& what) const {
    if (status.rfind("OK", 0) != 0) fail(what + ": the server refused: " + shown(status));
  }

  void select() {
    selected.reset();
    std::optional<std::uint64_t> validity;
    const std::string status = command("SELECT " + quoted(folder), [&](Untagged& response) {
      if (const auto value = number_after(response.lines.front(), "[UIDVALIDITY ")) {
        validity = value;
      }
    });
    check(status, "SELECT " + folder);
    if (!validity || *validity == 0 || *validity > UINT32_MAX) {
      fail("the server gave no UIDVALIDITY");
    }
    selected = static_cast<std::uint32_t>(*validity);
  }

  bool capable(const std::string& capability) {
    if (!capabilities) {
      std::set<std::string> words;
      std::size_t held = 0;
      check(command("CAPABILITY",
                    [&](Untagged& response) {
                      std::istringstream line(response.lines.front());
                      std::string word;
                      line >> word >> word;
                      if (!folded_equal(word, "CAPABILITY")) return;
                      while (line >> word) {
                        for (char& ch : word)
                          ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                        // Each response is short, but a server can send any number.
                        held += word.size();
                        if (held > kMaxLine) fail("the server sent too many capabilities");
                        words.insert(word);
                      }
                    }),
            "CAPABILITY");
      capabilities = std::move(words);
    }
    return capabilities->count(capability) > 0;
  }

  // UIDs with what each FETCH of the command gave.
  void fetch_each(const std::string& set, const std::string& items,
                  const std::function<std::size_t(std::uint64_t)>& keep,
                  const std::function<void(const FetchItems&, Untagged&)>& each) {
    const std::string status = command(
        "UID FETCH " + set + " (" + items + ")",
        [&each](Untagged& response) {
          if (const auto got = fetch_items(response)) {
            each(*got, response);
          }
        },
        keep);
    check(status, "UID FETCH");
  }

  // All of message (its uid and size known): false when the folder no
  // longer holds it. More than its size said is taken for too large.
  bool fetch_whole(ImapFolder::Message& message, std::size_t max, std::size_t head,
                   std::uint64_t absurd) {
    bool found = false;
    std::uint64_t allowance = message.size + 4096;
    fetch_each(
        std::to_string(message.uid), "UID BODY[]",
        [&](std::uint64_t size) -> std::size_t {
          if (size > absurd)
            fail("the server sent " + std::to_string(size) + " bytes for a message");
          const std::uint64_t kept = std::min<std::uint64_t>({size, max, allowance});
          allowance -= kept;
          return static_cast<std::size_t>(kept);
        },
        [&](const FetchItems& items, Untagged& response) {
          if (found || !items.uid || *items.uid != message.uid || !items.has_body) return;
          found = true;
          std::uint64_t sent = items.body.size();
          if (items.literal) {
            message.bytes = std::move(response.literals[*items.literal]);
            sent = response.sizes[*items.literal];
          } else {
            message.bytes = items.body;
          }
          if (sent > max || message.bytes.size() < sent) {
            message.whole = false;
            if (message.bytes.size() > head) message.bytes.resize(head);
          }
        });
    return found;
  }
};

ImapFolder::ImapFolder(const ImapOptions& options) : impl_(std::make_unique<Impl>()) {
  init_curl();
  Impl& s = *impl_;
  const std::unique_ptr<CURLU, CurlUrlFree> url(libcurl().curl_url());
  if (!url ||
      libcurl().curl_url_set(url.get(), CURLUPART_URL, options.url.c_str(), 0) != CURLUE_OK) {
    throw ImapError(options.url + ": not a URL (imaps://USER@HOST[:PORT]/FOLDER)");
  }
  const auto part = [&url](CURLUPart which, unsigned flags) -> std::optional<std::string> {
    char* text = nullptr;
    if (libcurl().curl_url_get(url.get(), which, &text, flags) != CURLUE_OK || text == nullptr) {
      return std::nullopt;
    }
    const std::unique_ptr<char, CurlFree> owned(text);
    return std::string(text);
  };
  const std::string scheme = part(CURLUPART_SCHEME, 0).value_or("");
  const auto user = part(CURLUPART_USER, CURLU_URLDECODE);
  const std::string host = part(CURLUPART_HOST, 0).value_or("");
  const auto port = part(CURLUPART_PORT, 0);
  std::string path = part(CURLUPART_PATH, CURLU_URLDECODE).value_or("/");
  while (!path.empty() && path.front() == '/') path.erase(path.begin());
  while (!path.empty() && path.back() == '/') path.pop_back();
  s.folder = path.empty() ? "INBOX" : path;
  s.name = scheme + "://" + (user ? part(CURLUPART_USER, 0).value_or("") + "@" : "") + host +
           (port ? ":" + *port : "") + "/" + s.folder;
  if (scheme != "imaps" && scheme != "imap") s.fail("not an imaps:// URL");
  if (part(CURLUPART_PASSWORD, 0)) {
    throw ImapError(scheme + "://" + host +
                    ": a password in the URL is refused; give "
                    "--password-file, $ZAVRO_IMAP_PASSWORD_FILE or ~/.netrc");
  }
  if (!user || user->empty()) s.fail("no user in the URL (imaps://USER@HOST/FOLDER)");
  if (s.folder.find(';') != std::string::npos || part(CURLUPART_QUERY, 0)) {
    s.fail("a folder name with ';' or '?' is not supported");
  }
  quoted(s.folder);  // a line break in it is refused here, before connecting
  CurlSettings settings;
  settings.tls = scheme == "imaps";
  if (!settings.tls && !options.insecure_imap) {
    s.fail("plain imap:// sends the password unencrypted: use imaps://, or --insecure-imap");
  }
  settings.user = *user;
  settings.base = scheme + "://" + host + (port ? ":" + *port : "") + "/";
  settings.cacert = options.cacert;
  settings.timeout = options.timeout;
  s.password = imap_password(options.password_file, settings.user, host);
  settings.password = &s.password;
  s.open_link = [settings] { return std::make_unique<CurlLink>(settings); };
}

ImapFolder::ImapFolder(const std::string& name, const std::string& folder, ImapOpen open)
    : impl_(std::make_unique<Impl>()) {
  impl_->name = name;
  impl_->folder = folder;
  impl_->open_link = std::move(open);
  quoted(folder);
}

ImapFolder::~ImapFolder() = default;

const std::string& ImapFolder::name() const { return impl_->name; }
const std::string& ImapFolder::folder() const { return impl_->folder; }

std::uint32_t ImapFolder::uidvalidity() {
  // SELECT again: what it says is the folder's now, and new mail is seen.
  impl_->select();
  return *impl_->selected;
}

std::vector<std::uint32_t> ImapFolder::uids_after(std::uint32_t uid) {
  Impl& s = *impl_;
  if (uid == UINT32_MAX) return {};
  if (!s.selected) s.select();
  // A session kept open sees mail that came since it selected the folder
  // only once the server has synchronised it, which NOOP asks for.
  s.check(s.command("NOOP"), "NOOP");
  // Up to the highest UID the folder holds, a window at a time. UIDs, not
  // sequence numbers, so that another client expunging meanwhile cannot make
  // a message be passed over.
  std::uint64_t highest = 0;
  const std::string status = s.command("UID FETCH * (UID)", [&highest](Untagged& response) {
    if (const auto got = fetch_items(response); got && got->uid) {
      highest = std::max(highest, *got->uid);
    }
  });
  if (status.rfind("OK", 0) != 0) {
    if (s.exists == 0) return {};  // an empty folder has no "*"
    s.check(status, "UID FETCH");
  }
  if (highest == 0 || highest > UINT32_MAX) return {};
  std::vector<std::uint32_t> uids;
  // Each window's UIDs marked, not listed: a server that names them again
  // and again holds no more memory than the window.
  std::vector<bool> seen;
  for (std::uint64_t from = std::uint64_t{uid} + 1; from <= highest; from += kSearchWindow) {
    const std::uint64_t to = std::min<std::uint64_t>(highest, from + kSearchWindow - 1);
    const std::string search = "UID SEARCH UID " + std::to_string(from) + ":" + std::to_string(to);
    seen.assign(static_cast<std::size_t>(to - from + 1), false);
    s.check(s.command(search,
                      [&](Untagged& response) {
                        std::istringstream words(response.lines.front());
                        std::string word;
                        words >> word >> word;
                        if (!folded_equal(word, "SEARCH")) return;
                        while (words >> word) {
                          const auto value = number(word);
                          if (value && *value >= from && *value <= to) {
                            seen[static_cast<std::size_t>(*value - from)] = true;
                          }
                        }
                      }),
            "UID SEARCH");
    for (std::size_t i = 0; i < seen.size(); ++i) {
      if (seen[i]) uids.push_back(static_cast<std::uint32_t>(from + i));
    }
  }
  return uids;
}

std::optional<ImapFolder::Message> ImapFolder::fetch(std::uint32_t uid, std::uint32_t uidvalidity,
                                                     std::size_t max, std::size_t head) {
  std::optional<Message> found;
  fetch({uid}, uidvalidity, max, head, [&found](Message& message) { found = std::move(message); });
  return found;
}

void ImapFolder::fetch(const std::vector<std::uint32_t>& uids, std::uint32_t uidvalidity,
                       std::size_t max, std::size_t head,
                       const std::function<void(Message&)>& each) {
  Impl& s = *impl_;
  if (uids.empty()) return;
  if (!s.selected) s.select();
  if (*s.selected != uidvalidity) s.fail("the folder was renumbered (its UIDVALIDITY changed)");
  // Each message's size and its first bytes in one request for a window of
  // them (a server reads a message once, not once for its size and again
  // for its bytes); the few larger than that but not too large are fetched
  // whole afterwards, one by one.
  const std::uint64_t first =
      std::max<std::uint64_t>(head, std::min<std::uint64_t>(max, kFirstPart));
  // A literal this much larger than any asked for is no message of ours.
  const std::uint64_t absurd = std::uint64_t{std::max(max, head)} * 2 + (std::uint64_t{64} << 20);
  for (std::size_t from = 0; from < uids.size(); from += kWindowMessages) {
    const std::size_t count = std::min(kWindowMessages, uids.size() - from);
    const auto begin = uids.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = begin + static_cast<std::ptrdiff_t>(count);
    std::vector<std::optional<Message>> got(count);
    std::vector<std::uint64_t> sent(count);  // bytes the server sent of each
    std::uint64_t room = std::min<std::uint64_t>(count * first, kWindowBytes);
    s.fetch_each(
        uid_set(&uids[from], count), "UID RFC822.SIZE BODY[]<0." + std::to_string(first) + ">",
        [&](std::uint64_t size) -> std::size_t {
          if (size > absurd) {
            s.fail("the server sent " + std::to_string(size) + " bytes for a message");
          }
          const std::uint64_t kept = std::min({size, first, room});
          room -= kept;
          return static_cast<std::size_t>(kept);
        },
        [&](const FetchItems& items, Untagged& response) {
          if (!items.uid || !items.size || !items.has_body) return;
          const auto at = std::lower_bound(begin, end, *items.uid);
          if (at == end || *at != *items.uid) return;
          const std::size_t k = static_cast<std::size_t>(at - begin);
          Message& message = got[k].emplace();
          message.uid = *at;
          message.size = *items.size;
          if (items.literal) {
            message.bytes = std::move(response.literals[*items.literal]);
            sent[k] = response.sizes[*items.literal];
          } else {
            message.bytes = items.body.substr(0, static_cast<std::size_t>(first));
            sent[k] = items.body.size();
          }
        });
    for (std::size_t k = 0; k < count; ++k) {
      std::optional<Message>& message = got[k];
      if (!message) continue;  // gone since it was listed
      if (message->size > max || sent[k] > max) {
        // Too large, or more than the server said it holds: taken for too
        // large all the same.
        message->whole = false;
        if (message->bytes.size() > head) message->bytes.resize(head);
      } else if (sent[k] > message->bytes.size() ||
                 (message->size > message->bytes.size() && message->bytes.size() >= first)) {
        // Not too large, but more than its first part: all of it now.
        if (!s.fetch_whole(*message, max, head, absurd)) continue;  // gone meanwhile
      }
      each(*message);
    }
  }
}

void ImapFolder::move(std::uint32_t uid, const std::string& folder) {
  move(std::vector<std::uint32_t>{uid}, folder);
}

void ImapFolder::move(const std::vector<std::uint32_t>& uids, const std::string& folder) {
  Impl& s = *impl_;
  if (uids.empty()) return;
  if (!s.selected) s.select();
  if (s.made.insert(folder).second) {
    // Most often it exists already; a folder that truly cannot be made
    // fails the move below with the server's own words.
    s.command("CREATE " + quoted(folder));
  }
  std::vector<std::uint32_t> sorted = uids;
  std::sort(sorted.begin(), sorted.end());
  const bool moves = s.capable("MOVE");
  const bool uidplus = s.capable("UIDPLUS");
  for (std::size_t from = 0; from < sorted.size(); from += kSetUids) {
    const std::string set = uid_set(&sorted[from], std::min(kSetUids, sorted.size() - from));
    if (moves) {
      s.check(s.command("UID MOVE " + set + " " + quoted(folder)), "UID MOVE to " + folder);
      continue;
    }
    s.check(s.command("UID COPY " + set + " " + quoted(folder)), "UID COPY to " + folder);
    s.check(s.command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)"), "UID STORE");
    s.check(s.command(uidplus ? "UID EXPUNGE " + set : std::string("EXPUNGE")), "EXPUNGE");
  }
}

bool ImapFolder::wait(std::uint32_t after_uid, std::chrono::seconds timeout,
                      const std::function<bool()>& stop) {
  Impl& s = *impl_;
  if (!s.capable("IDLE")) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::unique_ptr<Connection> owned = s.open();
  Connection& c = *owned;
  c.broken = true;
  // The next line, or nothing once the deadline passed or stop() said so.
  const auto until = [&] {
    return (stop && stop()) || std::chrono::steady_clock::now() >= deadline;
  };
  // Each tagged command's answer; an untagged line for which more is true ends the wait early.
  const auto answer = [&](const std::string& tag,
                          const std::function<bool(const std::string&)>& more) {
    for (;;) {
      const auto text = s.line(c, until);
      if (!text) return false;
      if (text->rfind(tag + " ", 0) == 0) {
        if (text->compare(tag.size() + 1, 2, "OK") != 0) {
          s.fail("the server refused: " + shown(*text));
        }
        return true;
      }
      if (more && more(*text)) return true;
    }
  };
  s.send(c, "z1 SELECT " + quoted(s.folder) + "\r\n");
  bool waiting = true;
  if (!answer("z1", [&](const std::string& text) {
        const auto next = number_after(text, "[UIDNEXT ");
        if (next && *next > static_cast<std::uint64_t>(after_uid) + 1) waiting = false;
        return false;
      })) {
    return true;
  }
  if (!waiting) return true;
  s.send(c, "z2 IDLE\r\n");
  bool idling = false;
  while (!idling) {
    const auto text = s.line(c, until);
    if (!text) return true;
    if (text->rfind("+", 0) == 0) idling = true;
    if (text->rfind("z2 ", 0) == 0) s.fail("the server refused IDLE: " + shown(*text));
  }
  for (;;) {
    const auto text = s.line(c, until);
    if (!text) break;
    if (text->find(" EXISTS") != std::string::npos) break;
  }
  s.send(c, "DONE\r\n");
  answer("z2", {});
  s.send(c, "z3 LOGOUT\r\n");
  return true;
}

}  // namespace zavro::registry
