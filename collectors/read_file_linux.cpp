#include "collectors/read_file_linux.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zavro {

bool read_file(const std::string& path, std::string& out) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  return ok;
}

}  // namespace zavro
