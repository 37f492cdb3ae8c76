#include <gtest/gtest.h>

#include <string>

#include "reader/reader.hpp"
#include "record/record.hpp"
#include "support/records.hpp"

namespace zavro::reader {
namespace {

struct Machine {
  std::string cpuid = "178BFBFFA20F128450";
  std::string name = "build-01";
  std::string count = "16";
  std::string macs = "<M0>3C:EC:EF:12:34:56</M0><M1>02:42:AC:11:00:02</M1>";
  std::string bios = "PF3ABCDE";
  std::string board = "L1HF2AB03CD";
};

Parsed parsed_of(const Machine& m) {
  const std::array<std::string, kKeyCount> values = {m.cpuid, m.name, m.count,
                                                     m.macs,  m.bios, m.board};
  return parse(record_from_values(values));
}

Machine with(void (*change)(Machine&)) {
  Machine m;
  change(m);
  return m;
}

Machine vm() {
  Machine m;
  m.name = "vm-1";
  m.macs = "<M0>00:50:56:01:02:03</M0>";
  m.bios = "VMware-56 4d 01 02";
  m.board = "None";
  return m;
}

// No serials; its own adapter and a USB one (00:E0:4C) carried from desk to desk.
Machine desk(const char* name, const char* own) {
  Machine m;
  m.name = name;
  m.macs = std::string("<M0>A4:BB:6D:00:00:") + own + "</M0><M1>00:E0:4C:00:00:09</M1>";
  m.bios = m.board = "";
  return m;
}

struct PairRow {
  const char* what;
  Machine a, b;
  Verdict verdict;
  const char* agreements;  // Cpuid, MachineName, ProcessorCount, MacAddresses, BiosSerial, Board
};

TEST(Compare, VerdictsOfRulesVersion2) {
  const Machine base;
  const PairRow rows[] = {
      {"the same record", base, base, Verdict::kSame, "MMMMMM"},
      {"serials trimmed and case-blind, new adapter, other EDX, renamed upper-case", base,
       with([](Machine& m) {
         m.cpuid = "178BF3FFA20F128450";
         m.name = "BUILD-01";
         m.macs = "<M0>3C:EC:EF:99:99:99</M0>";
         m.bios = " pf3abcde ";
       }),
       Verdict::kLikelySame, "MMMCMM"},
      {"one strong match and every weak one",
       with([](Machine& m) { m.bios = m.board = "Default string"; }),
       with([](Machine& m) { m.bios = m.board = "not found"; }), Verdict::kSame, "MMMMUU"},
      {"one strong match, another count",
       with([](Machine& m) { m.bios = m.board = "Default string"; }), with([](Machine& m) {
         m.bios = m.board = "";
         m.count = "32";
       }),
       Verdict::kLikelySame, "MMCMUU"},
      {"one serial in common; the other, the adapters and the name differ", base,
       with([](Machine& m) {
         m.name = "clone-7";
         m.macs = "<M0>3C:EC:EF:77:77:77</M0>";
         m.board = "L9XX";
       }),
       Verdict::kDifferent, "MCMCMC"},
      {"another machine", base, with([](Machine& m) {
         m.cpuid = "BFEBFBFFC06F252994";
         m.name = "desk";
         m.macs = "<M0>A4:BB:6D:12:34:56</M0>";
         m.bios = "CZC1";
         m.board = "MB-1";
       }),
       Verdict::kDifferent, "CCMCCC"},
      {"a board replaced: one match, one conflict, the name kept", base, with([](Machine& m) {
         m.board = "L9XX";
         m.macs = "<M0>52:54:00:12:34:56</M0>";
       }),
       Verdict::kLikelySame, "MMMUMC"},
      {"one match, one conflict, another name", base, with([](Machine& m) {
         m.name = "desk";
         m.board = "L9XX";
         m.macs = "<M0>52:54:00:12:34:56</M0>";
       }),
       Verdict::kDifferent, "MCMUMC"},
      {"empty names and no CPUID still agree, as weak components", with([](Machine& m) {
         m.cpuid = "000";
         m.name = "";
         m.bios = m.board = "0";
       }),
       with([](Machine& m) {
         m.cpuid = "000";
         m.name = "";
         m.bios = m.board = "None";
       }),
       Verdict::kSame, "MMMMUU"},
      {"a new adapter and a new name", base, with([](Machine& m) {
         m.name = "build-02";
         m.macs = "<M0>3C:EC:EF:77:77:77</M0>";
       }),
       Verdict::kLikelySame, "MCMCMM"},
      {"a copied virtual machine: serial kept, its own adapter", vm(), with([](Machine& m) {
         m = vm();
         m.macs = "<M0>00:50:56:0A:0B:0C</M0>";
       }),
       Verdict::kPossibleClone, "MMMCMU"},
      {"a copy beside a physical adapter is no virtual machine", vm(), with([](Machine& m) {
         m = vm();
         m.macs = "<M0>00:50:56:0A:0B:0C</M0><M1>3C:EC:EF:12:34:56</M1>";
       }),
       Verdict::kLikelySame, "MMMCMU"},
      {"a virtual machine again, placeholder serials, found by its adapter", with([](Machine& m) {
         m.bios = m.board = "0";
         m.macs = "<M0>08:00:27:01:02:03</M0>";
       }),
       with([](Machine& m) {
         m.bios = m.board = "0";
         m.macs = "<M0>08:00:27:01:02:03</M0>";
       }),
       Verdict::kSame, "MMMMUU"},
      {"a dongle between desks: one adapter shared, each its own, names differ",
       desk("desk-a", "01"), desk("desk-b", "02"), Verdict::kDifferent, "MCMMUU"},
      {"the same, names empty", desk("", "01"), desk("", "02"), Verdict::kDifferent, "MMMMUU"},
      {"the same, one name: an adapter replaced", desk("desk-a", "01"), desk("desk-a", "02"),
       Verdict::kSame, "MMMMUU"},
      {"nothing strong to compare", with([](Machine& m) {
         m.bios = "0";
         m.macs = "<M0>52:54:00:12:34:56</M0>";
       }),
       with([](Machine& m) { m.board = "None"; }), Verdict::kIndeterminate, "MMMUUU"},
  };
  for (const PairRow& row : rows) {
    SCOPED_TRACE(row.what);
    const Parsed a = parsed_of(row.a);
    const Parsed b = parsed_of(row.b);
    ASSERT_EQ(a.status, Status::kOk);
    ASSERT_EQ(b.status, Status::kOk);
    const Comparison c = compare(a, decode(a), b, decode(b));
    EXPECT_STREQ(name_of(c.verdict), name_of(row.verdict));
    std::string agreements;
    for (const Component& component : c.components) {
      agreements += "MCU"[static_cast<int>(component.agreement)];
      EXPECT_FALSE(component.evidence.empty());
    }
    EXPECT_EQ(agreements, row.agreements);
  }
}

}  // namespace
}  // namespace zavro::reader
