#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "collectors/machine_name.hpp"

namespace zavro {
namespace {

// Restores COMPUTERNAME after each case.
class MachineNameWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* v = std::getenv("COMPUTERNAME");
    had_ = v != nullptr;
    if (had_) saved_ = v;
  }
  void TearDown() override { _putenv_s("COMPUTERNAME", had_ ? saved_.c_str() : ""); }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST_F(MachineNameWindows, UnsetGivesTheEmptyTextWithNoFallback) {
  ASSERT_EQ(_putenv_s("COMPUTERNAME", ""), 0);  // an empty value removes the variable
  ASSERT_EQ(std::getenv("COMPUTERNAME"), nullptr);
  EXPECT_EQ(machine_name(), "");
}

TEST_F(MachineNameWindows, ValueComesBackUnchanged) {
  ASSERT_EQ(_putenv_s("COMPUTERNAME", " low%s er \t"), 0);
  EXPECT_EQ(machine_name(), " low%s er \t");
  const std::string long_name(700, 'N');
  ASSERT_EQ(_putenv_s("COMPUTERNAME", long_name.c_str()), 0);
  EXPECT_EQ(machine_name(), long_name);
}

}  // namespace
}  // namespace zavro
