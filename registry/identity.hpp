// What identifies the machine behind one report, in the terms the registry
// ties by: strong keys it can be found by, weak values that only confirm.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.hpp"

namespace zavro::registry {

enum class KeyKind : int { kBiosSerial = 1, kBoardSerial = 2, kAddress = 3 };

// A strong value as the registry indexes it: a serial trimmed and in upper
// case, or an address's six bytes.
struct ComponentKey {
  KeyKind kind = KeyKind::kAddress;
  std::string value;
  bool operator==(const ComponentKey& other) const {
    return kind == other.kind && value == other.value;
  }
  bool operator<(const ComponentKey& other) const {
    return kind != other.kind ? kind < other.kind : value < other.value;
  }
};
const char* field_of(KeyKind kind);
// A stable 64-bit hash (FNV-1a) of kind and value: what the index holds.
std::int64_t key_hash(const ComponentKey& key);  // the record key it comes from
// The value as a person reads it: the serial, or "XX:XX:XX:XX:XX:XX".
std::string display(const ComponentKey& key);

struct Identity {
  std::optional<std::string> bios;  // state value only, normalised
  std::optional<std::string> board;
  // Universally administered, unicast, non-zero; sorted, no repeats.
  std::vector<std::array<std::uint8_t, 6>> addresses;
  // Every one of them carries a virtual machine prefix.
  bool all_virtual = false;
  // Weak: the decoded signature (or the raw value), the count, the name.
  std::string cpuid;
  std::string count;
  std::string name;       // as written
  std::string name_fold;  // ASCII lower case, for comparing
};

// For an ok record with its decoding.
Identity identity_of(const reader::Parsed& parsed, const reader::Decoded& decoded);

// An identity as the registry keeps it beside each machine, so that weighing
// a candidate reads one small row instead of parsing its latest report.
std::string encode(const Identity& identity);
// Nothing when the bytes are not an encoding (a damaged registry).
std::optional<Identity> decode_identity(std::string_view bytes);

// Its strong keys.
std::vector<ComponentKey> keys_of(const Identity& identity);

// Drops the strong values a predicate calls placeholders (learned ones).
void drop_placeholders(Identity& identity,
                       const std::function<bool(const ComponentKey&)>& is_placeholder);

}  // namespace zavro::registry
