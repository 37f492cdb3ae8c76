#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "report/console.hpp"

namespace zavro {

void prepare_console() {
  // A reader that went away turns the message into a failed write, not a death.
  std::signal(SIGPIPE, SIG_IGN);
  // A closed 0, 1 or 2 would otherwise be handed out by the next open(), and the
  // console text could land in the report.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) {
      const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null_fd > 2) close(null_fd);
    }
  }
}

}  // namespace zavro
