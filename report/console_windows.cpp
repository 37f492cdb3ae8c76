#include <io.h>

#include <cstdio>

#include "report/console.hpp"

namespace zavro {
namespace {

// A standard stream with no usable handle (started with it closed, or as a
// detached process) reads and writes the null device instead, so the message
// goes nowhere and the wait ends at once.
void usable_or_null(std::FILE* stream, const char* mode) {
  const int fd = _fileno(stream);
  if (fd >= 0 && _get_osfhandle(fd) >= 0) return;
  if (std::freopen("NUL", mode, stream) == nullptr) std::clearerr(stream);
}

}  // namespace

void prepare_console() {
  usable_or_null(stdin, "r");
  usable_or_null(stdout, "w");
  usable_or_null(stderr, "w");
}

}  // namespace zavro
