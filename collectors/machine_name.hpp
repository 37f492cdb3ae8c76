// Host name: "COMPUTERNAME" from the environment.
#pragma once

#include <string>

namespace zavro {

// The environment's "COMPUTERNAME" byte for byte, even when empty. Linux sets
// no such variable, so there an unset one falls back to the kernel's host name;
// Windows gives the empty text.
std::string machine_name();

}  // namespace zavro
