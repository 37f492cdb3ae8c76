// libcurl speaks IMAP and IMAPS, verifies TLS as everything else here does
// (OpenSSL, the system's CAs), fetches by UID with UIDVALIDITY checked and
// fetches part of a message; it has no IDLE, so waiting for mail is done on a
// connection libcurl opened and logged in (CONNECT_ONLY), with three
// commands written here.
#include "registry/imap.hpp"

// The calls go through a table of pointers: no type-checking macros.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
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

// The responses to the commands sent here are lines of UIDs and sizes; a
// server that sends more than this is not answering them.
constexpr std::size_t kMaxResponse = std::size_t{64} << 20;

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

struct Sink {
  std::string* out;
  std::size_t max;
  bool over = false;
};

std::size_t write_to(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  if (sink->out->size() + n > sink->max) {
    sink->out->append(data, sink->max - sink->out->size());
    sink->over = true;
    return 0;  // libcurl ends the transfer
  }
  sink->out->append(data, n);
  return n;
}

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
  std::string base;  // scheme://host[:port]/
  std::string user;
  std::string password;
  ImapOptions options;
  bool tls = true;
  std::unique_ptr<CURL, CurlEasyFree> curl;
  char error[CURL_ERROR_SIZE] = {};
  std::optional<std::string> capabilities;
  std::set<std::string> made;  // folders moved to, made when missing

  ~Impl() { std::fill(password.begin(), password.end(), '\0'); }

  [[noreturn]] void fail(const std::string& what) const { throw ImapError(name + ": " + what); }

  // The options every connection shares: who, how, and how long to wait.
  void common(CURL* handle, char* error_buffer) const {
    libcurl().curl_easy_setopt(handle, CURLOPT_USERNAME, user.c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_PASSWORD, password.c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_buffer);
    libcurl().curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    libcurl().curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT,
                               static_cast<long>(options.timeout.count()));
    libcurl().curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    libcurl().curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                               static_cast<long>(options.timeout.count()));
    libcurl().curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, tls ? "imaps" : "imap");
    libcurl().curl_easy_setopt(handle, CURLOPT_USE_SSL,
                               static_cast<long>(tls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
    if (!options.cacert.empty())
      libcurl().curl_easy_setopt(handle, CURLOPT_CAINFO, options.cacert.c_str());
  }

  std::string folder_url(const std::string& which) const {
    const std::unique_ptr<char, CurlFree> escaped(
        libcurl().curl_easy_escape(curl.get(), which.c_str(), static_cast<int>(which.size())));
    return base + escaped.get();
  }

  // url fetched, or custom sent, its response (at most max bytes) returned.
  std::string perform(const std::string& url, const char* custom, std::size_t max = kMaxResponse,
                      bool* over = nullptr) {
    std::string out;
    Sink sink{&out, max};
    CURL* handle = curl.get();
    libcurl().curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    libcurl().curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, custom);
    libcurl().curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_to);
    libcurl().curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    error[0] = 0;
    const CURLcode code = libcurl().curl_easy_perform(handle);
    if (code == CURLE_WRITE_ERROR && sink.over && over != nullptr) {
      *over = true;
      return out;
    }
    if (code != CURLE_OK) fail(error[0] != 0 ? error : libcurl().curl_easy_strerror(code));
    return out;
  }

  bool capable(const std::string& capability) {
    if (!capabilities) capabilities = perform(base, "CAPABILITY");
    std::istringstream words(*capabilities);
    for (std::string word; words >> word;) {
      if (word == capability) return true;
    }
    return false;
  }
};

ImapFolder::ImapFolder(const ImapOptions& options) : impl_(std::make_unique<Impl>()) {
  init_curl();
  Impl& s = *impl_;
  s.options = options;
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
  s.tls = scheme == "imaps";
  if (!s.tls && !options.insecure_imap) {
    s.fail("plain imap:// sends the password unencrypted: use imaps://, or --insecure-imap");
  }
  s.user = *user;
  s.base = scheme + "://" + host + (port ? ":" + *port : "") + "/";
  s.password = imap_password(options.password_file, s.user, host);
  s.curl.reset(libcurl().curl_easy_init());
  if (!s.curl) s.fail("out of memory");
  s.common(s.curl.get(), s.error);
}

ImapFolder::~ImapFolder() = default;

