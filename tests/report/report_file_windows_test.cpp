#include "report/report_file_windows.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "report/report_file.hpp"

namespace zavro {
namespace {

namespace fs = std::filesystem;

// A fresh directory under the Windows temporary directory, removed afterwards.
class WinTempDir {
 public:
  WinTempDir() {
    wchar_t base[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, base) == 0) std::abort();
    for (unsigned n = GetCurrentProcessId();; ++n) {
      path_ = fs::path(base) / (L"zw" + std::to_wstring(n % 100000));
      if (CreateDirectoryW(path_.c_str(), nullptr)) break;
      if (GetLastError() != ERROR_ALREADY_EXISTS) std::abort();
    }
  }
  ~WinTempDir() {
    std::error_code ignored;
    for (const auto& e : fs::recursive_directory_iterator(path_, ignored))
      SetFileAttributesW(e.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(path_, ignored);
  }
  WinTempDir(const WinTempDir&) = delete;
  WinTempDir& operator=(const WinTempDir&) = delete;
  std::wstring path() const { return path_.wstring(); }

 private:
  fs::path path_;
};

std::string read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

std::set<std::wstring> names_in(const std::wstring& dir) {
  std::set<std::wstring> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().wstring());
  return names;
}

// A directory of exactly `length` characters below base, made of nested parts.
std::wstring directory_of_length(const std::wstring& base, std::size_t length) {
  CreateDirectoryW(base.c_str(), nullptr);
  std::wstring dir = base;
  while (dir.size() < length) {
    const std::size_t part = std::min<std::size_t>(length - dir.size() - 1, 100);
    dir += L"\\" + std::wstring(part, L'd');
    if (!CreateDirectoryW(dir.c_str(), nullptr)) ADD_FAILURE() << "cannot make " << dir.size();
  }
  return dir;
}

const std::wstring kName = L"ZAVRO_system_info.txt";
const std::string kRecord = "<Node><Cpuid>1</Cpuid></Node>";
const std::string kEarlier(4000, 'E');

TEST(ReportPath, NameAndTerminatorMustFitIn260) {
  EXPECT_EQ(report_path_in(L"C:\\Users\\u\\Desktop"), L"C:\\Users\\u\\Desktop\\" + kName);
  const std::wstring at_limit = L"C:" + std::wstring(235, L'x');
  ASSERT_EQ(at_limit.size(), 237u);
  ASSERT_TRUE(report_path_in(at_limit).has_value());
  EXPECT_EQ(report_path_in(at_limit)->size(), 259u);
  EXPECT_FALSE(report_path_in(at_limit + L"x").has_value());
  // An empty directory would put the report at the root of the current drive.
  EXPECT_FALSE(report_path_in(L"").has_value());
}

class ReportWriter : public ::testing::Test {
 protected:
  WinTempDir temp;
  std::wstring dir = temp.path();
  fs::path report = fs::path(dir) / kName;
};

// The failures, also run under the faults label (the Fault* filter).
class FaultReportWriter : public ReportWriter {};

TEST_F(ReportWriter, TextModeTurnsOnlyLineFeedsIntoCrLf) {
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte.push_back(static_cast<char>(c));
  const std::string record = "<Node>" + every_byte + "\n\r\n</Node>";
  ASSERT_TRUE(write_report_in(dir, record));
  std::string expected = "<Node>";
  for (int c = 1; c < 256; ++c) {
    if (c == '\n') expected += '\r';
    expected += static_cast<char>(c);
  }
  expected += "\r\n\r\r\n</Node>";
  EXPECT_EQ(read_bytes(report), expected);
  EXPECT_EQ(names_in(dir), std::set<std::wstring>{kName});
}

TEST_F(ReportWriter, ReplacesALongerReportWhole) {
  write_bytes(report, kEarlier);
  ASSERT_TRUE(write_report_in(dir, kRecord));
  EXPECT_EQ(read_bytes(report), kRecord);
  ASSERT_TRUE(write_report_in(dir, "<Node></Node>"));
  EXPECT_EQ(read_bytes(report), "<Node></Node>");
  EXPECT_EQ(names_in(dir), std::set<std::wstring>{kName});
}

TEST_F(FaultReportWriter, ReadOnlyReportStaysIntact) {
  write_bytes(report, kEarlier);
  ASSERT_TRUE(SetFileAttributesW(report.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(write_report_in(dir, kRecord));
  EXPECT_EQ(read_bytes(report), kEarlier);
  EXPECT_EQ(names_in(dir), std::set<std::wstring>{kName});
}

TEST_F(FaultReportWriter, DirectoryInPlaceOfTheReport) {
  ASSERT_TRUE(CreateDirectoryW(report.c_str(), nullptr));
  write_bytes(report / "inside", "kept");
  EXPECT_FALSE(write_report_in(dir, kRecord));
  EXPECT_EQ(read_bytes(report / "inside"), "kept");
  EXPECT_EQ(names_in(dir), std::set<std::wstring>{kName});
}

TEST_F(FaultReportWriter, ReportHeldOpenWithoutSharing) {
  write_bytes(report, kEarlier);
  const HANDLE held = CreateFileW(report.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(write_report_in(dir, kRecord));
  CloseHandle(held);
  EXPECT_EQ(read_bytes(report), kEarlier);
  EXPECT_EQ(names_in(dir), std::set<std::wstring>{kName});
  // Once released, the same report is replaced.
  EXPECT_TRUE(write_report_in(dir, kRecord));
  EXPECT_EQ(read_bytes(report), kRecord);
}

TEST_F(FaultReportWriter, MissingDirectory) {
  EXPECT_FALSE(write_report_in(dir + L"\\absent", kRecord));
  EXPECT_FALSE(fs::exists(fs::path(dir) / L"absent"));
}

TEST_F(ReportWriter, DirectoryOf237CharactersFitsAnd238DoNot) {
  const std::wstring at_limit = directory_of_length(dir, kMaxReportDirectory);
  ASSERT_EQ(at_limit.size(), 237u);
  ASSERT_TRUE(write_report_in(at_limit, kRecord));
  EXPECT_EQ(read_bytes(fs::path(at_limit) / kName), kRecord);
  EXPECT_EQ(names_in(at_limit), std::set<std::wstring>{kName});

  const std::wstring over = directory_of_length(dir + L"\\o", kMaxReportDirectory + 1);
  ASSERT_EQ(over.size(), 238u);
  EXPECT_FALSE(write_report_in(over, kRecord));
  EXPECT_TRUE(fs::is_empty(over));
}

}  // namespace
}  // namespace zavro
