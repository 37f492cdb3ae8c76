#include "app/binary_stdio.hpp"

namespace zavro {

// POSIX streams never translate line ends.
void binary_stdio() {}

}  // namespace zavro
