// Every rule a receiver may argue with, in one place, versioned: a stored
// verdict names the rules that made it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace zavro::reader {

// Bump when any table or weight below changes meaning.
inline constexpr int kRulesVersion = 1;

// Serial texts that firmware ships instead of a serial number. Compared after
// trimming spaces, ignoring ASCII case. A value made of one repeated character
// is a placeholder too.
inline constexpr int kPlaceholderTableVersion = 1;
inline constexpr std::array<std::string_view, 18> kPlaceholderSerials = {"To be filled by O.E.M.",
                                                                         "To be filled by O.E.M",
                                                                         "Default string",
                                                                         "System Serial Number",
                                                                         "Base Board Serial Number",
                                                                         "Chassis Serial Number",
                                                                         "Not Specified",
                                                                         "Not Applicable",
                                                                         "N/A",
                                                                         "None",
                                                                         "Null",
                                                                         "Unknown",
                                                                         "INVALID",
                                                                         "OEM",
                                                                         "O.E.M.",
                                                                         "0123456789",
                                                                         "123456789",
                                                                         "1234567890"};

// Address prefixes of virtual machines and containers.
struct VirtualPrefix {
  std::array<std::uint8_t, 3> bytes;
  std::uint8_t length;  // significant bytes: 2 or 3
  const char* vendor;
};
inline constexpr int kVirtualPrefixTableVersion = 1;
inline constexpr std::array<VirtualPrefix, 10> kVirtualPrefixes = {{
    {{0x00, 0x05, 0x69}, 3, "VMware"},
    {{0x00, 0x0C, 0x29}, 3, "VMware"},
    {{0x00, 0x1C, 0x14}, 3, "VMware"},
    {{0x00, 0x50, 0x56}, 3, "VMware"},
    {{0x08, 0x00, 0x27}, 3, "VirtualBox"},
    {{0x00, 0x15, 0x5D}, 3, "Hyper-V"},
    {{0x52, 0x54, 0x00}, 3, "QEMU/KVM"},
    {{0x00, 0x16, 0x3E}, 3, "Xen"},
    {{0x00, 0x1C, 0x42}, 3, "Parallels"},
    {{0x02, 0x42, 0x00}, 2, "Docker"},
}};

// Leaf-1 EDX bits every x86-64 processor sets: FPU, TSC, CX8, CMOV, MMX,
// FXSR, SSE, SSE2; and bits that are reserved (always clear).
inline constexpr std::uint32_t kBaselineEdx = 0x07808111;
inline constexpr std::uint32_t kReservedEdx = (1u << 10) | (1u << 20) | (1u << 30);
inline constexpr std::uint32_t kReservedEax = 0xF000C000;

}  // namespace zavro::reader
