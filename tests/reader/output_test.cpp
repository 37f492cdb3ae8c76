#include "reader/output.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "reader/rules.hpp"

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
  std::array<std::string, kKeyCount> elements;
  for (std::size_t i = 0; i < kKeyCount; ++i) elements[i] = element(values[i], kKeyNames[i]);
  return record_of(elements);
}

// Every string of the JSON back to bytes, the way a receiver does it.
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

TEST(Latin1ToUtf8, EachByteBecomesItsCodePoint) {
  const struct {
    std::string bytes, utf8;
  } cases[] = {
      {"", ""},
      {"host-1", "host-1"},
      {"\x7F", "\x7F"},
      {"\x80", "\xC2\x80"},
      {"\xBF\xC0", "\xC2\xBF\xC3\x80"},
      {"M\xFCller", "M\xC3\xBCller"},
      {"\xFF", "\xC3\xBF"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(latin1_to_utf8(c.bytes), c.utf8) << c.bytes;
}

TEST(TerminalSafe, OnlyPrintableAsciiPassesAsIs) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"To be filled by O.E.M.", "To be filled by O.E.M."},
      {"a\\b", "a\\\\b"},
      {"\x1B[31mred", "\\x1b[31mred"},
      {"\r\n\t\a", "\\x0d\\x0a\\x09\\x07"},
      {std::string("\0", 1), "\\x00"},
      {"\x7F\x80\x9B\xFF", "\\x7f\\x80\\x9b\\xff"},
      {"\\x41", "\\\\x41"},  // a literal escape is not mistaken for a byte
  };
  for (const auto& c : cases) EXPECT_EQ(terminal_safe(c.bytes), c.text) << c.text;
}

TEST(ShowJson, OkRecordHasEveryFieldInRecordOrder) {
  Values values;
  values.bios = "To be filled by O.E.M.";
  const Json json = Json::parse(show_json(report_of("a.txt", record(values))));
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"schema", "file", "status", "encoding", "text_mode",
                                            "fields", "warnings"}));
  EXPECT_EQ(json["schema"], 1);
  EXPECT_EQ(json["status"], "ok");
  EXPECT_EQ(json["encoding"], "bytes");
  EXPECT_EQ(json["text_mode"], false);
  std::vector<std::string> fields;
  for (const auto& item : json["fields"].items()) fields.push_back(item.key());
  EXPECT_EQ(fields, std::vector<std::string>(kKeyNames.begin(), kKeyNames.end()));

  const Json& cpuid = json["fields"]["Cpuid"];
  EXPECT_EQ(cpuid["raw"], "178BFBFFB00F21513");
  EXPECT_EQ(cpuid["edx"], "178BFBFF");
  EXPECT_EQ(cpuid["eax"], "B00F21");
  EXPECT_EQ(cpuid["revision"], 513);
  EXPECT_EQ(cpuid["family"], 26);
  EXPECT_EQ(cpuid["model"], 2);
  EXPECT_EQ(cpuid["stepping"], 1);
  EXPECT_EQ(json["fields"]["ProcessorCount"]["count"], 2);
  EXPECT_EQ(json["fields"]["MacAddresses"]["addresses"], Json::parse(R"([
              {"index":0,"address":"00:1B:21:3A:4F:10","local":false,"multicast":false,
               "zero":false,"virtual":null,"usable":true},
              {"index":1,"address":"08:00:27:5E:11:02","local":false,"multicast":false,
               "zero":false,"virtual":"VirtualBox","usable":false}])"));
  EXPECT_EQ(json["fields"]["BiosSerial"]["state"], "placeholder");
  EXPECT_EQ(json["fields"]["MotherboardSerial"]["state"], "value");
  ASSERT_EQ(json["warnings"].size(), 1u);
  EXPECT_EQ(json["warnings"][0]["field"], "BiosSerial");
  for (const auto& field : json["fields"]) EXPECT_FALSE(field.contains("cut"));
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

TEST(ShowJson, CutValuesAreMarked) {
  Values values;
  values.name = std::string(kMaxValue, 'n');
  values.board = std::string(kMaxValue - 1, 'b');
  // The 19th adapter loses its final ">": a cut inside a sub-element.
  values.addresses.clear();
  for (int i = 0; i < 19; ++i) {
    values.addresses += "<M" + std::to_string(i) + ">00:1B:21:3A:4F:" + (i < 10 ? "0" : "") +
                        std::to_string(i) + "</M" + std::to_string(i) + ">";
  }
  values.addresses.resize(kMaxValue);
  const Json fields = Json::parse(show_json(report_of("a.txt", record(values))))["fields"];
  EXPECT_EQ(fields["MachineName"]["cut"], true);
  EXPECT_FALSE(fields["MotherboardSerial"].contains("cut"));
  EXPECT_EQ(fields["MacAddresses"]["cut"], true);
  EXPECT_EQ(fields["MacAddresses"]["addresses"].size(), 19u);
}

