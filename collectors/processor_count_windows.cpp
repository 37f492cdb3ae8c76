#include <windows.h>

#include "collectors/processor_count.hpp"

namespace zavro {

std::string processor_count() {
  // Not hardware_concurrency(): winpthreads counts the affinity mask instead.
  static OnceCount count([] {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return static_cast<std::uint32_t>(info.dwNumberOfProcessors);
  });
  return count.text();
}

}  // namespace zavro
