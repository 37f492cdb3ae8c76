// zavro-record: reads, checks and compares report files.
#include <CLI/CLI.hpp>
#include <algorithm>
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

std::vector<CLI::App*> commands_of(CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

CLI::App* command_named(CLI::App& app, const std::string& name) {
  for (CLI::App* command : commands_of(app)) {
    if (command->get_name() == name) return command;
  }
  return nullptr;
}

// Edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t edits(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The command a mistyped word most likely meant: the only one it begins, else
// the nearest within two edits; none when nothing is close. CLI11 suggests nothing.
std::string nearest_command(CLI::App& app, const std::string& typed) {
  constexpr std::size_t kMostEdits = 2;
  std::string prefixed;
  int prefixes = 0;
  std::string nearest;
  std::size_t best = kMostEdits + 1;
  for (const CLI::App* command : commands_of(app)) {
    const std::string& name = command->get_name();
    if (typed.size() >= 2 && name.compare(0, typed.size(), typed) == 0) {
      prefixed = name;
      ++prefixes;
    }
    // Far longer is far off, and a long word would cost a large table.
    if (typed.size() > name.size() + kMostEdits) continue;
    const std::size_t n = edits(typed, name);
    if (n < best && n < typed.size()) {
      best = n;
      nearest = name;
    }
  }
  return prefixes == 1 ? prefixed : nearest;
}

// What the words before the command ask for.
struct Invocation {
  enum Kind { kCommand, kNoCommand, kUnknownCommand, kLeaveToParser } kind = kLeaveToParser;
  std::size_t command = 0;  // kCommand, kUnknownCommand: its index in the arguments
};

// Options go before the command too ("zavro-record --db FILE machines"): the
// words up to the first that is no option, each option with its value when it
// takes one (any command's option of that name says whether it does).
Invocation invocation_of(CLI::App& app, const std::vector<std::string>& arguments) {
  std::size_t i = 1;
  while (i < arguments.size()) {
    const std::string& word = arguments[i];
    if (word.size() < 2 || word[0] != '-') break;
    const std::string name = word.substr(0, word.find('='));
    // The program's own --help and --version, and "--", as CLI11 reads them.
    if (name == "--" || app.get_option_no_throw(name) != nullptr) return {};
    const CLI::Option* option = nullptr;
    for (CLI::App* command : commands_of(app)) {
      if ((option = command->get_option_no_throw(name)) != nullptr) break;
    }
    if (option == nullptr) return {};  // CLI11 names it
    const bool takes_value = option->get_expected_min() > 0 && name.size() == word.size();
    i += takes_value ? 2 : 1;
  }
  if (i >= arguments.size()) return {Invocation::kNoCommand, 0};
  if (command_named(app, arguments[i]) == nullptr) return {Invocation::kUnknownCommand, i};
  return {Invocation::kCommand, i};
}

int run(int native_argc, char** native_argv) {
  std::vector<std::string> arguments = zavro::utf8_arguments(native_argc, native_argv);

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

  const Invocation invocation = invocation_of(app, arguments);
  switch (invocation.kind) {
    case Invocation::kNoCommand:
      // What a person typing the bare name wants; still no command ran.
      std::cerr << app.help();
      return kUsageError;
    case Invocation::kUnknownCommand: {
      const std::string& typed = arguments[invocation.command];
      const std::string meant = nearest_command(app, typed);
      std::cerr << "zavro-record: unknown command '" << zavro::reader::terminal_safe(typed)
                << (meant.empty() ? "'; see 'zavro-record --help'\n"
                                  : "'; did you mean '" + meant + "'?\n");
      return kUsageError;
    }
    case Invocation::kCommand:
      // CLI11 reads a command's options after it: the command moves first.
      std::rotate(arguments.begin() + 1,
                  arguments.begin() + static_cast<std::ptrdiff_t>(invocation.command),
                  arguments.begin() + static_cast<std::ptrdiff_t>(invocation.command) + 1);
      break;
    case Invocation::kLeaveToParser:
      break;
  }

  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
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
