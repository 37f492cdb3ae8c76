#include "registry/identity.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "reader/rules.hpp"
#include "reader/text.hpp"

namespace zavro::registry {
namespace {

std::optional<std::string> serial_key(std::string_view value, reader::SerialState state) {
  if (state != reader::SerialState::kValue) return std::nullopt;
  return reader::serial_key(value);
}

bool is_virtual(const std::array<std::uint8_t, 6>& bytes) {
  return reader::virtual_vendor(bytes) != nullptr;
}

std::string address_value(const std::array<std::uint8_t, 6>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

const char* field_of(KeyKind kind) {
  switch (kind) {
    case KeyKind::kBiosSerial:
      return kKeyNames[static_cast<std::size_t>(Key::kBiosSerial)];
    case KeyKind::kBoardSerial:
      return kKeyNames[static_cast<std::size_t>(Key::kMotherboardSerial)];
    case KeyKind::kAddress:
      break;
  }
  return kKeyNames[static_cast<std::size_t>(Key::kMacAddresses)];
}

std::int64_t key_hash(const ComponentKey& key) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  const auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  };
  mix(static_cast<unsigned char>(key.kind));
  for (const char c : key.value) mix(static_cast<unsigned char>(c));
  return static_cast<std::int64_t>(hash);
}

std::string display(const ComponentKey& key) {
  if (key.kind != KeyKind::kAddress || key.value.size() != 6) return key.value;
  char text[18];
  const auto* b = reinterpret_cast<const unsigned char*>(key.value.data());
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4],
                b[5]);
  return text;
}

Identity identity_of(const reader::Parsed& parsed, const reader::Decoded& decoded) {
  Identity identity;
  identity.bios = serial_key(parsed.value(Key::kBiosSerial), decoded.bios);
  identity.board = serial_key(parsed.value(Key::kMotherboardSerial), decoded.board);
  bool all_virtual = true;
  for (const reader::Address& address : decoded.addresses.addresses) {
    if (!reader::comparable_address(address)) continue;
    identity.addresses.push_back(address.bytes);
    all_virtual = all_virtual && address.virtual_vendor != nullptr;
  }
  std::sort(identity.addresses.begin(), identity.addresses.end());
  identity.addresses.erase(std::unique(identity.addresses.begin(), identity.addresses.end()),
                           identity.addresses.end());
  identity.all_virtual = all_virtual && !identity.addresses.empty();
  identity.cpuid = reader::cpuid_key(parsed.value(Key::kCpuid), decoded.cpuid);
  identity.count = reader::count_key(parsed.value(Key::kProcessorCount), decoded.count);
  identity.name = parsed.value(Key::kMachineName);
  identity.name_fold = identity.name;
  for (char& c : identity.name_fold) c = reader::ascii_lower(c);
  return identity;
}

namespace {

// Fields are a length byte or two and the bytes: serials and the name are at
// most 511 bytes, the rest shorter.
void put(std::string& out, std::string_view text) {
  out += static_cast<char>(text.size() >> 8);
  out += static_cast<char>(text.size() & 0xFF);
  out += text;
}

bool take(std::string_view& in, std::string& text) {
  if (in.size() < 2) return false;
  const std::size_t size = static_cast<std::size_t>(static_cast<unsigned char>(in[0])) << 8 |
                           static_cast<unsigned char>(in[1]);
  if (in.size() - 2 < size) return false;
  text.assign(in.substr(2, size));
  in.remove_prefix(2 + size);
  return true;
}

}  // namespace

std::string encode(const Identity& identity) {
  std::string out;
  out += static_cast<char>((identity.bios ? 1 : 0) | (identity.board ? 2 : 0));
  put(out, identity.bios.value_or(""));
  put(out, identity.board.value_or(""));
  std::string addresses;
  for (const auto& a : identity.addresses)
    addresses.append(reinterpret_cast<const char*>(a.data()), 6);
  put(out, addresses);
  put(out, identity.cpuid);
  put(out, identity.count);
  put(out, identity.name);
  return out;
}

std::optional<Identity> decode_identity(std::string_view in) {
  if (in.empty()) return std::nullopt;
  const auto present = static_cast<unsigned char>(in[0]);
  in.remove_prefix(1);
  Identity identity;
  std::string bios;
  std::string board;
  std::string addresses;
  if (!take(in, bios) || !take(in, board) || !take(in, addresses) || !take(in, identity.cpuid) ||
      !take(in, identity.count) || !take(in, identity.name) || !in.empty() ||
      addresses.size() % 6 != 0 || present > 3) {
    return std::nullopt;
  }
  if ((present & 1) != 0) identity.bios = std::move(bios);
  if ((present & 2) != 0) identity.board = std::move(board);
  for (std::size_t at = 0; at < addresses.size(); at += 6) {
    std::array<std::uint8_t, 6> a{};
    std::memcpy(a.data(), addresses.data() + at, 6);
    identity.addresses.push_back(a);
  }
  identity.all_virtual =
      !identity.addresses.empty() &&
      std::all_of(identity.addresses.begin(), identity.addresses.end(), is_virtual);
  identity.name_fold = identity.name;
  for (char& c : identity.name_fold) c = reader::ascii_lower(c);
  return identity;
}

std::vector<ComponentKey> keys_of(const Identity& identity) {
  std::vector<ComponentKey> keys;
  keys.reserve(2 + identity.addresses.size());
  if (identity.bios) keys.push_back({KeyKind::kBiosSerial, *identity.bios});
  if (identity.board) keys.push_back({KeyKind::kBoardSerial, *identity.board});
  for (const auto& address : identity.addresses) {
    keys.push_back({KeyKind::kAddress, address_value(address)});
  }
  return keys;
}

void drop_placeholders(Identity& identity,
                       const std::function<bool(const ComponentKey&)>& is_placeholder) {
  if (identity.bios && is_placeholder({KeyKind::kBiosSerial, *identity.bios}))
    identity.bios.reset();
  if (identity.board && is_placeholder({KeyKind::kBoardSerial, *identity.board})) {
    identity.board.reset();
  }
  auto& addresses = identity.addresses;
  addresses.erase(std::remove_if(addresses.begin(), addresses.end(),
                                 [&](const std::array<std::uint8_t, 6>& a) {
                                   return is_placeholder({KeyKind::kAddress, address_value(a)});
                                 }),
                  addresses.end());
  identity.all_virtual =
      !addresses.empty() && std::all_of(addresses.begin(), addresses.end(), is_virtual);
}

}  // namespace zavro::registry
