// Keys, value buffers, elements and the record layout of the report.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace zavro {

// The six record keys in record order.
enum class Key {
  kCpuid,
  kMachineName,
  kProcessorCount,
  kMacAddresses,
  kBiosSerial,
  kMotherboardSerial
};
inline constexpr std::size_t kKeyCount = 6;
inline constexpr std::array<const char*, kKeyCount> kKeyNames = {
    "Cpuid", "MachineName", "ProcessorCount", "MacAddresses", "BiosSerial", "MotherboardSerial"};
inline constexpr const char* kRootKey = "Node";

// Name of a key as it appears in its tags.
const char* key_name(Key key);

// A fixed 512-byte buffer that keeps at most 511 characters of one value.
struct ValueBuffer {
  static constexpr std::size_t kSize = 512;
  std::array<char, kSize> bytes{};
};

// Copies `returned` up to its first zero character, at most 511 characters,
// into `buffer` and returns the text the buffer then holds.
std::string pass_through_buffer(const std::string& returned, ValueBuffer& buffer);

// "<key>value</key>", with nothing escaped.
std::string element(const std::string& value, const std::string& key);

// The record: the first four elements joined, then the last two joined, all
// wrapped in the root element.
std::string record_of(std::string first_four, const std::string& last_two);

// The same from all six elements in key order.
std::string record_of(const std::array<std::string, kKeyCount>& elements);

}  // namespace zavro
