#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "reader/reader.hpp"
#include "reader/rules.hpp"
#include "record/address_element.hpp"
#include "record/cpuid_value.hpp"

namespace zavro::reader {
namespace {

constexpr std::size_t kMaxHexDigits = 8;
constexpr std::size_t kMaxRevisionDigits = 5;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal as "%d" writes a 16-bit revision.
bool revision_word(std::string_view text, std::uint16_t& out) {
  if (text.empty() || text.size() > kMaxRevisionDigits || (text.size() > 1 && text[0] == '0')) {
    return false;
  }
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > 0xFFFF) return false;
  out = static_cast<std::uint16_t>(value);
  return true;
}

// A split a real processor could have written.
bool plausible(const Signature& s) {
  const std::uint32_t family = (s.eax >> 8) & 0xFu;
  // The vendor is unknown: family 6 may be reported with or without the
  // extended model.
  const bool revision_fits = family == 6 ? s.revision == revision_of(s.eax, true) ||
                                               s.revision == revision_of(s.eax, false)
                                         : s.revision == revision_of(s.eax, family == 0xF);
  return revision_fits && (s.edx & kBaselineEdx) == kBaselineEdx && (s.edx & kReservedEdx) == 0 &&
         (s.eax & kReservedEax) == 0;
}

void set_display(Signature& s) {
  const unsigned family = (s.eax >> 8) & 0xFu;
  const unsigned model = (s.eax >> 4) & 0xFu;
  s.family = family == 0xF ? family + ((s.eax >> 20) & 0xFFu) : family;
  s.model = family == 6 || family == 0xF ? model + (((s.eax >> 16) & 0xFu) << 4) : model;
  s.stepping = s.eax & 0xFu;
}

AddressesField decode_addresses(std::string_view value) {
  AddressesField field;
  field.addresses.reserve(value.size() / address_element_length(1) + 1);
  std::size_t at = 0;
  while (at < value.size()) {
    // The parser checked the layout: whole elements in index order, the last
    // one perhaps cut.
    Address address;
    std::size_t digits = 0;
    for (std::size_t i = at + kAddressOpen.size(); i < value.size() && value[i] != kAddressTagEnd;
         ++i, ++digits) {
      address.index = address.index * 10 + static_cast<unsigned>(value[i] - '0');
    }
    const std::size_t text_at = at + address_text_offset(digits);
    const std::size_t whole = address_element_length(digits);
    if (at + whole > value.size()) field.cut = true;
    if (text_at + kAddressTextLength > value.size()) break;
    value.copy(address.chars.data(), kAddressTextLength, text_at);
    if (!address_bytes(address.text(), address.bytes)) break;
    bool zero = true;
    for (const std::uint8_t byte : address.bytes) zero = zero && byte == 0;
    address.local = (address.bytes[0] & 0x02u) != 0;
    address.multicast = (address.bytes[0] & 0x01u) != 0;
    address.zero = zero;
    address.virtual_vendor = virtual_vendor(address.bytes);
    address.usable = usable_address(address);
    field.addresses.push_back(address);
    at += whole;
  }
  return field;
}

bool has_control(std::string_view value) {
  // Eight bytes at a time: a byte below 0x20, or one equal to 0x7F, in a word.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  std::size_t i = 0;
  for (; i + 8 <= value.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, value.data() + i, 8);
    const std::uint64_t del = word ^ (0x7F * kOnes);
    if ((((word - 0x20 * kOnes) & ~word) | ((del - kOnes) & ~del)) & kHigh) return true;
  }
  for (; i < value.size(); ++i) {
    const auto b = static_cast<unsigned char>(value[i]);
    if (b < 0x20 || b == 0x7F) return true;
  }
  return false;
}

}  // namespace

