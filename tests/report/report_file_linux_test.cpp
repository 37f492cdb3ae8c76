#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "report/report_file.hpp"
#include "support/temp_dir.hpp"

namespace zavro {
namespace {

using testing::TempDir;

TEST(UserDirs, HomeIsSubstitutedAndTheLastLineWins) {
  const std::string home = "/home/ann";
  EXPECT_EQ(desktop_from_user_dirs("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", home),
            "/home/ann/Desktop");
  EXPECT_EQ(desktop_from_user_dirs("# XDG_DESKTOP_DIR=\"/nope\"\n"
                                   "XDG_DOWNLOAD_DIR=\"$HOME/dl\"\n"
                                   "  XDG_DESKTOP_DIR = \"/srv/desk top\"\n"
                                   "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n",
                                   home),
            "/home/ann/Schreibtisch");
  EXPECT_EQ(desktop_from_user_dirs("XDG_DESKTOP_DIR=\"$HOME\"", home), "/home/ann");
  EXPECT_EQ(desktop_from_user_dirs("XDG_DESKTOP_DIR=\"/a\\\"b\\\\c\"\n", home), "/a\"b\\c");
}

TEST(UserDirs, MalformedOrRelativeValuesAreIgnored) {
  const std::string home = "/h";
  EXPECT_FALSE(desktop_from_user_dirs("", home));
  EXPECT_FALSE(desktop_from_user_dirs("XDG_DESKTOP_DIR=$HOME/Desktop\n", home));
  EXPECT_FALSE(desktop_from_user_dirs("XDG_DESKTOP_DIR=\"Desktop\"\n", home));
  EXPECT_FALSE(desktop_from_user_dirs("XDG_DESKTOP_DIR=\"/unterminated\n", home));
  EXPECT_FALSE(desktop_from_user_dirs("XDG_DESKTOP_DIRX=\"/x\"\n", home));
  EXPECT_FALSE(desktop_from_user_dirs("XDG_DESKTOP_DIR=\"$HOMEX/d\"\n", home));
}

class Desktop : public ::testing::Test {
 protected:
  std::string desktop() {
    return desktop_directory(
        [this](const char* name) -> const char* {
          const auto it = env.find(name);
          return it == env.end() ? nullptr : it->second.c_str();
        },
        [this](const std::string& path) { return dirs.count(path) != 0; });
  }
  std::map<std::string, std::string> env;
  std::set<std::string> dirs;
};

TEST_F(Desktop, NoAbsoluteHomeMeansNoDesktop) {
  EXPECT_EQ(desktop(), "");
  env["XDG_DESKTOP_DIR"] = "/d";
  dirs = {"/d", "home", "home/Desktop"};
  for (const char* home : {"", "home"}) {
    env["HOME"] = home;
    EXPECT_EQ(desktop(), "") << home;
  }
}

// Each place is taken only when it names an existing directory, in the order
// user-dirs.dirs, XDG_DESKTOP_DIR, ~/Desktop, home.
TEST_F(Desktop, UserDirsThenEnvironmentThenHomeDesktopThenHome) {
  TempDir config;
  config.write(".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
  env["HOME"] = config.path();
  env["XDG_DESKTOP_DIR"] = "/from-env";
  const std::string all[] = {config / "Bureau", "/from-env", config / "Desktop"};
  dirs.insert(std::begin(all), std::end(all));
  for (const std::string& expected : all) {
    EXPECT_EQ(desktop(), expected);
    dirs.erase(expected);
  }
  EXPECT_EQ(desktop(), config.path());
}

TEST_F(Desktop, RelativeOrElsewhereConfiguredPlacesAreSkipped) {
  TempDir config;
  config.write(".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
  env["HOME"] = config.path();
  dirs = {config / "Bureau", "/from-env", config / "Desktop", "rel"};
  env["XDG_CONFIG_HOME"] = config / "elsewhere";  // has no user-dirs.dirs
  EXPECT_EQ(desktop(), config / "Desktop");
  env["XDG_DESKTOP_DIR"] = "rel";
  EXPECT_EQ(desktop(), config / "Desktop");
  env["XDG_DESKTOP_DIR"] = "/from-env";
  EXPECT_EQ(desktop(), "/from-env");
}

// write_report reads the real environment: point HOME at a fresh tree.
class ReportWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_DESKTOP_DIR", "XDG_CONFIG_HOME"}) {
      if (const char* v = std::getenv(name)) saved_[name] = v;
      unsetenv(name);
    }
    setenv("HOME", home.path().c_str(), 1);
    std::filesystem::create_directory(home / "Desktop");
  }
  void TearDown() override {
    for (const char* name : {"HOME", "XDG_DESKTOP_DIR", "XDG_CONFIG_HOME"}) unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  }
  std::string report() const { return home / "Desktop/ZAVRO_system_info.txt"; }
  std::string read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::size_t entries(const std::string& dir) const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                  std::filesystem::directory_iterator()));
  }
  TempDir home;
  std::map<std::string, std::string> saved_;
};

TEST_F(ReportWrite, ReplacesALongerReportWithExactlyTheRecord) {
  home.write("Desktop/ZAVRO_system_info.txt", std::string(5000, 'o'));
  chmod(report().c_str(), 0640);
  const std::string record = std::string("<Node>a\nb\r\n\0c</Node>", 20);
  ASSERT_TRUE(write_report(record));
  EXPECT_EQ(read(report()), record);
  EXPECT_EQ(entries(home / "Desktop"), 1u);
  struct stat st {};
  ASSERT_EQ(stat(report().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the earlier report's mode survives the replace
}

TEST_F(ReportWrite, DirectoryInThePlaceFailsAndLeavesNoTemporaryFile) {
  std::filesystem::create_directory(report());
  EXPECT_FALSE(write_report("<Node></Node>"));
  EXPECT_TRUE(std::filesystem::is_directory(report()));
  EXPECT_EQ(entries(home / "Desktop"), 1u);
}

TEST_F(ReportWrite, WithoutDesktopTheHomeDirectoryIsUsed) {
  std::filesystem::remove(home / "Desktop");
  ASSERT_TRUE(write_report("r"));
  EXPECT_EQ(read(home / "ZAVRO_system_info.txt"), "r");
}

TEST_F(ReportWrite, NoHomeFailsAndWritesNothing) {
  unsetenv("HOME");
  EXPECT_FALSE(write_report("r"));
  setenv("HOME", (home / "absent").c_str(), 1);
  EXPECT_FALSE(write_report("r"));
  EXPECT_EQ(entries(home.path()), 1u);
}

}  // namespace
}  // namespace zavro
