#include "reader/output.hpp"

#include <gtest/gtest.h>

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reader/rules.hpp"
#include "support/records.hpp"

namespace zavro::reader {
namespace {

// Ordered, so a test sees the order the reader printed.
using Json = nlohmann::ordered_json;

struct Values {
  std::string cpuid = "178BFBFFB00F21513";
  std::string name = "host-a";
  std::string count = "2";
  std::string addresses = "<M0>00:1B:21:3A:4F:10</M0><M1>08:00:27:5E:11:02</M1>";
  std::string bios = "PF2ABCDE";
  std::string board = "L1HF65E00X9";
};

std::string record(const Values& v) {
  const std::array<std::string, kKeyCount> values = {v.cpuid,     v.name, v.count,
                                                     v.addresses, v.bios, v.board};
  return record_from_values(values);
}

// A JSON string back to bytes, as a receiver does by encoding it to Latin-1.
std::string latin1_of(const std::string& utf8) {
  std::string bytes;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      bytes += utf8[i];
    } else {
      bytes += static_cast<char>(((lead & 0x03) << 6) | (utf8[++i] & 0x3F));
    }
  }
  return bytes;
}

// Only printable ASCII and line breaks.
bool terminal_clean(const std::string& text) {
  for (const char c : text) {
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
  }
  return true;
}

TEST(TerminalSafe, OnlyPrintableAsciiPassesAsIs) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"O.E.M. 1", "O.E.M. 1"},
      {"\r\n\x1B[31m", "\\x0d\\x0a\\x1b[31m"},
      {std::string("\0", 1), "\\x00"},
      {"\x7F\x80\x9B\xFF", "\\x7f\\x80\\x9b\\xff"},
      {"\\x41", "\\\\x41"},  // a literal escape is not mistaken for a byte
  };
  for (const auto& c : cases) EXPECT_EQ(terminal_safe(c.bytes), c.text) << c.text;
}

TEST(Classify, CheckLineNamesTheCondition) {
  Values warned;
  warned.bios = "";
  Values ambiguous;
  ambiguous.bios = "A</BiosSerial><MotherboardSerial>B";
  const struct {
    FileReport report;
    Condition condition;
  } rows[] = {
      {report_of("f", record(Values{})), Condition::kOk},
      {report_of("f", record(warned)), Condition::kWarning},
      {report_of("f", record(ambiguous)), Condition::kAmbiguous},
      {report_of("f", "<Node>"), Condition::kMalformed},
      {unreadable_report("f", "gone"), Condition::kUnreadable},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(classify(row.report), row.condition) << name_of(row.condition);
    const std::string prefix = std::string("f: ") + name_of(row.condition);
    EXPECT_EQ(check_line(row.report).substr(0, prefix.size()), prefix);
  }
}

TEST(ShowJson, OkRecordPrintsEveryFieldInRecordOrder) {
  Values values;
  values.bios = "To be filled by O.E.M.";
  Json json = Json::parse(show_json(report_of("a.txt", record(values))));
  ASSERT_EQ(json["warnings"].size(), 1u);
  EXPECT_EQ(json["warnings"][0]["field"], "BiosSerial");
  json.erase("warnings");
  EXPECT_EQ(json, Json::parse(R"({"schema":1,"file":"a.txt","status":"ok","encoding":"bytes",
    "text_mode":false,"fields":{
    "Cpuid":{"raw":"178BFBFFB00F21513","edx":"178BFBFF","eax":"B00F21","revision":513,
             "family":26,"model":2,"stepping":1},
    "MachineName":{"raw":"host-a"},
    "ProcessorCount":{"raw":"2","count":2},
    "MacAddresses":{"raw":"<M0>00:1B:21:3A:4F:10</M0><M1>08:00:27:5E:11:02</M1>","addresses":[
      {"index":0,"address":"00:1B:21:3A:4F:10","local":false,"multicast":false,"zero":false,
       "virtual":null,"usable":true},
      {"index":1,"address":"08:00:27:5E:11:02","local":false,"multicast":false,"zero":false,
       "virtual":"VirtualBox","usable":false}]},
    "BiosSerial":{"raw":"To be filled by O.E.M.","state":"placeholder"},
    "MotherboardSerial":{"raw":"L1HF65E00X9","state":"value"}}})"));

  values.name = std::string(kMaxValue, 'n');
  const Json fields = Json::parse(show_json(report_of("a.txt", record(values))))["fields"];
  EXPECT_EQ(fields["MachineName"]["cut"], true);
  EXPECT_FALSE(fields["BiosSerial"].contains("cut"));
}

TEST(ShowJson, RawValuesGiveBackTheExactBytes) {
  // All 256 bytes in order: no "</" among them, 0x2F comes before 0x3C.
  Values values;
  for (int b = 0; b < 256; ++b) values.name += static_cast<char>(b);
  values.bios = "\xE9\xE8\x1B";
  const std::string line = show_json(report_of("a.txt", record(values)));
  EXPECT_TRUE(terminal_clean(line)) << "JSON is ASCII only";
  const Json json = Json::parse(line);
  ASSERT_EQ(json["status"], "ok");
  EXPECT_EQ(latin1_of(json["fields"]["MachineName"]["raw"]), values.name);
  EXPECT_EQ(latin1_of(json["fields"]["BiosSerial"]["raw"]), values.bios);
}

TEST(Compare, PrintsVerdictComponentsAndEvidence) {
  Comparison comparison;
  comparison.verdict = Verdict::kPossibleClone;
  comparison.components[static_cast<std::size_t>(Key::kBiosSerial)] = {Agreement::kMatch,
                                                                       "both \x1B[31mX\xE9"};
  comparison.components[static_cast<std::size_t>(Key::kMacAddresses)] = {Agreement::kConflict,
                                                                         "none in common"};
  const FileReport a = report_of("a\x07.txt", record(Values{}));
  const FileReport b = report_of("b.txt", record(Values{}));

  const std::string line = compare_json(a, b, comparison);
  EXPECT_TRUE(terminal_clean(line));
  const Json json = Json::parse(line);
  EXPECT_EQ(json["rules"], kRulesVersion);
  EXPECT_EQ(json["verdict"], "possible-clone");
  EXPECT_EQ(json["components"], Json::parse(R"({"Cpuid":"unusable","MachineName":"unusable",
    "ProcessorCount":"unusable","MacAddresses":"conflict","BiosSerial":"match",
    "MotherboardSerial":"unusable"})"));
  EXPECT_EQ(latin1_of(json["evidence"]["BiosSerial"]), "both \x1B[31mX\xE9");

  const std::string text = compare_text(a, b, comparison);
  EXPECT_TRUE(terminal_clean(text)) << text;
  EXPECT_NE(text.find("a\\x07.txt"), std::string::npos) << text;
  EXPECT_NE(text.find("both \\x1b[31mX\\xe9"), std::string::npos) << text;
}

}  // namespace
}  // namespace zavro::reader
