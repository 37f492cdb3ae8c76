// fleet-gen: writes a generated fleet's reports, in arrival order, as a .tar.gz
// or into a directory, and the truth (member name, machine; -1 for a broken
// report) as a tab-separated file.
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "registry/fleet.hpp"

namespace {

constexpr const char* kUsage =
    "usage: fleet-gen (--reports N | --machines M) [--per-machine K] [--seed S]\n"
    "                 --out FILE.tar.gz|DIRECTORY --truth FILE.tsv\n";

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "fleet-gen: " << message << "\n";
  std::exit(1);
}

class Archive {
 public:
  explicit Archive(const std::string& path) : archive_(archive_write_new()) {
    entry_ = archive_entry_new();
    if (archive_write_add_filter_gzip(archive_) != ARCHIVE_OK ||
        archive_write_set_format_pax_restricted(archive_) != ARCHIVE_OK) {
      fail(archive_error_string(archive_));
    }
    // Speed over size: the fleet is written once and read by a benchmark.
    archive_write_set_filter_option(archive_, "gzip", "compression-level", "1");
    if (archive_write_open_filename(archive_, path.c_str()) != ARCHIVE_OK) {
      fail(path + ": " + archive_error_string(archive_));
    }
  }
  ~Archive() {
    archive_entry_free(entry_);
    archive_write_free(archive_);
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  void add(const zavro::fleet::Report& report) {
    archive_entry_clear(entry_);
    archive_entry_set_pathname(entry_, report.name.c_str());
    archive_entry_set_size(entry_, static_cast<la_int64_t>(report.bytes.size()));
    archive_entry_set_filetype(entry_, AE_IFREG);
    archive_entry_set_perm(entry_, 0644);
    archive_entry_set_mtime(entry_, 1700000000, 0);
    if (archive_write_header(archive_, entry_) != ARCHIVE_OK ||
        archive_write_data(archive_, report.bytes.data(), report.bytes.size()) !=
            static_cast<la_ssize_t>(report.bytes.size())) {
      fail(report.name + ": " + archive_error_string(archive_));
    }
  }
  void close() {
    if (archive_write_close(archive_) != ARCHIVE_OK) fail(archive_error_string(archive_));
  }

 private:
  archive* archive_;
  archive_entry* entry_;
};

}  // namespace

int main(int argc, char** argv) {
  long long reports = -1;
  zavro::fleet::Params params;
  std::string out;
  std::string truth;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc) fail(std::string("missing value for ") + arg + "\n" + kUsage);
    const std::string value = argv[++i];
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value.c_str(), &end, 10);
    const bool numeric = errno == 0 && end != value.c_str() && *end == '\0' && number > 0;
    if (arg == "--out") {
      out = value;
    } else if (arg == "--truth") {
      truth = value;
    } else if (!numeric) {
      std::string message = "bad option or value: ";
      fail(message.append(arg).append(" ").append(value).append("\n").append(kUsage));
    } else if (arg == "--reports") {
      reports = number;
    } else if (arg == "--machines") {
      params.machines = static_cast<int>(number);
    } else if (arg == "--per-machine") {
      params.reports_per_machine = static_cast<int>(number);
    } else if (arg == "--seed") {
      params.seed = static_cast<std::uint64_t>(number);
    } else {
      fail("unknown option " + arg + "\n" + kUsage);
    }
  }
  if (out.empty() || truth.empty()) fail(std::string("--out and --truth are needed\n") + kUsage);
  // Re-sends and broken files come on top of the machines' own reports, so
  // enough machines for N reports and a stop at N.
  if (reports > 0) {
    params.machines = static_cast<int>(reports / params.reports_per_machine + 1);
  }

  const bool archive = ends_with(out, ".tar.gz") || ends_with(out, ".tgz");
  std::unique_ptr<Archive> writer;
  if (archive) {
    writer = std::make_unique<Archive>(out);
  } else {
    std::filesystem::create_directories(std::filesystem::path(out) / "reports");
  }
  std::ofstream truth_file(truth, std::ios::binary);
  if (!truth_file) fail(truth + ": cannot be written");

  zavro::fleet::Generator generator(params);
  zavro::fleet::Report report;
  long long written = 0;
  long long broken = 0;
  while ((reports < 0 || written < reports) && generator.next(report)) {
    if (writer) {
      writer->add(report);
    } else {
      std::ofstream file(std::filesystem::path(out) / report.name, std::ios::binary);
      file.write(report.bytes.data(), static_cast<std::streamsize>(report.bytes.size()));
      if (!file) fail(report.name + ": cannot be written");
    }
    truth_file << report.name << '\t' << report.truth_machine << '\n';
    ++written;
    if (report.truth_machine < 0) ++broken;
  }
  if (writer) writer->close();
  truth_file.close();
  if (!truth_file) fail(truth + ": cannot be written");
  std::cerr << "fleet-gen: " << written << " reports (" << broken << " broken) from "
            << generator.machines() << " machines, seed " << params.seed << "\n";
  return 0;
}
