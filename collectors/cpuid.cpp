#include "collectors/cpuid.hpp"

#include <array>
#include <cstdio>

namespace zavro {

std::string format_cpuid(std::uint32_t edx, std::uint32_t eax, std::uint16_t revision) {
  std::array<char, 512> digits{};
  std::snprintf(digits.data(), digits.size(), "%X%X", static_cast<unsigned>(edx),
                static_cast<unsigned>(eax));
  return std::string(digits.data()) + std::to_string(static_cast<std::int32_t>(revision));
}

std::uint16_t revision_from_eax(std::uint32_t eax) {
  const std::uint32_t stepping = eax & 0xFu;
  const std::uint32_t model = (eax >> 4) & 0xFu;
  const std::uint32_t extended_model = (eax >> 16) & 0xFu;
  return static_cast<std::uint16_t>((extended_model << 12) | (model << 8) | stepping);
}

}  // namespace zavro
