#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

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
  // glibc mallocs a stream's buffer at its first output or input, and the error
  // message and key wait may be the first, right after memory ran out (glibc
  // would then go unbuffered). With buffers of our own neither asks for memory;
  // the modes are the ones glibc would pick.
  static char out_buffer[BUFSIZ];
  static char in_buffer[BUFSIZ];
  std::setvbuf(stdout, out_buffer, isatty(1) != 0 ? _IOLBF : _IOFBF, sizeof out_buffer);
  std::setvbuf(stdin, in_buffer, isatty(0) != 0 ? _IOLBF : _IOFBF, sizeof in_buffer);
}

}  // namespace zavro
