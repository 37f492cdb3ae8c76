#include "registry/summary.hpp"

#include <algorithm>
#include <cstring>

#include "reader/text.hpp"
#include "registry/search.hpp"
#include "registry/varint.hpp"

namespace zavro::registry {
namespace {

std::uint64_t fnv(ValueKind kind, std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  const auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  };
  mix(static_cast<unsigned char>(kind));
  for (const char c : text) mix(static_cast<unsigned char>(c));
  return hash;
}

}  // namespace

std::vector<std::string> names_of(std::string_view packed) {
  std::vector<std::string> names;
  std::uint64_t size = 0;
  while (!packed.empty() && take_varint(packed, size) && size <= packed.size()) {
    names.emplace_back(packed.substr(0, size));
    packed.remove_prefix(size);
  }
  return names;
}

bool add_name(std::string& packed, std::string_view name) {
  std::string_view in = packed;
  std::uint64_t size = 0;
  while (!in.empty() && take_varint(in, size) && size <= in.size()) {
    if (in.substr(0, size) == name) return false;
    in.remove_prefix(size);
  }
  put_varint(packed, name.size());
  packed.append(name);
  return true;
}

std::vector<Id> records_of(std::string_view packed) {
  std::vector<Id> ids;
  std::uint64_t delta = 0;
  Id at = 0;
  while (!packed.empty() && take_varint(packed, delta)) {
    at += static_cast<Id>(delta);
    ids.push_back(at);
  }
  return ids;
}

void add_record(std::string& packed, Id previous, Id record) {
  put_varint(packed, static_cast<std::uint64_t>(record - previous));
}

// Four bytes a value: a machine reports a handful, and two of them sharing
// a hash (one in four billion) only leaves the second out of search.
std::uint32_t narrow(std::uint64_t hash) { return static_cast<std::uint32_t>(hash ^ (hash >> 32)); }

bool has_seen(std::string_view packed, std::uint64_t wide) {
  const std::uint32_t hash = narrow(wide);
  std::size_t lo = 0;
  std::size_t hi = packed.size() / 4;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    std::uint32_t v = 0;
    std::memcpy(&v, packed.data() + mid * 4, 4);
    if (v == hash) return true;
    if (v < hash) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return false;
}

void add_seen(std::string& packed, std::uint64_t wide) {
  const std::uint32_t hash = narrow(wide);
  std::size_t at = 0;
  while (at + 4 <= packed.size()) {
    std::uint32_t v = 0;
    std::memcpy(&v, packed.data() + at, 4);
    if (v == hash) return;
    if (v > hash) break;
    at += 4;
  }
  char bytes[4];
  std::memcpy(bytes, &hash, 4);
  packed.insert(at, bytes, 4);
}

std::uint64_t ShownValue::hash() const { return fnv(kind, folded); }

std::vector<ShownValue> shown_values(const reader::Parsed& parsed, const reader::Decoded& decoded) {
  std::vector<ShownValue> values;
  const std::string_view name = parsed.value(Key::kMachineName);
  values.push_back({ValueKind::kName, std::string(name), search::fold(name), false});
  const std::pair<ValueKind, reader::SerialState> serials[] = {{ValueKind::kBios, decoded.bios},
                                                               {ValueKind::kBoard, decoded.board}};
  for (const auto& [kind, state] : serials) {
    if (state != reader::SerialState::kValue && state != reader::SerialState::kPlaceholder) {
      continue;
    }
    const Key key = kind == ValueKind::kBios ? Key::kBiosSerial : Key::kMotherboardSerial;
    const std::string_view value = reader::trim_spaces(parsed.value(key));
    values.push_back({kind, std::string(value), search::fold(value),
                      state == reader::SerialState::kPlaceholder});
  }
  std::vector<std::array<std::uint8_t, 6>> addresses;
  for (const reader::Address& address : decoded.addresses.addresses) {
    // Randomised (locally administered), group and zero addresses name no adapter.
    if (address.local || address.multicast || address.zero) continue;
    addresses.push_back(address.bytes);
  }
  std::sort(addresses.begin(), addresses.end());
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
  for (const auto& bytes : addresses) {
    const std::string value(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    values.push_back({ValueKind::kAddress, value, search::hex_address(value), false});
  }
  return values;
}

ShownValue sender_value(std::string_view address) {
  return {ValueKind::kSender, std::string(address), search::fold(address), false};
}

std::optional<ComponentKey> key_of(const ShownValue& value) {
  switch (value.kind) {
    case ValueKind::kName:
    case ValueKind::kSender:
      return std::nullopt;
    case ValueKind::kAddress:
      return ComponentKey{KeyKind::kAddress, value.value};
    case ValueKind::kBios:
    case ValueKind::kBoard:
      break;
  }
  // As identity_of keeps a serial: trimmed (already), upper case.
  std::string upper = value.value;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return ComponentKey{value.kind == ValueKind::kBios ? KeyKind::kBiosSerial : KeyKind::kBoardSerial,
                      std::move(upper)};
}

}  // namespace zavro::registry
