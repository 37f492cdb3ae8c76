// Processor signature: CPUID leaf 1 words and the processor revision.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zavro {

// EDX then EAX in "%X%X", then the revision in decimal (zero-extended).
std::string format_cpuid(std::uint32_t edx, std::uint32_t eax, std::uint16_t revision);

// The revision Windows reports as wProcessorRevision for leaf-1 EAX on a
// processor of this vendor (leaf 0 EBX, EDX, ECX).
std::uint16_t revision_from_eax(std::uint32_t eax, std::string_view vendor);

// The Cpuid value of the machine this runs on.
std::string cpuid();

}  // namespace zavro