CpuidField decode_cpuid(std::string_view value) {
  CpuidField field;
  if (value == "000") {
    field.absent = true;
    return field;
  }
  if (!std::all_of(value.begin(), value.end(), [](char c) { return hex_digit(c) >= 0; })) {
    return field;
  }
  Signature kept;
  // Digit by digit, so each EDX and EAX prefix is read once; EDX alone rules
  // out most splits.
  Signature s;
  for (std::size_t e = 1; e <= kMaxHexDigits && e + 2 <= value.size(); ++e) {
    s.edx = (s.edx << 4) | static_cast<std::uint32_t>(hex_digit(value[e - 1]));
    if (e > 1 && value[0] == '0') break;
    if ((s.edx & kBaselineEdx) != kBaselineEdx || (s.edx & kReservedEdx) != 0) continue;
    s.eax = 0;
    for (std::size_t a = 1; a <= kMaxHexDigits && e + a < value.size(); ++a) {
      s.eax = (s.eax << 4) | static_cast<std::uint32_t>(hex_digit(value[e + a - 1]));
      if (a > 1 && value[e] == '0') break;
      if (value.size() - e - a > kMaxRevisionDigits) continue;
      if (revision_word(value.substr(e + a), s.revision) && plausible(s)) {
        ++field.candidates;
        kept = s;
      }
    }
  }
  if (field.candidates == 1) {
    set_display(kept);
    field.signature = kept;
  }
  return field;
}

SerialState serial_state(std::string_view value) {
  if (value.empty()) return SerialState::kEmpty;
  if (value == kSerialNotFound) return SerialState::kNotFound;
  if (is_placeholder_serial(value)) return SerialState::kPlaceholder;
  return SerialState::kValue;
}

Decoded decode(const Parsed& parsed) {
  Decoded decoded;
  const auto warn = [&](Key field, WarningCode code, std::string text) {
    decoded.warnings.push_back(Warning{field, code, std::move(text)});
  };
  const auto serial = [&](Key key, SerialState& state) {
    state = serial_state(parsed.value(key));
    if (state == SerialState::kPlaceholder) {
      warn(key, WarningCode::kSerialPlaceholder, "a firmware placeholder, not a serial number");
    } else if (state == SerialState::kNotFound) {
      warn(key, WarningCode::kSerialNotFound, "the machine could not read it (\"not found\")");
    } else if (state == SerialState::kEmpty) {
      warn(key, WarningCode::kSerialEmpty, "empty: the machine reported no serial number");
    }
  };

  for (std::size_t k = 0; k < kKeyCount; ++k) {
    const auto key = static_cast<Key>(k);
    const std::string_view value = parsed.value(key);
    switch (key) {
      case Key::kCpuid:
        decoded.cpuid = decode_cpuid(value);
        if (decoded.cpuid.absent) {
          warn(key, WarningCode::kCpuidAbsent, "the processor reported no CPUID signature");
        } else if (!decoded.cpuid.signature) {
          warn(key, WarningCode::kCpuidUndecodable,
               std::to_string(decoded.cpuid.candidates) +
                   " plausible readings of EDX, EAX and revision; none is taken");
        }
        break;
      case Key::kProcessorCount: {
        std::uint64_t count = 0;
        bool overflow = false;
        for (const char c : value) {
          const auto digit = static_cast<std::uint64_t>(c - '0');
          if (count > (UINT64_MAX - digit) / 10) overflow = true;
          count = count * 10 + digit;
        }
        if (overflow) {
          warn(key, WarningCode::kCountOverflow, "the processor count does not fit in 64 bits");
        } else {
          decoded.count = count;
        }
        break;
      }
      case Key::kMacAddresses: {
        decoded.addresses = decode_addresses(value);
        bool usable = false;
        for (const Address& a : decoded.addresses.addresses) usable = usable || a.usable;
        if (!usable) {
          warn(key, WarningCode::kNoUsableAddress,
               "no universal, unicast, non-zero, non-virtual adapter address");
        }
        break;
      }
      case Key::kBiosSerial:
        serial(key, decoded.bios);
        break;
      case Key::kMotherboardSerial:
        serial(key, decoded.board);
        break;
      case Key::kMachineName:
        break;
    }
    decoded.cut[k] = value.size() == kMaxValue;
    if (decoded.cut[k]) {
      warn(key, WarningCode::kCut, "the value fills 511 bytes and was probably cut by the writer");
    }
    if (has_control(value))
      warn(key, WarningCode::kControlCharacters, "the value holds control characters");
  }
  return decoded;
}

const char* name_of(SerialState state) {
  switch (state) {
    case SerialState::kValue:
      return "value";
    case SerialState::kEmpty:
      return "empty";
    case SerialState::kNotFound:
      return "not-found";
    case SerialState::kPlaceholder:
      return "placeholder";
  }
  return "?";
}

}  // namespace zavro::reader
