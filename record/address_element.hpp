// One adapter address in the MacAddresses value: "<Mi>XX:XX:XX:XX:XX:XX</Mi>",
// i the adapter's position from 0, XX upper-case hex. The writer builds it
// and the reader takes it apart from this one definition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zavro {

using AddressBytes = std::array<std::uint8_t, 6>;

// The tags: open "<M" i ">", close "</M" i ">".
inline constexpr std::string_view kAddressOpen = "<M";
inline constexpr std::string_view kAddressClose = "</M";
inline constexpr char kAddressTagEnd = '>';
// "XX:XX:XX:XX:XX:XX"
inline constexpr std::size_t kAddressTextLength = 17;
// An index of at most 10 digits (32 bits).
inline constexpr std::size_t kMaxIndexDigits = 10;

// Where the address text starts in an element whose index has this many
// digits, and the element's whole length.
constexpr std::size_t address_text_offset(std::size_t index_digits) {
  return kAddressOpen.size() + index_digits + 1;
}
constexpr std::size_t address_element_length(std::size_t index_digits) {
  return address_text_offset(index_digits) + kAddressTextLength + kAddressClose.size() +
         index_digits + 1;
}
inline constexpr std::size_t kMaxAddressElement = address_element_length(kMaxIndexDigits);

// The 17 characters of an address.
std::array<char, kAddressTextLength> address_text(const AddressBytes& bytes);
// The bytes of 17 characters in that form; false when they are not.
bool address_bytes(std::string_view text, AddressBytes& bytes);

// Writes the element of this index around a 17-character text into out
// (kMaxAddressElement bytes) and returns its length.
std::size_t write_address_element(std::uint32_t index, std::string_view text, char* out);
// Appends the element of this index and address.
void append_address_element(std::string& out, std::uint32_t index, const AddressBytes& bytes);

}  // namespace zavro
