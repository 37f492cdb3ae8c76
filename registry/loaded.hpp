// Shared libraries opened on first use, so that a command that never needs
// one does not map it, and all it pulls in, at start-up (most commands read
// a registry in a file and need neither a server's client nor IMAP).
#pragma once

namespace zavro::registry {

// The library's handle; throws Error naming it when it cannot be opened.
void* open_library(const char* soname);
// The address of name in library; throws Error when the library lacks it.
void* library_symbol(void* library, const char* soname, const char* name);

}  // namespace zavro::registry
