// The wide-to-narrow conversion of serial numbers: at most 511 bytes, no zero
// byte, each byte the value of its code unit, ended by the first null unit or
// the first unit above 0xFF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "collectors/firmware_serial_wmi.hpp"
#include "fuzz/fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char16_t> units(size / 2);
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));

  const std::string narrow = zavro::narrow_classic(units.data(), units.size());

  ZAVRO_FUZZ_CHECK(narrow.size() <= zavro::kSerialMaxBytes);
  ZAVRO_FUZZ_CHECK(narrow.find('\0') == std::string::npos);
  for (std::size_t i = 0; i < narrow.size(); ++i)
    ZAVRO_FUZZ_CHECK(static_cast<unsigned char>(narrow[i]) == units[i]);
  // It stops only at the cap, the end, or a unit with no byte of its own.
  if (narrow.size() < zavro::kSerialMaxBytes && narrow.size() < units.size())
    ZAVRO_FUZZ_CHECK(units[narrow.size()] == 0 || units[narrow.size()] > 0xFF);
  // A count shorter than the units is honoured.
  const std::size_t half = units.size() / 2;
  ZAVRO_FUZZ_CHECK(zavro::narrow_classic(units.data(), half) == narrow.substr(0, half));
  return 0;
}
