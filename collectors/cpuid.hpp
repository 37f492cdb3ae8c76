// Processor signature: CPUID leaf 1 words and the processor revision.
#pragma once

#include <cstdint>
#include <string>

namespace zavro {

// EDX then EAX in "%X%X", then the revision in decimal (zero-extended).
std::string format_cpuid(std::uint32_t edx, std::uint32_t eax, std::uint16_t revision);

// The revision Windows reports on x86-64 as wProcessorRevision, derived from
// leaf 1 EAX: (extended model << 12) | (model << 8) | stepping.
std::uint16_t revision_from_eax(std::uint32_t eax);

// The Cpuid value of the machine this runs on.
std::string cpuid();

}  // namespace zavro
