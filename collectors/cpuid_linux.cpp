#include <array>
#include <cstring>

#include "collectors/cpuid.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zavro {

std::string cpuid() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  std::array<char, 12> vendor{};
#if defined(__x86_64__) || defined(__i386__)
  __cpuid_count(0, 0, eax, ebx, ecx, edx);
  // The vendor text is EBX, EDX, ECX in that order.
  std::memcpy(vendor.data(), &ebx, 4);
  std::memcpy(vendor.data() + 4, &edx, 4);
  std::memcpy(vendor.data() + 8, &ecx, 4);
  __cpuid_count(1, 0, eax, ebx, ecx, edx);
#endif
  // Elsewhere there is no CPUID: all words stay zero and the value is "000".
  return format_cpuid(edx, eax,
                      revision_from_eax(eax, std::string_view(vendor.data(), vendor.size())));
}

}  // namespace zavro
