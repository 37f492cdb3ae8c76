#include <cpuid.h>
#include <windows.h>

#include "collectors/cpuid.hpp"

namespace zavro {

std::string cpuid() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(1, 0, eax, ebx, ecx, edx);
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return format_cpuid(edx, eax, info.wProcessorRevision);
}

}  // namespace zavro
