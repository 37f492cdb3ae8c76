// Preloaded into the dynamically linked tool: once the program has called
// getenv for the name in ZAVRO_FAIL_ALLOC_AFTER_GETENV, the next
// ZAVRO_FAIL_ALLOC_SKIP (default 0) allocations succeed and every later one
// fails, as when memory runs out.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" {
extern char** environ;
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
}

namespace {

bool armed = false;
long left_to_grant = 0;

// getenv without getenv, which we replace.
const char* lookup(const char* name) {
  const std::size_t n = std::strlen(name);
  for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  return nullptr;
}

bool refuse() {
  if (!armed || left_to_grant-- > 0) return false;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {

char* getenv(const char* name) noexcept {
  const char* trigger = lookup("ZAVRO_FAIL_ALLOC_AFTER_GETENV");
  if (!armed && trigger != nullptr && std::strcmp(name, trigger) == 0) {
    const char* skip = lookup("ZAVRO_FAIL_ALLOC_SKIP");
    left_to_grant = skip != nullptr ? std::strtol(skip, nullptr, 10) : 0;
    armed = true;
  }
  return const_cast<char*>(lookup(name));
}

void* malloc(std::size_t size) noexcept { return refuse() ? nullptr : __libc_malloc(size); }

void* calloc(std::size_t count, std::size_t size) noexcept {
  return refuse() ? nullptr : __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) noexcept {
  return refuse() ? nullptr : __libc_realloc(block, size);
}

}  // extern "C"
