#include "report/report_file_windows.hpp"

#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cwchar>

#include "report/report_file.hpp"

namespace zavro {
namespace {

constexpr const wchar_t* kReportNameW = L"ZAVRO_system_info.txt";

// Closes the handle on every path.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  bool close() {
    if (!valid()) return true;
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

// A new, uniquely named file beside the report: "<dir>\ZAVRO_<8 hex>.tmp",
// short enough to fit wherever the report itself fits.
HANDLE create_temporary(const std::wstring& dir, std::wstring& name) {
  DWORD seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  for (int attempt = 0; attempt < 64; ++attempt, seed = seed * 1664525u + 1013904223u) {
    std::array<wchar_t, 16> unique{};
    std::swprintf(unique.data(), unique.size(), L"%08lX", static_cast<unsigned long>(seed));
    name = dir + L"\\ZAVRO_" + unique.data() + L".tmp";
    const HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

bool write_all(HANDLE file, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

// An earlier report we may not replace: read-only, a directory, or open
// elsewhere without delete sharing. Windows refuses such a move by itself;
// Wine moves over a read-only file, so we ask first.
bool replaceable(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) return false;
  Handle probe(CreateFileW(path.c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return probe.valid();
}

}  // namespace

std::optional<std::wstring> report_path_in(const std::wstring& dir) {
  if (dir.empty() || dir.size() > kMaxReportDirectory) return std::nullopt;
  return dir + L"\\" + kReportNameW;
}

// Every allocation comes before the temporary file is created, so a failed
// one (which the driver takes as a failed write) never leaves it behind.
bool write_report_in(const std::wstring& dir, const std::string& record) {
  const std::optional<std::wstring> path = report_path_in(dir);
  if (!path || !replaceable(*path)) return false;
  const std::string text = to_text_mode(record);
  std::wstring temp;
  Handle file(create_temporary(dir, temp));
  if (!file.valid()) return false;
  bool ok = write_all(file.get(), text) && FlushFileBuffers(file.get()) != 0;
  ok = file.close() && ok;
  ok = ok && MoveFileExW(temp.c_str(), path->c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

bool write_report(const std::string& record) {
  // The desktop as UTF-16, so a profile outside the ANSI code page still works;
  // never created, and a failed query is an error, not the drive's root.
  std::array<wchar_t, MAX_PATH> desktop{};
  if (SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT,
                       desktop.data()) != S_OK)
    return false;
  desktop.back() = L'\0';
  return write_report_in(desktop.data(), record);
}

}  // namespace zavro
