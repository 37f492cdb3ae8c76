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

// Windows folds the extended model in for family 0xF, and for family 6 only
// on Intel and Centaur; the family bits themselves never appear.
TEST(Revision, FollowsTheFamilyAndVendorRule) {
  const struct {
    std::uint32_t eax;
    const char* vendor;
    std::uint16_t revision;
  } cases[] = {
      {0x000906EA, "GenuineIntel", 0x9E0A}, {0x00870F10, "AuthenticAMD", 0x7100},
      {0x00A20F12, "AuthenticAMD", 0x2102}, {0x000107B5, "CentaurHauls", 0x0B05},
      {0x000406F1, "AuthenticAMD", 0x0F01}, {0x000406F1, "GenuineIntel", 0x4F01},
      {0x000406F1, "CentaurHauls", 0x4F01}, {0x00B00F21, "", 0x0201},
      {0x0FF906EA, "GenuineIntel", 0x9E0A}, {0x000506E3, "GenuineIntelX", 0x0E03},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(revision_from_eax(c.eax, c.vendor), c.revision)
        << std::hex << c.eax << " " << c.vendor;
  }
}

TEST(Cpuid, ThisMachineGivesAWellFormedValue) {
  const std::string value = cpuid();
  EXPECT_GE(value.size(), 3u);
  EXPECT_LE(value.size(), 21u);
  EXPECT_EQ(value.find_first_not_of("0123456789ABCDEF"), std::string::npos) << value;
}

}  // namespace
}  // namespace zavro
