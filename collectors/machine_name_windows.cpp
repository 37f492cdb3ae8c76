#include <cstdlib>

#include "collectors/machine_name.hpp"

namespace zavro {

std::string machine_name() {
  const char* value = std::getenv("COMPUTERNAME");
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace zavro