// What each kind of file prints, in JSON and as a check line.
TEST(Statuses, JsonKeysAndCheckLine) {
  Values placeholder;
  placeholder.board = "Default string";
  Values ambiguous;  // a serial holding the separator of the last two values
  ambiguous.bios = "A</BiosSerial><MotherboardSerial>B";
  FileReport missing;
  missing.file = "gone.txt";
  missing.unreadable = "No such file or directory";
  const struct {
    FileReport report;
    const char* status;
    std::vector<const char*> keys;  // present beside the common ones
    std::string check;
  } cases[] = {
      {report_of("ok.txt", record(Values{})), "ok", {"fields"}, "ok.txt: ok"},
      {report_of("p.txt", record(placeholder)),
       "ok",
       {"fields"},
       "p.txt: warning: MotherboardSerial: "},
      {report_of("amb.txt", record(ambiguous)), "ambiguous", {"splits"}, "amb.txt: ambiguous: 2"},
      {report_of("bad.txt", "<Node><Cpuid>zz"),
       "malformed",
       {"error", "offset"},
       "bad.txt: malformed: "},
      {missing, "unreadable", {"error"}, "gone.txt: unreadable: No such file or directory"},
  };
  for (const auto& c : cases) {
    const Json json = Json::parse(show_json(c.report));
    EXPECT_EQ(json["status"], c.status) << c.report.file;
    EXPECT_EQ(json["file"], c.report.file);
    for (const char* key : c.keys) EXPECT_TRUE(json.contains(key)) << c.report.file << " " << key;
    EXPECT_EQ(check_line(c.report).rfind(c.check, 0), 0u) << check_line(c.report);
    EXPECT_TRUE(terminal_clean(show_text(c.report)));
  }
  EXPECT_EQ(Json::parse(show_json(cases[2].report))["splits"], 2);
  const Json malformed = Json::parse(show_json(cases[3].report));
  EXPECT_EQ(check_line(cases[3].report),
            "bad.txt: malformed: " + malformed["error"].get<std::string>() + " at byte " +
                std::to_string(malformed["offset"].get<std::size_t>()));
}

TEST(ShowText, NoControlByteOfAValueOrFileNameReachesTheTerminal) {
  Values values;
  values.name =
      "\x1B]0;owned\x07\x9B"
      "31m\r\\";
  values.bios = "\x1B[2J";
  const FileReport report = report_of("evil\x1B[H.txt", record(values));
  for (const std::string& text : {show_text(report), check_line(report)}) {
    EXPECT_TRUE(terminal_clean(text)) << text;
    EXPECT_NE(text.find("evil\\x1b[H.txt"), std::string::npos) << text;
  }
  EXPECT_NE(show_text(report).find("\\x1b]0;owned\\x07\\x9b31m\\x0d\\\\"), std::string::npos);
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
  EXPECT_EQ(json["schema"], 1);
  EXPECT_EQ(json["rules"], kRulesVersion);
  EXPECT_EQ(json["verdict"], "possible-clone");
  EXPECT_EQ(json["components"].size(), kKeyCount);
  EXPECT_EQ(json["components"]["BiosSerial"], "match");
  EXPECT_EQ(json["components"]["MacAddresses"], "conflict");
  EXPECT_EQ(json["components"]["Cpuid"], "unusable");
  EXPECT_EQ(latin1_of(json["evidence"]["BiosSerial"]), "both \x1B[31mX\xE9");

  const std::string text = compare_text(a, b, comparison);
  EXPECT_TRUE(terminal_clean(text)) << text;
  EXPECT_NE(text.find("a\\x07.txt"), std::string::npos) << text;
  EXPECT_NE(text.find("both \\x1b[31mX\\xe9"), std::string::npos) << text;
}

TEST(ReadReport, RefusesFilesAboveTheLimitAndNamesMissingOnes) {
  const auto dir = std::filesystem::temp_directory_path() / "zavro-output-test";
  std::filesystem::create_directories(dir);
  const auto write = [&](const char* name, std::size_t size) {
    std::ofstream((dir / name).string(), std::ios::binary) << std::string(size, 'x');
    return (dir / name).string();
  };
  const struct {
    std::string file;
    std::string check_suffix;
  } cases[] = {
      {write("limit.txt", kMaxFileSize), "malformed: "},
      {write("over.txt", kMaxFileSize + 1), "unreadable: larger than 65536 bytes"},
      {write("far-over.txt", 4 * kMaxFileSize), "unreadable: larger than 65536 bytes"},
      {(dir / "absent.txt").string(), "unreadable: "},
  };
  for (const auto& c : cases) {
    const std::string line = check_line(read_report(c.file));
    EXPECT_EQ(line.rfind(terminal_safe(c.file) + ": " + c.check_suffix, 0), 0u) << line;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zavro::reader