const std::string& ImapFolder::name() const { return impl_->name; }
const std::string& ImapFolder::folder() const { return impl_->folder; }

std::uint32_t ImapFolder::uidvalidity() {
  Impl& s = *impl_;
  const std::string status = "STATUS " + quoted(s.folder) + " (UIDVALIDITY)";
  const auto value = number_after(s.perform(s.base, status.c_str()), "UIDVALIDITY ");
  if (!value || *value == 0 || *value > UINT32_MAX) s.fail("the server gave no UIDVALIDITY");
  return static_cast<std::uint32_t>(*value);
}

std::vector<std::uint32_t> ImapFolder::uids_after(std::uint32_t uid) {
  Impl& s = *impl_;
  if (uid == UINT32_MAX) return {};
  const std::string url = s.folder_url(s.folder);
  // A connection kept open sees mail that came since it selected the folder
  // only once the server has synchronised it, which NOOP asks for.
  s.perform(url, "NOOP");
  // A window of UIDs at a time, up to the highest one the selected folder
  // holds (STATUS on the selected folder may be behind it). libcurl counts
  // the lines of one answer against its 300 KB header limit over and over
  // (about 290 lines of FETCH fail), and it cut a one-line SEARCH of 10,000
  // UIDs short without a word. UIDs, not sequence numbers, so that another
  // client expunging meanwhile cannot make a message be passed over.
  std::uint64_t highest = 0;
  {
    std::istringstream lines(s.perform(url, "UID FETCH * (UID)"));
    for (std::string line; std::getline(lines, line);) {
      if (const auto value = number_after(line, "UID ")) highest = std::max(highest, *value);
    }
  }
  if (highest == 0 || highest > UINT32_MAX) return {};
  constexpr std::uint64_t kWindow = 64;
  std::vector<std::uint32_t> uids;
  for (std::uint64_t from = std::uint64_t{uid} + 1; from <= highest; from += kWindow) {
    const std::uint64_t to = std::min<std::uint64_t>(highest, from + kWindow - 1);
    const std::string list =
        "UID FETCH " + std::to_string(from) + ":" + std::to_string(to) + " (UID)";
    std::istringstream lines(s.perform(url, list.c_str()));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("* ", 0) != 0) continue;
      const std::size_t fetch = line.find(" FETCH (");
      const std::size_t at = fetch == std::string::npos ? fetch : line.find("UID ", fetch);
      if (at == std::string::npos) continue;
      std::istringstream words(line.substr(at + 4));
      if (std::uint64_t value = 0; words >> value && value >= from && value <= to) {
        uids.push_back(static_cast<std::uint32_t>(value));
      }
    }
  }
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  return uids;
}

std::optional<ImapFolder::Message> ImapFolder::fetch(std::uint32_t uid, std::uint32_t uidvalidity,
                                                     std::size_t max, std::size_t head) {
  Impl& s = *impl_;
  const std::string url = s.folder_url(s.folder);
  const std::string size_of = "UID FETCH " + std::to_string(uid) + " (RFC822.SIZE)";
  const auto size = number_after(s.perform(url, size_of.c_str()), "RFC822.SIZE ");
  if (!size) return std::nullopt;
  Message message;
  message.size = *size;
  const std::string at =
      url + ";UIDVALIDITY=" + std::to_string(uidvalidity) + "/;UID=" + std::to_string(uid);
  if (*size > max) {
    message.whole = false;
    message.bytes = s.perform(at + ";PARTIAL=0." + std::to_string(head), nullptr, head);
    return message;
  }
  bool over = false;
  message.bytes = s.perform(at, nullptr, max, &over);
  if (over) {
    // More than the server said it holds: taken for too large all the same.
    message.whole = false;
    message.bytes.resize(std::min(message.bytes.size(), head));
  }
  return message;
}

void ImapFolder::move(std::uint32_t uid, const std::string& folder) {
  Impl& s = *impl_;
  const std::string url = s.folder_url(s.folder);
  if (s.made.insert(folder).second) {
    const std::string create = "CREATE " + quoted(folder);
    try {
      s.perform(s.base, create.c_str());
    } catch (const ImapError&) {
      // Most often it exists already; a folder that truly cannot be made
      // fails the move below with the server's own words.
    }
  }
  const std::string id = std::to_string(uid);
  if (s.capable("MOVE")) {
    const std::string command = "UID MOVE " + id + " " + quoted(folder);
    s.perform(url, command.c_str());
    return;
  }
  const std::string copy = "UID COPY " + id + " " + quoted(folder);
  s.perform(url, copy.c_str());
  const std::string store = "UID STORE " + id + " +FLAGS.SILENT (\\Deleted)";
  s.perform(url, store.c_str());
  s.perform(url, s.capable("UIDPLUS") ? ("UID EXPUNGE " + id).c_str() : "EXPUNGE");
}

