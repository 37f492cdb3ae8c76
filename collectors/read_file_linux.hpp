// Whole-file reads for the Linux readers.
#pragma once

#include <string>

namespace zavro {

// The file's bytes; false when it cannot be opened or read (a directory included).
bool read_file(const std::string& path, std::string& out);

}  // namespace zavro
