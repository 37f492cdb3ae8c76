// Text mode: every line feed gains a carriage return before it and no other
// byte changes, so dropping exactly those carriage returns gives the input back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.hpp"
#include "report/report_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = zavro::to_text_mode(bytes);

  const auto feeds = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
  ZAVRO_FUZZ_CHECK(text.size() == bytes.size() + feeds);
  std::string back;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ZAVRO_FUZZ_CHECK(i > 0 && text[i - 1] == '\r');
      back.pop_back();
    }
    back.push_back(text[i]);
  }
  ZAVRO_FUZZ_CHECK(back == bytes);
  return 0;
}
