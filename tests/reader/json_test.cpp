// JsonLine against nlohmann's dump(-1, ' ', true, replace): the output that
// came before it, byte for byte.
#include "reader/json.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "reader/output.hpp"

namespace zavro::reader {
namespace {

std::string dump(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

TEST(JsonLine, Latin1MatchesNlohmannForEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    JsonLine line;
    EXPECT_EQ(line.latin1(byte).str(), dump(latin1_to_utf8(byte))) << "byte " << b;
  }
}

TEST(JsonLine, TextMatchesNlohmannForNamesThatAreNotUtf8) {
  const char* const names[] = {
      "plain.rec",
      "tab\there \"quoted\" back\\slash \x01\x1F\x7F",
      "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80",  // valid: U+00E9, U+65E5, U+1F600
      "\xFF\xFE lone bytes",
      "\xC0\xAF overlong",
      "\xED\xA0\x80 surrogate",
      "\xF4\x90\x80\x80 above U+10FFFF",
      "cut at the end \xE6\x97",
      "\xC3 then ASCII",
      "\x80\x80\x80",
      "\xE0\x80\x80 \xF0\x8F\xBF\xBF overlong",
      "\xF4\x8F\xBF\xBF \xEF\xBF\xBF \xED\x9F\xBF \xC2\x80 edges that are valid",
      "\xE6\x97\x41 \xF0\x9F\x98\x41 broken by ASCII",
      "ends inside a sequence \xF0\x9F\x98",
  };
  for (const char* name : names) {
    JsonLine line;
    EXPECT_EQ(line.text(name).str(), dump(std::string(name))) << name;
  }
}

TEST(JsonLine, TextMatchesNlohmannForEveryPairOfBytesAfterALeadByte) {
  for (int lead = 0x80; lead < 0x100; ++lead) {
    for (int next = 0; next < 0x100; ++next) {
      const std::string name = {'x', static_cast<char>(lead), static_cast<char>(next), '\x8F'};
      JsonLine line;
      ASSERT_EQ(line.text(name).str(), dump(name)) << lead << " " << next;
    }
  }
}

TEST(JsonLine, StructureAndNumbersMatchNlohmann) {
  JsonLine line;
  line.begin_object();
  line.key("max").number(std::numeric_limits<std::uint64_t>::max());
  line.key("min").number(std::numeric_limits<std::int64_t>::min());
  line.key("list").begin_array().number(0).boolean(true).null().begin_object().end_object();
  line.begin_array().end_array().begin_object().key("x").number(-1).end_object().end_array();
  line.key("empty").begin_object().end_object();
  line.end_object();

  nlohmann::ordered_json json;
  json["max"] = std::numeric_limits<std::uint64_t>::max();
  json["min"] = std::numeric_limits<std::int64_t>::min();
  json["list"] = {
      0,          true, nullptr, nlohmann::ordered_json::object(), nlohmann::ordered_json::array(),
      {{"x", -1}}};
  json["empty"] = nlohmann::ordered_json::object();
  EXPECT_EQ(line.str(), dump(json));
}

}  // namespace
}  // namespace zavro::reader
