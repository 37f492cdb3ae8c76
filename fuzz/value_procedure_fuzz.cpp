// The value buffer: any returned text becomes its prefix up to the first zero
// character, at most 511 characters, with the buffer terminated behind it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.hpp"
#include "record/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string returned(reinterpret_cast<const char*>(data), size);
  // One buffer for all inputs, as in the tool: a short value must not keep
  // bytes of a longer one before it.
  static zavro::ValueBuffer buffer;
  const std::string value = zavro::pass_through_buffer(returned, buffer);

  const std::size_t zero = returned.find('\0');
  const std::size_t expected =
      std::min(zero == std::string::npos ? returned.size() : zero, zavro::ValueBuffer::kSize - 1);
  ZAVRO_FUZZ_CHECK(value.size() == expected);
  ZAVRO_FUZZ_CHECK(value.size() <= 511);
  ZAVRO_FUZZ_CHECK(returned.compare(0, value.size(), value) == 0);
  ZAVRO_FUZZ_CHECK(value.find('\0') == std::string::npos);
  ZAVRO_FUZZ_CHECK(buffer.bytes[value.size()] == '\0');
  ZAVRO_FUZZ_CHECK(std::strlen(buffer.bytes.data()) == value.size());
  return 0;
}
