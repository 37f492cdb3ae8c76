// An independent statement of the split rules, for tests and fuzzers to check
// parse from outside.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "reader/reader.hpp"
#include "record/record.hpp"

namespace zavro::reader {
namespace split_check_detail {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_upper_hex(char c) { return is_digit(c) || (c >= 'A' && c <= 'F'); }

// The tool's adapter layout: "<Mi>XX:XX:XX:XX:XX:XX</Mi>" from i = 0; only a
// value the buffer cut (511 bytes) may end inside a sub-element.
inline bool is_address_list(std::string_view value) {
  std::size_t at = 0;
  for (unsigned index = 0; at < value.size(); ++index) {
    const std::string i = std::to_string(index);
    std::string expected = "<M";
    expected.append(i).append(">XX:XX:XX:XX:XX:XX</M").append(i).append(">");
    const std::size_t n = std::min(value.size() - at, expected.size());
    for (std::size_t k = 0; k < n; ++k) {
      const bool hex = expected[k] == 'X' && k > 2 + i.size();
      if (hex ? !is_upper_hex(value[at + k]) : value[at + k] != expected[k]) return false;
    }
    if (n < expected.size() && value.size() != kMaxValue) return false;
    at += n;
  }
  return true;
}

}  // namespace split_check_detail

// Whether `content` (decoded, CR LF folded) reads as a record whose six values
// have these lengths, under the rules by which parse counts a split.
inline bool is_split(std::string_view content, const std::array<std::size_t, kKeyCount>& lengths) {
  const std::string root = std::string("<") + kRootKey + ">";
  if (content.substr(0, root.size()) != root) return false;
  std::size_t at = root.size();
  std::array<std::string_view, kKeyCount> values;
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    const std::string open = std::string("<") + kKeyNames[k] + ">";
    const std::string close = std::string("</") + kKeyNames[k] + ">";
    if (lengths[k] > kMaxValue || content.substr(at, open.size()) != open) return false;
    at += open.size();
    if (content.size() - at < lengths[k]) return false;
    values[k] = content.substr(at, lengths[k]);
    at += lengths[k];
    if (content.substr(at, close.size()) != close) return false;
    at += close.size();
  }
  if (content.substr(at) != std::string("</") + kRootKey + ">") return false;

  const std::string_view cpuid = values[static_cast<std::size_t>(Key::kCpuid)];
  const std::string_view count = values[static_cast<std::size_t>(Key::kProcessorCount)];
  return cpuid.size() >= 3 && cpuid.size() <= 21 &&
         std::all_of(cpuid.begin(), cpuid.end(), split_check_detail::is_upper_hex) &&
         !count.empty() && std::all_of(count.begin(), count.end(), split_check_detail::is_digit) &&
         split_check_detail::is_address_list(values[static_cast<std::size_t>(Key::kMacAddresses)]);
}

}  // namespace zavro::reader
