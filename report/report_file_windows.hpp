// Windows: the report file in a given directory, so tests can choose it.
#pragma once

#include <optional>
#include <string>

namespace zavro {

// Room for the directory in a 260-character path with "\ZAVRO_system_info.txt"
// and the terminator.
inline constexpr std::size_t kMaxReportDirectory = 260 - 22 - 1;

// dir + "\ZAVRO_system_info.txt"; nothing when dir is empty or longer than
// kMaxReportDirectory.
std::optional<std::wstring> report_path_in(const std::wstring& dir);

// Replaces the report in dir with record in text mode: a temporary file beside
// it, flushed, then moved over it. False on any failure, and then the earlier
// report is untouched and no temporary file is left.
bool write_report_in(const std::wstring& dir, const std::string& record);

}  // namespace zavro
