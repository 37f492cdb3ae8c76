// What the registry keeps beside each machine so that its listings read one
// row instead of every report: its names, its reports' ids, and the values
// it is found by. Pure functions over the stored bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.hpp"
#include "registry/identity.hpp"
#include "registry/types.hpp"

namespace zavro::registry {

// A list of names, each once, in the order first reported.
std::vector<std::string> names_of(std::string_view packed);
// Adds name unless it is there; false when it was.
bool add_name(std::string& packed, std::string_view name);

// A machine's reports' ids, in receipt order.
std::vector<Id> records_of(std::string_view packed);
void add_record(std::string& packed, Id previous, Id record);

// Hashes of the values a machine is found by, each once.
bool has_seen(std::string_view packed, std::uint64_t hash);
void add_seen(std::string& packed, std::uint64_t hash);

// What a report shows that people search for: its name, its serials (values
// and listed placeholders alike) and its adapters' addresses; and the address
// it was mailed from, when it came by mail.
enum class ValueKind : std::uint8_t { kName = 0, kBios = 1, kBoard = 2, kAddress = 3, kSender = 4 };
struct ShownValue {
  ValueKind kind = ValueKind::kName;
  std::string value;   // as reported: the name, the serial trimmed, six address bytes
  std::string folded;  // as searched (registry/search.hpp)
  // A serial firmware ships instead of one (the listed placeholders).
  bool listed_placeholder = false;
  std::uint64_t hash() const;
};
std::vector<ShownValue> shown_values(const reader::Parsed& parsed, const reader::Decoded& decoded);
// The sender of a report that came by mail, found by search like a name.
ShownValue sender_value(std::string_view address);

// The strong key a shown serial or address is indexed under.
std::optional<ComponentKey> key_of(const ShownValue& value);

}  // namespace zavro::registry
