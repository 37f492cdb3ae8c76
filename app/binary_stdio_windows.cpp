#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "app/binary_stdio.hpp"

namespace zavro {

// The C runtime opens both in text mode: CR LF would become LF on the way in,
// and a 0x1A byte would end the input early.
void binary_stdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace zavro
