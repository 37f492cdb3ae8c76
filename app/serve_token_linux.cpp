#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/serve_token.hpp"
#include "reader/output.hpp"
#include "registry/registry.hpp"

namespace zavro::server {
namespace {

constexpr std::size_t kTokenBytes = 32;
// A token file holds one line: more is not a token file.
constexpr std::size_t kTokenFileBytes = 256;

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

std::optional<std::string> make_token(const std::string& path) {
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
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
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

}  // namespace

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

bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff = static_cast<unsigned char>(
        diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
  }
  return diff == 0;
}

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

std::optional<std::string> load_token(const std::string& path) {
  // Non-blocking: a FIFO in its place would hold the open for ever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) return make_token(path);
  if (fd < 0) {
    error("cannot open token file " + path + ": " +
          (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
    return std::nullopt;
  }
  struct stat st {};
  const bool looked = ::fstat(fd, &st) == 0;
  if (!looked || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    ::close(fd);
    error("token file " + path +
          " is not a regular file owned by this user that only its owner can use "
          "(chown it, chmod 600)");
    return std::nullopt;
  }
  std::string text(kTokenFileBytes, '\0');
  const ssize_t n = ::read(fd, text.data(), text.size());
  const int read_error = errno;
  ::close(fd);
  if (n < 0) {
    error("cannot read token file " + path + ": " + std::strerror(read_error));
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.size() < 32 || text.size() >= kTokenFileBytes ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 127; })) {
    error("token file " + path + " holds no token (32 to 255 printable characters)");
    return std::nullopt;
  }
  return text;
}

}  // namespace zavro::server
