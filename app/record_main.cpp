// zavro-record: reads, checks and compares report files.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/binary_stdio.hpp"
#include "app/file_names.hpp"
#include "app/registry_commands.hpp"
#include "reader/output.hpp"
#include "reader/read.hpp"

namespace {

using zavro::reader::Condition;
using zavro::reader::FileReport;

constexpr int kUsageError = 2;

// show fails on a file that holds no record; check also on an ambiguous one,
// and with --strict on warnings.
bool show_fails(Condition condition) {
  return condition == Condition::kMalformed || condition == Condition::kUnreadable;
}
bool check_fails(Condition condition, bool strict) {
  return condition != Condition::kOk && (strict || condition != Condition::kWarning);
}

// Lines go out in blocks: a write per line cost show and check over many
// files more than reading them. A person typing a record on standard input
// first sees what came before it.
class Output {
 public:
  static constexpr std::size_t kBlock = std::size_t{64} * 1024;
  ~Output() { flush(); }
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void before(const std::string& file) {
    if (file == "-") flush();
  }
  void add(const std::string& text) {
    pending_ += text;
    if (pending_.size() >= kBlock) flush();
  }
  void flush() {
    std::cout.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
    pending_.clear();
  }

 private:
  std::string pending_;
};

// format(report, index, text) appends a file's lines and says whether the
// file fails the command.
using Format = std::function<bool(const FileReport&, std::size_t, std::string&)>;

// Every file through format, printed in order; 1 when any fails. One thread:
// reading many small files is mostly system calls, and a second thread
// opening files beside it measured slower on a busy machine.
int each_report(const std::vector<std::string>& files, const Format& format) {
  Output out;
  bool failed = false;
  std::string text;
  for (std::size_t i = 0; i < files.size(); ++i) {
    out.before(files[i]);
    const FileReport report = zavro::reader::read_report(files[i], zavro::open_named_file);
    text.clear();
    if (format(report, i, text)) failed = true;
    out.add(text);
  }
  return failed ? 1 : 0;
}

int show(const std::vector<std::string>& files, bool json) {
  return each_report(files, [json](const FileReport& report, std::size_t i, std::string& text) {
    if (json) {
      text += zavro::reader::show_json(report);
      text += '\n';
    } else {
      if (i > 0) text += '\n';
      text += zavro::reader::show_text(report);
    }
    return show_fails(zavro::reader::classify(report));
  });
}

int check(const std::vector<std::string>& files, bool strict) {
  return each_report(files, [strict](const FileReport& report, std::size_t, std::string& text) {
    text += zavro::reader::check_line(report);
    text += '\n';
    return check_fails(zavro::reader::classify(report), strict);
  });
}

int compare(const std::string& first, const std::string& second, bool json) {
  const FileReport a = zavro::reader::read_report(first, zavro::open_named_file);
  const FileReport b = zavro::reader::read_report(second, zavro::open_named_file);
  bool comparable = true;
  for (const FileReport* report : {&a, &b}) {
    const Condition condition = zavro::reader::classify(*report);
    if (condition != Condition::kOk && condition != Condition::kWarning) {
      std::cerr << "zavro-record: cannot compare " << zavro::reader::check_line(*report) << '\n';
      comparable = false;
    }
  }
  if (!comparable) return kUsageError;
  const auto comparison = zavro::reader::compare(a.parsed, *a.decoded, b.parsed, *b.decoded);
  std::cout << (json ? zavro::reader::compare_json(a, b, comparison) + "\n"
                     : zavro::reader::compare_text(a, b, comparison));
  using zavro::reader::Verdict;
  return comparison.verdict == Verdict::kSame || comparison.verdict == Verdict::kLikelySame ? 0 : 1;
}

// Text for a terminal, line breaks kept.
std::string terminal_lines(const std::string& text) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', from)) {
    out += zavro::reader::terminal_safe(std::string_view(text).substr(from, nl - from)) + '\n';
    from = nl + 1;
  }
  return out + zavro::reader::terminal_safe(std::string_view(text).substr(from));
}

int run(int native_argc, char** native_argv) {
  const std::vector<std::string> arguments = zavro::utf8_arguments(native_argc, native_argv);
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  const int argc = static_cast<int>(pointers.size());
  const char* const* argv = pointers.data();

  CLI::App app{
      "Reads, checks and compares zavro-sysinfo report files, and keeps a registry of "
      "the machines that sent them.",
      "zavro-record"};
  // Subcommands inherit it: "/tmp/a.rec" is a file name, not an option.
  app.allow_windows_style_options(false);
  const std::string version = std::string("zavro-record ") + ZAVRO_VERSION;
  app.set_version_flag("--version", version);
  app.require_subcommand(1);
  const std::string file_help = "report files; - reads standard input";

  std::vector<std::string> files;
  bool json = false;
  bool strict = false;
  auto* show_command = app.add_subcommand("show", "What each record holds, field by field");
  show_command->set_version_flag("--version", version);
  show_command->add_flag("--json", json, "one JSON object per file per line");
  show_command->add_option("FILE", files, file_help)->required();

  auto* check_command = app.add_subcommand(
      "check", "One line per file: ok, warning, ambiguous, malformed or unreadable");
  check_command->set_version_flag("--version", version);
  check_command->add_flag("--strict", strict, "fail on warnings too");
  check_command->add_option("FILE", files, file_help)->required();

  std::string first;
  std::string second;
  auto* compare_command =
      app.add_subcommand("compare", "Whether two records come from one machine");
  compare_command->set_version_flag("--version", version);
  compare_command->add_flag("--json", json, "the verdict as one JSON object");
  compare_command->add_option("A", first, "first report file; - reads standard input")->required();
  compare_command->add_option("B", second, "second report file; - reads standard input")
      ->required();

  const auto registry_commands = zavro::add_registry_commands(app, version);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // CLI11 quotes the offending argument, which may hold any byte.
    std::ostringstream out;
    std::ostringstream err;
    const int code = app.exit(error, out, err);
    std::cout << out.str();
    std::cerr << terminal_lines(err.str());
    // CLI11 has an exit code per error kind; ours is 2 for all of them.
    return code == 0 ? 0 : kUsageError;
  }
  if (const auto status = registry_commands->run()) return *status;
  if (show_command->parsed()) return show(files, json);
  if (check_command->parsed()) return check(files, strict);
  if (first == "-" && second == "-") {
    // The second read would find the input used up and call it malformed.
    std::cerr << "zavro-record: compare: standard input can be only one of A and B\n";
    return kUsageError;
  }
  return compare(first, second, json);
}

}  // namespace

int main(int argc, char** argv) {
  zavro::binary_stdio();
  try {
    const int status = run(argc, argv);
    // A verdict that never reached its reader is no verdict.
    if (!std::cout.flush()) {
      std::fputs("zavro-record: cannot write standard output\n", stderr);
      return kUsageError;
    }
    return status;
  } catch (...) {
    // Out of memory, most likely: no verdict was reached, as with an unreadable file.
    std::fputs("zavro-record: internal error\n", stderr);
    return kUsageError;
  }
}
