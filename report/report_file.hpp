// The report file on the user's desktop.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zavro {

inline constexpr const char* kReportName = "ZAVRO_system_info.txt";

// Replaces the report with record, atomically: the earlier report stays whole
// unless the new one is complete on disk. False when it could not be written;
// exhausted memory raises std::bad_alloc, never once a temporary file exists.
bool write_report(const std::string& record);

// Text-mode form of bytes on Windows: each line feed becomes CR LF.
std::string to_text_mode(const std::string& bytes);

// Linux: the desktop directory after the xdg-user-dirs convention, the first
// existing directory of: user-dirs.dirs, XDG_DESKTOP_DIR, ~/Desktop; else home.
// getenv is injected so tests control the environment; is_dir tells whether a
// path is an existing directory. Empty when there is no absolute home.
std::string desktop_directory(const std::function<const char*(const char*)>& getenv,
                              const std::function<bool(const std::string&)>& is_dir);

// The XDG_DESKTOP_DIR line of a user-dirs.dirs file, "$HOME" substituted;
// nothing when the file sets none.
std::optional<std::string> desktop_from_user_dirs(const std::string& content,
                                                  const std::string& home);

}  // namespace zavro
