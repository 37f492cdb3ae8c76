#include "registry/loaded.hpp"

#include <dlfcn.h>

#include <string>

#include "registry/types.hpp"

namespace zavro::registry {

void* open_library(const char* soname) {
  void* const library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    throw Error(std::string(soname) + " cannot be loaded" + (why != nullptr ? ": " : "") +
                (why != nullptr ? why : ""));
  }
  return library;
}

void* library_symbol(void* library, const char* soname, const char* name) {
  void* const symbol = dlsym(library, name);
  if (symbol == nullptr) throw Error(std::string(soname) + " lacks " + name);
  return symbol;
}

}  // namespace zavro::registry