bool ImapFolder::wait(std::uint32_t after_uid, std::chrono::seconds timeout,
                      const std::function<bool()>& stop) {
  Impl& s = *impl_;
  if (!s.capable("IDLE")) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char error[CURL_ERROR_SIZE] = {};
  const std::unique_ptr<CURL, CurlEasyFree> owned(libcurl().curl_easy_init());
  CURL* handle = owned.get();
  if (handle == nullptr) s.fail("out of memory");
  s.common(handle, error);
  libcurl().curl_easy_setopt(handle, CURLOPT_URL, s.base.c_str());
  libcurl().curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 1L);
  const CURLcode code = libcurl().curl_easy_perform(handle);
  if (code != CURLE_OK) s.fail(error[0] != 0 ? error : libcurl().curl_easy_strerror(code));
  curl_socket_t socket = CURL_SOCKET_BAD;
  libcurl().curl_easy_getinfo(handle, CURLINFO_ACTIVESOCKET, &socket);
  std::string pending;
  const auto send = [&](const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
      std::size_t sent = 0;
      const CURLcode result =
          libcurl().curl_easy_send(handle, line.data() + done, line.size() - done, &sent);
      if (result == CURLE_AGAIN) {
        pollfd fd{static_cast<int>(socket), POLLOUT, 0};
        ::poll(&fd, 1, 1000);
        continue;
      }
      if (result != CURLE_OK) s.fail("connection lost while waiting for mail");
      done += sent;
    }
  };
  // The next line, or nothing once the deadline passed or stop() said so.
  const auto line = [&]() -> std::optional<std::string> {
    for (;;) {
      const std::size_t end = pending.find("\r\n");
      if (end != std::string::npos) {
        std::string text = pending.substr(0, end);
        pending.erase(0, end + 2);
        return text;
      }
      if (pending.size() > kMaxResponse) s.fail("the server sent a line too long");
      char buffer[4096];
      std::size_t got = 0;
      const CURLcode result = libcurl().curl_easy_recv(handle, buffer, sizeof buffer, &got);
      if (result == CURLE_OK && got == 0) s.fail("the server closed the connection");
      if (result == CURLE_OK) {
        pending.append(buffer, got);
        continue;
      }
      if (result != CURLE_AGAIN) s.fail("connection lost while waiting for mail");
      if ((stop && stop()) || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      pollfd fd{static_cast<int>(socket), POLLIN, 0};
      ::poll(&fd, 1, 1000);
    }
  };
  // Each tagged command's answer; an untagged line for which more is true ends the wait early.
  const auto answer = [&](const std::string& tag,
                          const std::function<bool(const std::string&)>& more) {
    for (;;) {
      const auto text = line();
      if (!text) return false;
      if (text->rfind(tag + " ", 0) == 0) {
        if (text->compare(tag.size() + 1, 2, "OK") != 0) s.fail("the server refused: " + *text);
        return true;
      }
      if (more && more(*text)) return true;
    }
  };
  send("z1 SELECT " + quoted(s.folder) + "\r\n");
  bool waiting = true;
  if (!answer("z1", [&](const std::string& text) {
        const auto next = number_after(text, "[UIDNEXT ");
        if (next && *next > static_cast<std::uint64_t>(after_uid) + 1) waiting = false;
        return false;
      })) {
    return true;
  }
  if (!waiting) return true;
  send("z2 IDLE\r\n");
  bool idling = false;
  while (!idling) {
    const auto text = line();
    if (!text) return true;
    if (text->rfind("+", 0) == 0) idling = true;
    if (text->rfind("z2 ", 0) == 0) s.fail("the server refused IDLE: " + *text);
  }
  for (;;) {
    const auto text = line();
    if (!text) break;
    if (text->find(" EXISTS") != std::string::npos) break;
  }
  send("DONE\r\n");
  answer("z2", {});
  send("z3 LOGOUT\r\n");
  return true;
}

}  // namespace zavro::registry
