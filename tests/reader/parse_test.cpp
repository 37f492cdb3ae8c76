#include <gtest/gtest.h>

#include <string>

#include "reader/reader.hpp"
#include "record/record.hpp"
#include "support/records.hpp"

namespace zavro::reader {
namespace {

const std::string kAddress0 = "<M0>3C:EC:EF:12:34:56</M0>";

std::string sub_elements(unsigned count) {
  std::string out;
  for (unsigned i = 0; i < count; ++i) {
    const std::string m = std::to_string(i);
    out.append("<M").append(m).append(">3C:EC:EF:12:34:56</M").append(m).append(">");
  }
  return out;
}

struct SplitRow {
  const char* what;
  std::array<std::string, kKeyCount> values;
  Status status;
  std::uint64_t splits;
};

TEST(Split, ValueRulesAndCounting) {
  const std::string sep2 = "</MachineName><ProcessorCount>";
  const std::string sep5 = "</BiosSerial><MotherboardSerial>";
  const std::string eighteen = sub_elements(18);  // 484 bytes
  const SplitRow rows[] = {
      {"Cpuid of 3", {"1A2", "h", "1", "", "s", "b"}, Status::kOk, 1},
      {"Cpuid of 2", {"1A", "h", "1", "", "s", "b"}, Status::kMalformed, 0},
      {"Cpuid of 21", {std::string(21, 'F'), "h", "1", "", "s", "b"}, Status::kOk, 1},
      {"Cpuid of 22", {std::string(22, 'F'), "h", "1", "", "s", "b"}, Status::kMalformed, 0},
      {"lower-case Cpuid", {"1a2", "h", "1", "", "s", "b"}, Status::kMalformed, 0},
      {"empty count", {"1A2", "h", "", "", "s", "b"}, Status::kMalformed, 0},
      {"count with a letter", {"1A2", "h", "1a", "", "s", "b"}, Status::kMalformed, 0},
      {"name of 511", {"1A2", std::string(511, 'n'), "1", "", "s", "b"}, Status::kOk, 1},
      {"name of 512", {"1A2", std::string(512, 'n'), "1", "", "s", "b"}, Status::kMalformed, 0},
      {"serial of 512", {"1A2", "h", "1", "", "s", std::string(512, 'b')}, Status::kMalformed, 0},
      {"18 whole adapters", {"1A2", "h", "1", eighteen, "s", "b"}, Status::kOk, 1},
      {"the 511-byte cut",
       {"1A2", "h", "1", eighteen + "<M18>3C:EC:EF:12:34:56</M18", "s", "b"},
       Status::kOk,
       1},
      {"a cut shorter than 511",
       {"1A2", "h", "1", eighteen + "<M18>3C:EC:EF", "s", "b"},
       Status::kMalformed,
       0},
      {"leading zero in an index",
       {"1A2", "h", "1", "<M00>3C:EC:EF:12:34:56</M00>", "s", "b"},
       Status::kMalformed,
       0},
      {"lower-case address",
       {"1A2", "h", "1", "<M0>3c:ec:ef:12:34:56</M0>", "s", "b"},
       Status::kMalformed,
       0},
      {"a serial holding its separator once",
       {"1A2", "h", "1", kAddress0, "x" + sep5 + "y", "z"},
       Status::kAmbiguous,
       2},
      {"twice", {"1A2", "h", "1", kAddress0, "x" + sep5 + sep5 + "y", "z"}, Status::kAmbiguous, 3},
      // The name's two readings times the serial's two.
      {"name and serial",
       {"1A2", "a" + sep2 + "2</ProcessorCount><MacAddresses></MacAddresses><BiosSerial>q", "8",
        kAddress0, "x" + sep5 + "y", "z"},
       Status::kAmbiguous,
       4},
  };
  for (const SplitRow& row : rows) {
    SCOPED_TRACE(row.what);
    const Parsed parsed = parse(record_from_values(row.values));
    EXPECT_EQ(parsed.status, row.status) << parsed.error;
    EXPECT_EQ(parsed.splits, row.splits);
    if (row.status != Status::kOk) continue;
    for (std::size_t k = 0; k < kKeyCount; ++k) {
      EXPECT_EQ(parsed.value(static_cast<Key>(k)), row.values[k]);
    }
  }
}

struct MalformedRow {
  std::string bytes;
  std::size_t offset;
  const char* error_part;
};

TEST(Malformed, OffsetIsWhereTheLongestReadablePrefixEnds) {
  const std::string good = record_from_values({"1A2", "h", "1", kAddress0, "s", "b"});
  const std::size_t macs = good.find("<M0>");
  const MalformedRow rows[] = {
      {"", 0, "content ends early"},
      {"<Node><Cpuix>", 11, "<Node><Cpuid>"},
      {"<Node><Cpuid>" + std::string(30, 'A') + "</Cpuid>", 34, "at most 21"},
      {"<Node><Cpuid>1A2</Cpuid><MachineName>h</MachineName><ProcessorCount>x", 68, "digit"},
      // A free value with no separator in reach runs to 511 bytes.
      {"<Node><Cpuid>1A2</Cpuid><MachineName>" + std::string(600, 'n'), 37 + 511, "MachineName"},
      // The name's separator is found, so the error is after it, not at the end.
      {good.substr(0, macs + 2) + "1" + good.substr(macs + 3), macs + 2, "<M0>"},
      {good.substr(0, good.size() - 1), good.size() - 1, "content ends early"},
      {good + std::string(4000, 'x'), good.size(), "after </Node>"},
      // Encodings: offsets into the file's bytes.
      {"\xEF\xBB\xBF<N\x80", 5, "invalid UTF-8"},
      {"\xEF\xBB\xBF<\xC0\xBC", 4, "invalid UTF-8"},
      {"\xEF\xBB\xBF<\xED\xA0\x80", 4, "invalid UTF-8"},
      {"\xEF\xBB\xBF<\xC4\x80", 4, "U+0100"},
      {std::string("\xFF\xFE<\0N", 5), 4, "odd number"},
      {std::string("\xFF\xFE<\0\x00\xD8N\0", 8), 4, "unpaired surrogate"},
      {std::string("\xFF\xFE<\0\x00\xDCN\0", 8), 4, "unpaired surrogate"},
      {std::string("\xFE\xFF\0<\xD8\x3D\xDE\x00", 8), 4, "U+1F600"},
      // Errors after decoding still count the file's bytes: a BOM, two bytes
      // per UTF-16 unit or UTF-8 byte above 0x7F, the CR of each CR LF.
      {std::string("\xFF\xFE<\0N\0o\0x\0", 10), 8, "<Node><Cpuid>"},
      {"\xEF\xBB\xBF<Node><Cpuid>1A2</Cpuid><MachineName>\xC3\xA9</MachineName><ProcessorCount>x",
       3 + 68 + 1, "digit"},
      {"<Node><Cpuid>1A2</Cpuid><MachineName>a\r\nb</MachineName><ProcessorCount>x", 68 + 3,
       "digit"},
  };
  for (const MalformedRow& row : rows) {
    SCOPED_TRACE(row.bytes.substr(0, 40));
    const Parsed parsed = parse(row.bytes);
    EXPECT_EQ(parsed.status, Status::kMalformed);
    EXPECT_EQ(parsed.offset, row.offset) << parsed.error;
    EXPECT_NE(parsed.error.find(row.error_part), std::string::npos) << parsed.error;
  }
}

TEST(TextMode, FoldsOnlyWhenEveryLineFeedFollowsACarriageReturn) {
  const struct {
    std::string name;
    bool text_mode;
    std::string value;
  } rows[] = {
      {"a\r\nb", true, "a\nb"},
      {"a\r\r\nb", true, "a\r\nb"},  // a carriage return of the value stays
      {"a\r\nb\nc", false, "a\r\nb\nc"},
      {"a\rb", false, "a\rb"},
  };
  for (const auto& row : rows) {
    const Parsed parsed = parse(record_from_values({"1A2", row.name, "1", "", "s", "b"}));
    ASSERT_EQ(parsed.status, Status::kOk) << parsed.error;
    EXPECT_EQ(parsed.text_mode, row.text_mode);
    EXPECT_EQ(parsed.value(Key::kMachineName), row.value);
  }
}

}  // namespace
}  // namespace zavro::reader
