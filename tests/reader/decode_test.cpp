#include <gtest/gtest.h>

#include <string>

#include "reader/reader.hpp"
#include "record/record.hpp"
#include "support/records.hpp"

namespace zavro::reader {
namespace {

Parsed parsed_record(const std::array<std::string, kKeyCount>& values) {
  Parsed parsed = parse(record_from_values(values));
  EXPECT_EQ(parsed.status, Status::kOk) << parsed.error;
  return parsed;
}

struct CpuidRow {
  const char* value;
  std::size_t candidates;
  unsigned family, model, stepping;  // when exactly one candidate
};

TEST(Cpuid, RealSignaturesLeaveOneSplit) {
  const CpuidRow rows[] = {
      // EAX 000C06F2 (family 6): Windows folds the extended model (0xCF02 = 52994)...
      {"BFEBFBFFC06F252994", 1, 6, 207, 2},
      // ...or not (0x0F02 = 3842), depending on the vendor, which the record lacks.
      {"BFEBFBFFC06F23842", 1, 6, 207, 2},
      {"178BFBFFA20F128450", 1, 25, 33, 2},  // EAX 00A20F12, revision 0x2102
      {"178BFBFFB00F21513", 1, 26, 2, 1},    // EAX 00B00F21, revision 0x0201
      {"BFEBFBFFF29521", 1, 15, 2, 9},       // EAX 00000F29: base family 0xF, no extension
      {"178BFBFFA20F128451", 0, 0, 0, 0},    // a revision no EAX here gives
      {"383FBFFA20F128450", 0, 0, 0, 0},     // EDX 0383FBFF, without SSE2
      {"178BFFFFA20F128450", 0, 0, 0, 0},    // EDX with reserved bit 10
      {"178BFBFF10A20F128450", 0, 0, 0, 0},  // EAX 10A20F12, reserved bit 28
  };
  for (const CpuidRow& row : rows) {
    SCOPED_TRACE(row.value);
    const CpuidField field = decode_cpuid(row.value);
    EXPECT_FALSE(field.absent);
    EXPECT_EQ(field.candidates, row.candidates);
    ASSERT_EQ(field.signature.has_value(), row.candidates == 1);
    if (!field.signature) continue;
    EXPECT_EQ(field.signature->family, row.family);
    EXPECT_EQ(field.signature->model, row.model);
    EXPECT_EQ(field.signature->stepping, row.stepping);
  }
  const CpuidField amd = decode_cpuid("178BFBFFA20F128450");
  ASSERT_TRUE(amd.signature);
  EXPECT_EQ(amd.signature->edx, 0x178BFBFFu);
  EXPECT_EQ(amd.signature->eax, 0x00A20F12u);
  EXPECT_EQ(amd.signature->revision, 8450);
  EXPECT_TRUE(decode_cpuid("000").absent);
}

TEST(Serial, StatesAndPlaceholders) {
  const struct {
    const char* value;
    SerialState state;
  } rows[] = {
      {"", SerialState::kEmpty},
      {"not found", SerialState::kNotFound},
      {"Not Found", SerialState::kValue},  // only the tool's own text
      {"To be filled by O.E.M.", SerialState::kPlaceholder},
      {"  to be filled by o.e.m ", SerialState::kPlaceholder},
      {"None", SerialState::kPlaceholder},
      {"0", SerialState::kPlaceholder},
      {"FFFFFFFF", SerialState::kPlaceholder},
      {" ........ ", SerialState::kPlaceholder},
      {"   ", SerialState::kPlaceholder},
      {"00000001", SerialState::kValue},
      {"Default string 2", SerialState::kValue},
      {"Default\tstring", SerialState::kValue},
      {"CZC1234XYZ", SerialState::kValue},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(serial_state(row.value), row.state) << '"' << row.value << '"';
  }
}

TEST(Addresses, FlagsAndVendors) {
  const struct {
    const char* text;
    const char* flags;  // what decoding finds, in words
  } rows[] = {
      {"3C:EC:EF:12:34:56", "usable"},     {"02:00:00:00:00:01", "local"},
      {"01:00:5E:00:00:FB", "multicast"},  {"00:00:00:00:00:00", "zero"},
      {"00:50:56:01:02:03", "VMware"},     {"02:42:AC:11:00:02", "local Docker"},
      {"08:00:27:AA:BB:CC", "VirtualBox"},
  };
  std::string macs;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const std::string m = std::to_string(i);
    macs.append("<M")
        .append(m)
        .append(">")
        .append(rows[i].text)
        .append("</M")
        .append(m)
        .append(">");
  }
  const Decoded d = decode(parsed_record({"1A2", "h", "1", macs, "s", "b"}));
  ASSERT_EQ(d.addresses.addresses.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Address& a = d.addresses.addresses[i];
    std::string flags = a.usable ? "usable" : "";
    for (const auto& [set, word] :
         {std::pair{a.local, "local"}, std::pair{a.multicast, "multicast"},
          std::pair{a.zero, "zero"}}) {
      if (set) flags += (flags.empty() ? "" : " ") + std::string(word);
    }
    if (a.virtual_vendor != nullptr)
      flags += (flags.empty() ? "" : " ") + std::string(a.virtual_vendor);
    EXPECT_EQ(a.index, i);
    EXPECT_EQ(a.text(), rows[i].text);
    EXPECT_EQ(flags, rows[i].flags) << a.text();
  }
  EXPECT_EQ(d.addresses.addresses[4].bytes, (std::array<std::uint8_t, 6>{0, 0x50, 0x56, 1, 2, 3}));
  EXPECT_FALSE(d.addresses.cut);
}

TEST(Warnings, CutAndControlCharactersPerValue) {
  // Every byte that is no control character, over 511 bytes.
  std::string printable;
  for (int b = 0x20; printable.size() < kMaxValue; b = b == 0xFF   ? 0x20
                                                       : b == 0x7E ? 0x80
                                                                   : b + 1) {
    printable += static_cast<char>(b);
  }
  const Decoded d = decode(parsed_record({"1A2", printable, "1", "<M0>3C:EC:EF:12:34:56</M0>",
                                          "BIOS\x7FSERIAL", "serial number \x01 of the board"}));
  std::vector<std::string> found;
  for (const Warning& w : d.warnings)
    found.push_back(std::string(key_name(w.field)) + ":" + name_of(w.code));
  // The Cpuid "1A2" is no real signature.
  EXPECT_EQ(found, (std::vector<std::string>{"Cpuid:cpuid-undecodable", "MachineName:cut",
                                             "BiosSerial:control-characters",
                                             "MotherboardSerial:control-characters"}));
  EXPECT_TRUE(d.cut[static_cast<std::size_t>(Key::kMachineName)]);
  EXPECT_FALSE(d.cut[static_cast<std::size_t>(Key::kBiosSerial)]);
}

}  // namespace
}  // namespace zavro::reader
