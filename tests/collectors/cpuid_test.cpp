#include "collectors/cpuid.hpp"

#include <gtest/gtest.h>

namespace zavro {
namespace {

TEST(CpuidText, DigitsAreUnpaddedUpperCaseAndRevisionDecimal) {
  EXPECT_EQ(format_cpuid(0x1F, 0x2A, 26), "1F2A26");
  EXPECT_EQ(format_cpuid(0, 0, 0), "000");
  EXPECT_EQ(format_cpuid(0xFFFFFFFF, 0xFFFFFFFF, 65535), "FFFFFFFFFFFFFFFF65535");
  EXPECT_EQ(format_cpuid(0xABCDEF, 0xA, 1), "ABCDEFA1");
}

TEST(CpuidText, PiecesAreNotDelimited) {
  EXPECT_EQ(format_cpuid(0x1, 0x23, 0), format_cpuid(0x12, 0x3, 0));
}

TEST(CpuidText, RevisionWithTopBitSetStaysPositive) {
  EXPECT_EQ(format_cpuid(1, 2, 32768), "1232768");
  EXPECT_EQ(format_cpuid(1, 2, 0x8001), "1232769");
}

TEST(Revision, ComesFromExtendedModelModelAndStepping) {
  EXPECT_EQ(revision_from_eax(0x00A10F11), 0x1101);
  EXPECT_EQ(revision_from_eax(0x00A10F11), 4353);
  // Family and extended family bits take no part.
  EXPECT_EQ(revision_from_eax(0x0FF00F00 | 0x000906EA), 0x9E0A);
  EXPECT_EQ(revision_from_eax(0x00B00F21), 0x0201);
}

TEST(Cpuid, ThisMachineGivesAWellFormedValue) {
  const std::string value = cpuid();
  EXPECT_GE(value.size(), 3u);
  EXPECT_LE(value.size(), 21u);
  EXPECT_EQ(value.find_first_not_of("0123456789ABCDEF"), std::string::npos) << value;
}

}  // namespace
}  // namespace zavro
