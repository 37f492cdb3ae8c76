#include "record/address_element.hpp"

#include <algorithm>
#include <cstring>

namespace zavro {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t put(char* out, std::string_view piece) {
  std::memcpy(out, piece.data(), piece.size());
  return piece.size();
}

}  // namespace

std::array<char, kAddressTextLength> address_text(const AddressBytes& bytes) {
  std::array<char, kAddressTextLength> text{};
  for (std::size_t b = 0; b < bytes.size(); ++b) {
    text[3 * b] = kHexDigits[bytes[b] >> 4];
    text[3 * b + 1] = kHexDigits[bytes[b] & 0x0F];
    if (b + 1 < bytes.size()) text[3 * b + 2] = ':';
  }
  return text;
}

bool address_bytes(std::string_view text, AddressBytes& bytes) {
  if (text.size() != kAddressTextLength) return false;
  for (std::size_t b = 0; b < bytes.size(); ++b) {
    const int high = hex_value(text[3 * b]);
    const int low = hex_value(text[3 * b + 1]);
    if (high < 0 || low < 0 || (b + 1 < bytes.size() && text[3 * b + 2] != ':')) return false;
    bytes[b] = static_cast<std::uint8_t>((high << 4) | low);
  }
  return true;
}

std::size_t write_address_element(std::uint32_t index, std::string_view text, char* out) {
  char digits[kMaxIndexDigits];
  std::size_t d = 0;
  for (std::uint32_t rest = index;; rest /= 10) {
    digits[d++] = static_cast<char>('0' + rest % 10);
    if (rest < 10) break;
  }
  std::reverse(digits, digits + d);
  const std::string_view i(digits, d);
  std::size_t n = put(out, kAddressOpen);
  n += put(out + n, i);
  out[n++] = kAddressTagEnd;
  n += put(out + n, text.substr(0, kAddressTextLength));
  n += put(out + n, kAddressClose);
  n += put(out + n, i);
  out[n++] = kAddressTagEnd;
  return n;
}

void append_address_element(std::string& out, std::uint32_t index, const AddressBytes& bytes) {
  const std::array<char, kAddressTextLength> text = address_text(bytes);
  char element[kMaxAddressElement];
  out.append(element,
             write_address_element(index, std::string_view(text.data(), text.size()), element));
}

}  // namespace zavro
