#include "record/cpuid_value.hpp"

namespace zavro {

bool folds_extended_model(std::uint32_t eax, std::string_view vendor) {
  const std::uint32_t family = (eax >> 8) & 0xFu;
  return family == 0xF || (family == 6 && (vendor == "GenuineIntel" || vendor == "CentaurHauls"));
}

std::uint16_t revision_of(std::uint32_t eax, bool extended_model_folded) {
  std::uint32_t model = (eax >> 4) & 0xFu;
  if (extended_model_folded) model |= ((eax >> 16) & 0xFu) << 4;
  return static_cast<std::uint16_t>((model << 8) | (eax & 0xFu));
}

}  // namespace zavro
