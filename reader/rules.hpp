// Every rule a receiver may argue with, in one place, versioned: a stored
// verdict names the rules that made it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.hpp"
#include "reader/text.hpp"
#include "record/address_element.hpp"
#include "record/record.hpp"

namespace zavro::reader {

// Bump when any table, threshold or rule below changes meaning.
inline constexpr int kRulesVersion = 2;

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

// Same machine or not: one rule set for `compare` and for the registry's tie
// (registry/tie.cpp), so that two reports get one answer however they meet.

// Strong components tell machines apart; weak ones only back a match.
inline constexpr std::array<Key, 3> kStrongComponents = {Key::kBiosSerial, Key::kMotherboardSerial,
                                                         Key::kMacAddresses};
inline constexpr std::array<Key, 3> kWeakComponents = {Key::kCpuid, Key::kProcessorCount,
                                                       Key::kMachineName};
// Strong matches that make "same" with no conflict, whatever the weak ones say.
inline constexpr int kSameStrongMatches = 2;

// An address that can tell machines apart: universally administered, unicast,
// not zero. Virtual-machine prefixes count: they tell copied virtual machines
// apart. Randomised (locally administered) ones name nothing.
inline bool comparable_address(const Address& address) {
  return !address.local && !address.multicast && !address.zero;
}

// A serial as it is compared and indexed: trimmed of spaces, ASCII upper case.
inline std::string serial_key(std::string_view value) {
  std::string key(trim_spaces(value));
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

// The processor as compared: the decoded family/model/stepping (EDX is left
// out: hypervisors and firmware settings change feature bits), else the raw value.
inline std::string cpuid_key(std::string_view value, const CpuidField& field) {
  if (!field.signature) return std::string(value);
  return std::to_string(field.signature->family) + "/" + std::to_string(field.signature->model) +
         "/" + std::to_string(field.signature->stepping);
}

// The processor count as compared: its decimal value, else (too large to
// read) the raw value.
inline std::string count_key(std::string_view value, const std::optional<std::uint64_t>& count) {
  return count ? std::to_string(*count) : std::string(value);
}

// Two adapter lists, sorted and without repeats: a match is an address in
// common, a conflict none; crossed, when they match and each list has an
// address the other lacks (a card replaced, or a dongle carried from desk to desk).
struct AdapterAgreement {
  Agreement agreement = Agreement::kUnusable;
  bool crossed = false;
};
inline AdapterAgreement adapter_agreement(const std::vector<AddressBytes>& a,
                                          const std::vector<AddressBytes>& b) {
  if (a.empty() || b.empty()) return {};
  std::size_t common = 0;
  for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      ++common, ++i, ++j;
    }
  }
  if (common == 0) return {Agreement::kConflict, false};
  return {Agreement::kMatch, common < a.size() && common < b.size()};
}

// What the verdict weighs: each component's agreement, and three facts about
// the pair that agreements alone do not show.
struct PairFacts {
  std::array<Agreement, kKeyCount> components{};  // indexed by Key
  bool adapters_crossed = false;                  // see AdapterAgreement
  bool all_virtual = false;  // both have addresses, every one with a virtual prefix
  bool named = false;        // the names match and are not empty (empty names nothing)
};

struct StrongTally {
  int matches = 0;
  int conflicts = 0;
};
inline StrongTally strong_tally(const std::array<Agreement, kKeyCount>& components) {
  StrongTally tally;
  for (const Key strong : kStrongComponents) {
    const Agreement a = components[static_cast<std::size_t>(strong)];
    tally.matches += a == Agreement::kMatch ? 1 : 0;
    tally.conflicts += a == Agreement::kConflict ? 1 : 0;
  }
  return tally;
}

// With M strong matches and C strong conflicts, the first verdict that applies
// (README, "Same machine or not"). The registry ties a report to a candidate
// judged same or likely-same, and links it as a copy of one judged possible-clone.
inline Verdict verdict_of(const PairFacts& pair) {
  const auto agreement = [&](Key key) { return pair.components[static_cast<std::size_t>(key)]; };
  const auto [matches, conflicts] = strong_tally(pair.components);
  if (matches + conflicts == 0) return Verdict::kIndeterminate;
  if (matches == 0) return Verdict::kDifferent;
  const bool serial_match = agreement(Key::kBiosSerial) == Agreement::kMatch ||
                            agreement(Key::kMotherboardSerial) == Agreement::kMatch;
  const bool serial_conflict = agreement(Key::kBiosSerial) == Agreement::kConflict ||
                               agreement(Key::kMotherboardSerial) == Agreement::kConflict;
  // A copied virtual machine keeps its serials and gets its own adapter. A
  // physical machine's serials come from its firmware, never from a copied disk.
  if (serial_match && !serial_conflict && agreement(Key::kMacAddresses) == Agreement::kConflict &&
      pair.all_virtual) {
    return Verdict::kPossibleClone;
  }
  // One machine: more strong agreement than disagreement, unless the only
  // agreement is one adapter among others; or the name, which a board
  // replaced with its onboard adapter keeps beside one strong part.
  const bool only_crossed = matches == 1 && pair.adapters_crossed;
  if (!pair.named && (matches <= conflicts || only_crossed)) return Verdict::kDifferent;
  const bool weak_all_match = std::all_of(kWeakComponents.begin(), kWeakComponents.end(),
                                          [&](Key k) { return agreement(k) == Agreement::kMatch; });
  if (conflicts == 0 && (matches >= kSameStrongMatches || weak_all_match)) return Verdict::kSame;
  return Verdict::kLikelySame;
}

// Stored with every registry decision too: one rule set.
inline constexpr int kRegistryRulesVersion = kRulesVersion;
// A strong value that was the only agreement between this many machines set
// apart on everything else strong is learned as a placeholder.
inline constexpr int kLearnAfterMachines = 3;

}  // namespace zavro::reader
