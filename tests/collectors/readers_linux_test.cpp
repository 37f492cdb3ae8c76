// The Linux readers against trees laid out like /sys.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "collectors/firmware_serial.hpp"
#include "collectors/mac_addresses.hpp"
#include "collectors/machine_name.hpp"
#include "support/temp_dir.hpp"

namespace zavro {
namespace {

using testing::TempDir;

class SysfsNet : public ::testing::Test {
 protected:
  void add(const std::string& name, int index, const std::string& flags,
           const std::string& address) {
    tree.write(name + "/ifindex", std::to_string(index) + "\n");
    tree.write(name + "/flags", flags + "\n");
    tree.write(name + "/address", address + "\n");
  }
  TempDir tree;
};

TEST_F(SysfsNet, InterfaceIndexOrderWithoutLoopback) {
  add("wlan0", 3, "0x1003", "0a:0b:0c:0d:0e:0f");
  add("lo", 1, "0x9", "00:00:00:00:00:00");
  add("eth0", 2, "0x1003", "52:54:00:12:34:56");
  add("eth10", 10, "0x1002", "52:54:00:12:34:56");
  EXPECT_EQ(compose_addresses(read_sysfs_addresses(tree.path())),
            "<M0>52:54:00:12:34:56</M0><M1>0A:0B:0C:0D:0E:0F</M1><M2>52:54:00:12:34:56</M2>");
}

TEST_F(SysfsNet, ShortLongAndMissingAddresses) {
  add("tun0", 4, "0x1091", "");
  add("ib0", 5, "0x1003", "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0a:bc:de");
  add("odd", 6, "0x1003", "12:34");
  tree.write("noaddr/ifindex", "7\n");
  const auto found = read_sysfs_addresses(tree.path());
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0], MacBytes{});
  EXPECT_EQ(found[1], (MacBytes{0x80, 0x00, 0x02, 0x08, 0xFE, 0x80}));
  EXPECT_EQ(found[2], (MacBytes{0x12, 0x34, 0, 0, 0, 0}));
  EXPECT_EQ(found[3], MacBytes{});
}

TEST_F(SysfsNet, NoTreeOrStrayEntriesGiveNothing) {
  EXPECT_TRUE(read_sysfs_addresses(tree / "missing").empty());
  tree.write("bonding_masters", "\n");
  tree.write("broken/address", "11:22:33:44:55:66\n");
  EXPECT_TRUE(read_sysfs_addresses(tree.path()).empty());
}

class DmiTree : public ::testing::Test {
 protected:
  TempDir tree;
};

TEST_F(DmiTree, QueriesMapToTheirFilesWithoutRegardToCase) {
  tree.write("product_serial", "SYS-123 \n");
  tree.write("board_serial", "BRD\xE9\t\n\n");
  EXPECT_EQ(read_dmi_serial(tree.path(), kBiosQuery), "SYS-123 ");
  EXPECT_EQ(read_dmi_serial(tree.path(), "select * from WIN32_BIOS"), "SYS-123 ");
  EXPECT_EQ(read_dmi_serial(tree.path(), kBaseboardQuery), "BRD\xE9\t\n");
  EXPECT_EQ(read_dmi_serial(tree.path(), "SELECT * FROM Win32_Processor"), "not found");
  EXPECT_EQ(read_dmi_serial(tree.path(), ""), "not found");
}

TEST_F(DmiTree, MissingOrUnreadableGivesNotFoundAndEmptyStaysEmpty) {
  EXPECT_EQ(read_dmi_serial(tree / "none", kBiosQuery), "not found");
  std::filesystem::create_directories(tree / "board_serial");  // read() fails with EISDIR
  EXPECT_EQ(read_dmi_serial(tree.path(), kBaseboardQuery), "not found");
  tree.write("product_serial", "");
  EXPECT_EQ(read_dmi_serial(tree.path(), kBiosQuery), "");
}

TEST_F(DmiTree, PermissionDeniedGivesNotFound) {
  tree.write("product_serial", "SECRET\n");
  std::filesystem::permissions(tree / "product_serial", std::filesystem::perms::owner_write);
  if (geteuid() != 0) {
    EXPECT_EQ(read_dmi_serial(tree.path(), kBiosQuery), "not found");
    return;
  }
  // Root reads anything: read as an unprivileged user in a child instead.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(read_dmi_serial(tree.path(), kBiosQuery) == "not found" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class ComputerName : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("COMPUTERNAME")) saved_ = v;
  }
  void TearDown() override {
    if (saved_) {
      setenv("COMPUTERNAME", saved_->c_str(), 1);
    } else {
      unsetenv("COMPUTERNAME");
    }
  }
  std::optional<std::string> saved_;
};

TEST_F(ComputerName, SetValueIsTakenVerbatimEvenWhenEmpty) {
  setenv("COMPUTERNAME", " low%s%n Case ", 1);
  EXPECT_EQ(machine_name(), " low%s%n Case ");
  setenv("COMPUTERNAME", "", 1);
  EXPECT_EQ(machine_name(), "");
  const std::string long_name(600, 'h');
  setenv("COMPUTERNAME", long_name.c_str(), 1);
  EXPECT_EQ(machine_name(), long_name);
}

TEST_F(ComputerName, UnsetFallsBackToTheKernelHostName) {
  unsetenv("COMPUTERNAME");
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(machine_name(), host);
}

}  // namespace
}  // namespace zavro
