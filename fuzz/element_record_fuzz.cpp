// Elements and the record: every byte of a value or key passes unchanged, and
// the lengths follow the layout (value + 2 * key + 5; 181 + values for a record).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/report_driver.hpp"
#include "fuzz/fuzz_check.hpp"
#include "record/record.hpp"

namespace {

void check_element(const std::string& value, const std::string& key) {
  const std::string e = zavro::element(value, key);
  ZAVRO_FUZZ_CHECK(e.size() == value.size() + 2 * key.size() + 5);
  ZAVRO_FUZZ_CHECK(e.compare(0, key.size() + 2, "<" + key + ">") == 0);
  ZAVRO_FUZZ_CHECK(e.compare(key.size() + 2, value.size(), value) == 0);
  ZAVRO_FUZZ_CHECK(e.compare(key.size() + 2 + value.size(), std::string::npos, "</" + key + ">") ==
                   0);
}

std::size_t value_length(const std::string& returned) {
  return std::min({returned.size(), returned.find('\0'), std::size_t{511}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string key = input.ConsumeRandomLengthString(64);
  std::array<std::string, zavro::kKeyCount> values;
  for (std::string& v : values) v = input.ConsumeRandomLengthString(1200);

  check_element(values[0], key);

  // The record built from arbitrary elements wraps them, joined, in Node.
  std::array<std::string, zavro::kKeyCount> elements;
  std::string joined;
  for (std::size_t i = 0; i < zavro::kKeyCount; ++i) {
    elements[i] = zavro::element(values[i], zavro::kKeyNames[i]);
    joined += elements[i];
  }
  const std::string record = zavro::record_of(elements[0] + elements[1] + elements[2] + elements[3],
                                              elements[4] + elements[5]);
  ZAVRO_FUZZ_CHECK(record == "<Node>" + joined + "</Node>");

  // The driver with collectors that return the fuzz texts: each value cut at
  // its first zero character and at 511 characters, 181 bytes of tags around.
  std::size_t next = 0;
  const auto returns = [&values, &next] { return values[next++]; };
  const zavro::Collectors collectors{returns, returns, returns, returns,
                                     [&returns](const char*) { return returns(); }};
  const std::string collected = zavro::collect_record(collectors);
  std::size_t expected = 181;
  std::string expected_record = "<Node>";
  for (std::size_t i = 0; i < zavro::kKeyCount; ++i) {
    expected += value_length(values[i]);
    expected_record +=
        zavro::element(values[i].substr(0, value_length(values[i])), zavro::kKeyNames[i]);
  }
  expected_record += "</Node>";
  ZAVRO_FUZZ_CHECK(collected.size() == expected);
  ZAVRO_FUZZ_CHECK(collected == expected_record);
  return 0;
}
