#include "collectors/cpuid.hpp"

#include <array>
#include <cstdio>

#include "record/cpuid_value.hpp"

namespace zavro {

std::string format_cpuid(std::uint32_t edx, std::uint32_t eax, std::uint16_t revision) {
  std::array<char, 512> digits{};
  std::snprintf(digits.data(), digits.size(), "%X%X", static_cast<unsigned>(edx),
                static_cast<unsigned>(eax));
  return std::string(digits.data()) + std::to_string(static_cast<std::int32_t>(revision));
}

std::uint16_t revision_from_eax(std::uint32_t eax, std::string_view vendor) {
  return revision_of(eax, folds_extended_model(eax, vendor));
}

}  // namespace zavro
