// Every rule a receiver may argue with, in one place, versioned: a stored
// verdict names the rules that made it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "reader/reader.hpp"
#include "reader/text.hpp"
#include "record/address_element.hpp"
#include "record/record.hpp"

namespace zavro::reader {

// Bump when any table, threshold or rule below changes meaning.
inline constexpr int kRulesVersion = 1;

// Serials.

// What the tool writes for a serial it could not query.
inline constexpr std::string_view kSerialNotFound = "not found";

// Serial texts that firmware ships instead of a serial number. Compared after
// trimming spaces, ignoring ASCII case.
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

// A non-empty value that is no serial number: one in the table, or, after
// trimming spaces, one character over and over (only spaces too).
inline bool is_placeholder_serial(std::string_view value) {
  const std::string_view trimmed = trim_spaces(value);
  if (trimmed.find_first_not_of(trimmed.empty() ? ' ' : trimmed[0]) == std::string_view::npos) {
    return true;
  }
  return std::any_of(kPlaceholderSerials.begin(), kPlaceholderSerials.end(),
                     [&](std::string_view p) { return equal_ignoring_case(trimmed, p); });
}

// Two serials in state value name one board: spaces at either end and
// ASCII case do not count.
inline bool same_serial(std::string_view a, std::string_view b) {
  return equal_ignoring_case(trim_spaces(a), trim_spaces(b));
}
// Host names are case-insensitive.
inline bool same_machine_name(std::string_view a, std::string_view b) {
  return equal_ignoring_case(a, b);
}

// Adapter addresses.

// Address prefixes of virtual machines and containers.
struct VirtualPrefix {
  std::array<std::uint8_t, 3> bytes;
  std::uint8_t length;  // significant bytes: 2 or 3
  const char* vendor;
};
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

// The vendor whose prefix the address has, or null.
inline const char* virtual_vendor(const AddressBytes& bytes) {
  for (const VirtualPrefix& prefix : kVirtualPrefixes) {
    if (std::equal(prefix.bytes.begin(), prefix.bytes.begin() + prefix.length, bytes.begin())) {
      return prefix.vendor;
    }
  }
  return nullptr;
}

// An address that names one physical adapter: universally administered,
// unicast, not zero, not virtual.
inline bool usable_address(const Address& address) {
  return !address.local && !address.multicast && !address.zero && address.virtual_vendor == nullptr;
}

// Cpuid: leaf-1 EDX bits every x86-64 processor sets: FPU, TSC, CX8, CMOV,
// MMX, FXSR, SSE, SSE2; and bits that are reserved (always clear).
inline constexpr std::uint32_t kBaselineEdx = 0x07808111;
inline constexpr std::uint32_t kReservedEdx = (1u << 10) | (1u << 20) | (1u << 30);
inline constexpr std::uint32_t kReservedEax = 0xF000C000;

// Same machine or not.

// Strong components tell machines apart; weak ones only back a lone match.
inline constexpr std::array<Key, 3> kStrongComponents = {Key::kBiosSerial, Key::kMotherboardSerial,
                                                         Key::kMacAddresses};
inline constexpr std::array<Key, 3> kWeakComponents = {Key::kCpuid, Key::kProcessorCount,
                                                       Key::kMachineName};
// Strong matches that make "same" with no conflict, whatever the weak ones say.
inline constexpr int kSameStrongMatches = 2;

// With M strong matches and C strong conflicts, the first verdict that applies.
inline Verdict verdict_of(const std::array<Component, kKeyCount>& components) {
  const auto agreement = [&](Key key) {
    return components[static_cast<std::size_t>(key)].agreement;
  };
  int matches = 0;
  int conflicts = 0;
  for (const Key strong : kStrongComponents) {
    matches += agreement(strong) == Agreement::kMatch ? 1 : 0;
    conflicts += agreement(strong) == Agreement::kConflict ? 1 : 0;
  }
  const bool weak_all_match = std::all_of(kWeakComponents.begin(), kWeakComponents.end(),
                                          [&](Key k) { return agreement(k) == Agreement::kMatch; });
  const bool serial_match = agreement(Key::kBiosSerial) == Agreement::kMatch ||
                            agreement(Key::kMotherboardSerial) == Agreement::kMatch;
  if (matches + conflicts == 0) return Verdict::kIndeterminate;
  // One board, copied: its serial came along, its adapters and name did not.
  if (serial_match && agreement(Key::kMacAddresses) == Agreement::kConflict &&
      agreement(Key::kMachineName) == Agreement::kConflict) {
    return Verdict::kPossibleClone;
  }
  if (conflicts == 0 && (matches >= kSameStrongMatches || (matches == 1 && weak_all_match))) {
    return Verdict::kSame;
  }
  if (matches > conflicts) return Verdict::kLikelySame;
  return Verdict::kDifferent;
}

// The registry: tying a report to a known machine (README, "Registry").
// Bump when a rule below changes which machine a report is tied to.
inline constexpr int kRegistryRulesVersion = 1;
// A strong value that was the only agreement between this many machines set
// apart on everything else strong is learned as a placeholder.
inline constexpr int kLearnAfterMachines = 3;

}  // namespace zavro::reader
