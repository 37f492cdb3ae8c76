// Writer to reader: six values of the kinds the tool writes, through its own
// value buffer, elements and record, must read back. The reader may find
// several splits, but the true one is always among them, and it is the only
// one when no free value holds "</" (the start of every tag that ends a value).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "collectors/mac_addresses.hpp"
#include "fuzz/fuzz_check.hpp"
#include "reader/reader.hpp"
#include "record/record.hpp"
#include "support/split_check.hpp"

namespace {

namespace rd = zavro::reader;
using zavro::Key;
using zavro::kKeyCount;

constexpr std::size_t kFreeValueMax = 600;  // past the 511-byte cut

std::size_t at(Key key) { return static_cast<std::size_t>(key); }

// What the reader sees of a record whose every line feed follows a carriage
// return: the Windows build's text mode, folded back. A record from the Linux
// build with such values reads the same way; the bytes cannot tell them apart.
bool folds(const std::string& record) {
  bool any = false;
  for (std::size_t i = record.find('\n'); i != std::string::npos; i = record.find('\n', i + 1)) {
    if (i == 0 || record[i - 1] != '\r') return false;
    any = true;
  }
  return any;
}

std::string folded(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    out += value[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::array<std::string, kKeyCount> returned;

  std::string& cpuid = returned[at(Key::kCpuid)];
  const std::size_t digits = input.ConsumeIntegralInRange<std::size_t>(3, 21);
  for (std::size_t i = 0; i < digits; ++i)
    cpuid += "0123456789ABCDEF"[input.ConsumeIntegral<std::uint8_t>() & 0xF];
  returned[at(Key::kProcessorCount)] = std::to_string(input.ConsumeIntegral<std::uint32_t>());
  std::vector<zavro::MacBytes> adapters(input.ConsumeIntegralInRange<std::size_t>(0, 40));
  for (zavro::MacBytes& a : adapters) {
    for (std::uint8_t& b : a) b = input.ConsumeIntegral<std::uint8_t>();
  }
  returned[at(Key::kMacAddresses)] = zavro::compose_addresses(adapters);
  for (Key free : {Key::kMachineName, Key::kBiosSerial, Key::kMotherboardSerial}) {
    returned[at(free)] = input.ConsumeRandomLengthString(kFreeValueMax);
  }

  std::array<std::string, kKeyCount> values;
  // As the tool joins them: the first four elements, then the two serials.
  std::string first_four;
  std::string last_two;
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    zavro::ValueBuffer buffer;
    values[k] = zavro::pass_through_buffer(returned[k], buffer);
    (k < 4 ? first_four : last_two) += zavro::element(values[k], zavro::kKeyNames[k]);
  }
  const std::string record = zavro::record_of(std::move(first_four), last_two);

  const rd::Parsed parsed = rd::parse(record);
  ZAVRO_FUZZ_CHECK(parsed.status != rd::Status::kMalformed);
  ZAVRO_FUZZ_CHECK(parsed.encoding == rd::Encoding::kBytes);
  ZAVRO_FUZZ_CHECK(parsed.text_mode == folds(record));

  std::array<std::size_t, kKeyCount> lengths{};
  bool tag_in_free_value = false;
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    if (parsed.text_mode) values[k] = folded(values[k]);
    lengths[k] = values[k].size();
    if (k != at(Key::kMacAddresses)) {
      tag_in_free_value = tag_in_free_value || values[k].find("</") != std::string::npos;
    }
  }
  ZAVRO_FUZZ_CHECK(rd::is_split(parsed.content, lengths));
  if (!tag_in_free_value) ZAVRO_FUZZ_CHECK(parsed.status == rd::Status::kOk);
  if (parsed.status == rd::Status::kOk) {
    for (std::size_t k = 0; k < kKeyCount; ++k) {
      ZAVRO_FUZZ_CHECK(parsed.value(static_cast<Key>(k)) == values[k]);
    }
  }
  return 0;
}
