#include "support/split_check.hpp"

#include <gtest/gtest.h>

#include <string>

#include "reader/reader.hpp"
#include "support/records.hpp"

namespace zavro::reader {
namespace {

using Lengths = std::array<std::size_t, kKeyCount>;

Lengths lengths_of(const std::array<std::string, kKeyCount>& values) {
  Lengths out{};
  for (std::size_t k = 0; k < kKeyCount; ++k) out[k] = values[k].size();
  return out;
}

// Adapters 0..n-1 as the tool writes them, 26 or more bytes each.
std::string adapters(unsigned n) {
  std::string out;
  for (unsigned i = 0; i < n; ++i) {
    const std::string m = std::to_string(i);
    out.append("<M").append(m).append(">0A:1B:2C:3D:4E:5F</M").append(m).append(">");
  }
  return out;
}

struct Case {
  const char* name;
  std::array<std::string, kKeyCount> values;
  bool split;
};

TEST(SplitCheck, RulesTable) {
  const std::string cut = adapters(19).substr(0, kMaxValue);
  const Case cases[] = {
      {"plain", {"BFEBFBFF000906EA2314", "host", "8", adapters(2), "S1", "S2"}, true},
      {"empty free values", {"000", "", "1", "", "", ""}, true},
      {"cpuid too short", {"00", "h", "1", "", "", ""}, false},
      {"cpuid too long", {std::string(22, 'A'), "h", "1", "", "", ""}, false},
      {"cpuid lower case", {"abc", "h", "1", "", "", ""}, false},
      {"count empty", {"000", "h", "", "", "", ""}, false},
      {"count not decimal", {"000", "h", "8a", "", "", ""}, false},
      {"adapter lower case", {"000", "h", "1", "<M0>0a:1B:2C:3D:4E:5F</M0>", "", ""}, false},
      {"adapter out of sequence", {"000", "h", "1", "<M1>0A:1B:2C:3D:4E:5F</M1>", "", ""}, false},
      {"adapters cut at 511", {"000", "h", "1", cut, "", ""}, true},
      {"adapter cut short of 511", {"000", "h", "1", adapters(2).substr(0, 40), "", ""}, false},
      {"free value too long", {"000", std::string(512, 'x'), "1", "", "", ""}, false},
      {"free value of 511",
       {"000", std::string(511, '<'), "1", "", "", std::string(511, '/')},
       true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_split(record_from_values(c.values), lengths_of(c.values)), c.split) << c.name;
  }
}

TEST(SplitCheck, LengthsMustPlaceEveryTag) {
  // A name that holds the tags after it: only its true length splits.
  const std::array<std::string, kKeyCount> values = {
      "000", "a</MachineName><ProcessorCount>1</ProcessorCount><MacAddresses>", "2", "", "", ""};
  const std::string content = record_from_values(values);
  EXPECT_TRUE(is_split(content, lengths_of(values)));
  // The same bytes read with the name ending at its first "</MachineName>"
  // would put the rest in MacAddresses, which does not follow the layout.
  Lengths shorter = lengths_of(values);
  shorter[1] = 1;
  EXPECT_FALSE(is_split(content, shorter));
  Lengths wrong = lengths_of(values);
  wrong[5] = 1;
  EXPECT_FALSE(is_split(content, wrong));
  EXPECT_FALSE(is_split(content + " ", lengths_of(values)));
  EXPECT_FALSE(is_split(content.substr(0, content.size() - 1), lengths_of(values)));
}

}  // namespace
}  // namespace zavro::reader
