#include "reader/read.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace zavro::reader {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Every record fits: at most 3,247 bytes, four times that as UTF-16 in text
// mode. Larger files go on in a heap buffer.
constexpr std::size_t kFirstRead = std::size_t{16} * 1024;

// Reads up to limit bytes into out; false on a read error.
bool read_up_to(std::FILE* stream, std::size_t limit, std::string& out) {
  std::size_t size = out.size();
  while (size < limit) {
    out.resize(std::min(limit, std::max(size * 2, kFirstRead)));
    const std::size_t got = std::fread(&out[size], 1, out.size() - size, stream);
    size += got;
    if (size < out.size()) break;
  }
  out.resize(size);
  return std::ferror(stream) == 0;
}

}  // namespace

FileReport unreadable_report(std::string file, std::string reason) {
  FileReport report;
  report.file = std::move(file);
  report.unreadable = std::move(reason);
  return report;
}

FileReport report_of(std::string file, std::string_view bytes) {
  FileReport report;
  report.file = std::move(file);
  report.parsed = parse(bytes);
  if (report.parsed.status == Status::kOk) report.decoded = decode(report.parsed);
  return report;
}

FileReport read_report(const std::string& file, FileOpener open) {
  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* stream = stdin;
  if (file != "-") {
    errno = 0;
    owned.reset(open(file));
    if (!owned) return unreadable_report(file, std::strerror(errno));
    stream = owned.get();
    // Reads go straight into our buffer: no stdio buffer to allocate, and no
    // fstat to size it.
    std::setvbuf(stream, nullptr, _IONBF, 0);
  }
  // One byte past the limit tells a file that is too large from one that fits.
  char first[kFirstRead];
  errno = 0;
  const std::size_t size = std::fread(first, 1, sizeof first, stream);
  std::string rest;
  bool ok = std::ferror(stream) == 0;
  if (ok && size == sizeof first) {
    rest.assign(first, size);
    ok = read_up_to(stream, kMaxFileSize + 1, rest);
  }
  if (!ok) return unreadable_report(file, std::string("read error: ") + std::strerror(errno));
  const std::string_view bytes = size < sizeof first ? std::string_view(first, size) : rest;
  if (bytes.size() > kMaxFileSize) {
    return unreadable_report(file, "larger than " + std::to_string(kMaxFileSize) + " bytes");
  }
  return report_of(file, bytes);
}

Condition classify(const FileReport& report) {
  if (report.unreadable) return Condition::kUnreadable;
  switch (report.parsed.status) {
    case Status::kMalformed:
      return Condition::kMalformed;
    case Status::kAmbiguous:
      return Condition::kAmbiguous;
    case Status::kOk:
      break;
  }
  if (report.decoded && !report.decoded->warnings.empty()) return Condition::kWarning;
  return report.decoded ? Condition::kOk : Condition::kMalformed;
}

std::string problem_of(const FileReport& report) {
  const Parsed& parsed = report.parsed;
  switch (classify(report)) {
    case Condition::kUnreadable:
      return "unreadable: " + report.unreadable.value_or("");
    case Condition::kMalformed:
      return "malformed: " + parsed.error + " at byte " + std::to_string(parsed.offset);
    case Condition::kAmbiguous:
      return "ambiguous: " + std::to_string(parsed.splits) + " splits";
    case Condition::kOk:
    case Condition::kWarning:
      break;
  }
  return {};
}

const char* name_of(Condition condition) {
  switch (condition) {
    case Condition::kOk:
      return "ok";
    case Condition::kWarning:
      return "warning";
    case Condition::kAmbiguous:
      return "ambiguous";
    case Condition::kMalformed:
      return "malformed";
    case Condition::kUnreadable:
      return "unreadable";
  }
  return "?";
}

}  // namespace zavro::reader
