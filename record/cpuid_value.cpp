#include "record/cpuid_value.hpp"

namespace zavro {

bool folds_extended_model(std::uint32_t eax, std::string_view vendor) {
  const std::uint32_t family = (eax >> 8) & 0xFu;
  if (family == 0xFu) return true;
  return family == 6u && (vendor == "GenuineIntel" || vendor == "CentaurHauls");
}

std::uint16_t revision_of(std::uint32_t eax, bool extended_model_folded) {
  const std::uint32_t stepping = eax & 0xFu;
  std::uint32_t model = (eax >> 4) & 0xFu;
  if (extended_model_folded) model |= ((eax >> 16) & 0xFu) << 4;
  return static_cast<std::uint16_t>((model << 8) | stepping);
}

}  // namespace zavro
