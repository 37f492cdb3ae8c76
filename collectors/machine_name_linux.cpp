#include <sys/utsname.h>

#include <cstdlib>

#include "collectors/machine_name.hpp"

namespace zavro {

std::string machine_name() {
  if (const char* value = std::getenv("COMPUTERNAME")) return value;
  struct utsname names {};
  if (uname(&names) != 0) return {};
  return names.nodename;
}

}  // namespace zavro
