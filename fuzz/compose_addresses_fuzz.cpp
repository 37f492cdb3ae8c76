// Address composition: one "<Mi>XX:XX:XX:XX:XX:XX</Mi>" per address, in order,
// 24 characters plus twice the digits of i each, and the bytes read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "collectors/mac_addresses.hpp"
#include "fuzz/fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<zavro::MacBytes> addresses(size / 6);
  for (std::size_t i = 0; i < addresses.size(); ++i)
    for (std::size_t b = 0; b < 6; ++b) addresses[i][b] = data[6 * i + b];

  const std::string text = zavro::compose_addresses(addresses);

  std::size_t expected = 0;
  for (std::size_t i = 0; i < addresses.size(); ++i) expected += 24 + 2 * std::to_string(i).size();
  ZAVRO_FUZZ_CHECK(text.size() == expected);

  std::size_t pos = 0;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::string index = std::to_string(i);
    const std::string open = "<M" + index + ">";
    ZAVRO_FUZZ_CHECK(text.compare(pos, open.size(), open) == 0);
    pos += open.size();
    for (std::size_t b = 0; b < 6; ++b) {
      const std::string pair = text.substr(pos + 3 * b, 2);
      ZAVRO_FUZZ_CHECK(pair.find_first_not_of("0123456789ABCDEF") == std::string::npos);
      ZAVRO_FUZZ_CHECK(std::strtoul(pair.c_str(), nullptr, 16) == addresses[i][b]);
      if (b < 5) ZAVRO_FUZZ_CHECK(text[pos + 3 * b + 2] == ':');
    }
    pos += 17;
    const std::string close = "</M" + index + ">";
    ZAVRO_FUZZ_CHECK(text.compare(pos, close.size(), close) == 0);
    pos += close.size();
  }
  ZAVRO_FUZZ_CHECK(pos == text.size());
  return 0;
}
