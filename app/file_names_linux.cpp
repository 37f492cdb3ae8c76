#include <cstdio>
#include <string>
#include <vector>

#include "app/file_names.hpp"

namespace zavro {

// POSIX names are bytes: passed through unconverted.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::FILE* open_named_file(const std::string& name) { return std::fopen(name.c_str(), "rb"); }

}  // namespace zavro
