// The processor revision Windows reports, derived from CPUID leaf 1.
#pragma once

#include <cstdint>
#include <string_view>

namespace zavro {

// Whether Windows folds the extended model into the model it reports: base family 0xF, or base
// family 6 on "GenuineIntel" / "CentaurHauls".
bool folds_extended_model(std::uint32_t eax, std::string_view vendor);

// wProcessorRevision as Windows derives it from leaf-1 EAX: (model << 8) | stepping, model with or
// without the extended model.
std::uint16_t revision_of(std::uint32_t eax, bool extended_model_folded);

}  // namespace zavro
