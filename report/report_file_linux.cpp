#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "report/report_file.hpp"

namespace zavro {
namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The mode a freshly created report would get, or the earlier report's.
mode_t report_mode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

// Nothing allocates once the temporary file exists, so a failed allocation
// (which the driver takes as a failed write) never leaves one behind.
bool write_report(const std::string& record) {
  const std::string dir =
      desktop_directory([](const char* name) { return std::getenv(name); }, is_directory);
  if (dir.empty()) return false;
  const std::string path = dir + "/" + kReportName;
  // A report we may not write stays as it is, as a truncating open would fail.
  if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) return false;

  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, report_mode(path)) == 0 && write_all(fd, record) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; the report is already whole either way.
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

}  // namespace zavro
