#include "collectors/cpuid.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zavro {

std::string cpuid() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
#if defined(__x86_64__) || defined(__i386__)
  __cpuid_count(1, 0, eax, ebx, ecx, edx);
#endif
  // Elsewhere there is no CPUID: all words stay zero and the value is "000".
  return format_cpuid(edx, eax, revision_from_eax(eax));
}

}  // namespace zavro
