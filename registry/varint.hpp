// Unsigned LEB128 integers: seven bits a byte, low first, the top bit set on
// every byte but the last. The registry's packed columns and chunks use them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zavro::registry {

inline void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

// Takes one from the front of in; false when in ends first or it runs past
// 64 bits.
inline bool take_varint(std::string_view& in, std::uint64_t& v) {
  v = 0;
  for (int shift = 0; shift < 64 && !in.empty(); shift += 7) {
    const auto b = static_cast<unsigned char>(in.front());
    in.remove_prefix(1);
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

inline std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

}  // namespace zavro::registry
