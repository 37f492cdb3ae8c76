// Command-line arguments and the files they name.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zavro {

// The program's arguments, argv[0] included. On Windows, argv holds the ANSI
// code page, which cannot spell every file name: there they come from the
// UTF-16 command line as UTF-8. Elsewhere argv as given.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Opens a file named by utf8_arguments for binary reading; null and errno set
// when it cannot.
std::FILE* open_named_file(const std::string& name);

}  // namespace zavro
