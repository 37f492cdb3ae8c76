// Getting a file's bytes and what they read as, and the one classification
// every command's line and exit status follow.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "reader/reader.hpp"

namespace zavro::reader {

// One file as the commands see it: unreadable (reason set), or read.
struct FileReport {
  std::string file;                       // as named on the command line ("-" for stdin)
  std::optional<std::string> unreadable;  // why the bytes could not be had
  Parsed parsed;
  std::optional<Decoded> decoded;  // kOk records only
};

// Opens a file for binary reading, or returns null with errno set.
using FileOpener = std::FILE* (*)(const std::string& file);

// Reads a file (or standard input for "-"), opened with open, and runs parse
// and decode. Refuses a file above kMaxFileSize without reading it whole.
FileReport read_report(const std::string& file, FileOpener open);
// The same for bytes already in memory.
FileReport report_of(std::string file, std::string_view bytes);
// A file whose bytes could not be had.
FileReport unreadable_report(std::string file, std::string reason);

// What a file is, worst first: unreadable, malformed, ambiguous, an ok record
// with warnings, an ok record.
enum class Condition { kOk, kWarning, kAmbiguous, kMalformed, kUnreadable };
Condition classify(const FileReport& report);
// Why a file is no record that can be used, as bytes: "unreadable: <reason>",
// "malformed: <error> at byte N" or "ambiguous: N splits"; empty otherwise.
std::string problem_of(const FileReport& report);
const char* name_of(Condition condition);

}  // namespace zavro::reader
