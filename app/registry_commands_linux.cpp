#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "app/registry_commands.hpp"
#include "app/serve.hpp"
#include "reader/output.hpp"
#include "registry/input.hpp"
#include "registry/registry.hpp"
#include "registry/views.hpp"

namespace zavro {
namespace {

using registry::Outcome;
using registry::Status;

constexpr int kUsageError = 2;

// --db, else $ZAVRO_REGISTRY, else $XDG_DATA_HOME/zavro/registry.sqlite
// (XDG_DATA_HOME only when absolute, as the base directory rules say), else
// ~/.local/share/zavro/registry.sqlite.
std::optional<std::string> registry_path(const std::string& db) {
  if (!db.empty()) return db;
  const char* env = std::getenv("ZAVRO_REGISTRY");
  if (env != nullptr && *env != '\0') return std::string(env);
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/zavro/registry.sqlite";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/share/zavro/registry.sqlite";
  }
  return std::nullopt;
}

void error(const std::string& message) {
  std::cerr << "zavro-record: " << reader::terminal_safe(message) << '\n';
}

// One line on standard error kept up to date while long work runs, and only
// on a terminal: logs and --json output never see it.
class Progress {
 public:
  Progress(bool enabled, const char* verb)
      : enabled_(enabled && isatty(STDERR_FILENO) == 1), verb_(verb), start_(Clock::now()) {}
  ~Progress() { clear(); }

  // Before anything else reaches the terminal.
  void clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // rejected: count it, and show the count (add; rebuild rejects nothing).
  void tick(std::optional<bool> rejected) {
    ++done_;
    rejected_ += rejected.value_or(false) ? 1 : 0;
    if (!enabled_ || (done_ & 255) != 0) return;
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds < 1.0 || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    shown_ = true;
    std::fprintf(stderr, "\r\033[K%s %zu reports, %.0f/s", verb_, done_,
                 static_cast<double>(done_) / seconds);
    if (rejected.has_value()) std::fprintf(stderr, ", %zu rejected", rejected_);
    std::fflush(stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  const char* verb_;
  Clock::time_point start_;
  Clock::time_point last_{};
  std::size_t done_ = 0;
  std::size_t rejected_ = 0;
  bool shown_ = false;
};

void print_line(const std::string& line) { std::cout << line << '\n'; }

class Commands final : public RegistryCommands {
 public:
  Commands(CLI::App& app, const std::string& version) {
    const auto common = [&](CLI::App* command) {
      command->set_version_flag("--version", version);
      command->add_option("--db", db_,
                          "the registry: a file, or a postgresql:// URI (default: "
                          "$ZAVRO_REGISTRY, else $XDG_DATA_HOME/zavro/registry.sqlite)");
      command->add_flag("--json", json_, "one JSON object per line");
      return command;
    };
    add_ = common(app.add_subcommand("add", "Store reports, each tied to a machine"));
    add_->add_option("--note", note_, "stored with each report of this run (a ticket, a customer)");
    add_->add_option("INPUT", inputs_,
                     "report files, directories, archives (.zip .tar .tar.gz .tgz .tar.xz); - "
                     "reads standard input")
        ->required();
    find_ = common(
        app.add_subcommand("find", "Which known machine each report is from; stores nothing"));
    find_->add_option("FILE", inputs_, "report files or archives; - reads standard input")
        ->required();
    machines_ = common(app.add_subcommand("machines", "Every machine, a line each"));
    history_ =
        common(app.add_subcommand("history", "A machine's reports in order, with what changed"));
    history_->add_option("MACHINE", machine_, "machine id")->required();
    placeholders_ = common(
        app.add_subcommand("placeholders", "Values that identify nothing, listed and learned"));
    clones_ = common(app.add_subcommand("clones", "Machines that are copies of one another"));
    rejected_ = common(app.add_subcommand("rejected", "Reports that could not be read, kept"));
    rebuild_ =
        common(app.add_subcommand("rebuild", "Tie every report again with all that is known now"));
    copy_ = app.add_subcommand("copy", "Copy a registry whole into an empty one, on either engine");
    copy_->set_version_flag("--version", version);
    copy_->add_option("--from", from_, "the registry to copy: a file or a postgresql:// URI")
        ->required();
    copy_->add_option("--to", to_, "the empty registry to fill, made when missing")->required();
    add_serve(app, version);
  }

  std::optional<int> run() override {
    CLI::App* const commands[] = {add_,    find_,     machines_, history_, placeholders_,
                                  clones_, rejected_, rebuild_,  copy_,    serve_};
    CLI::App* parsed = nullptr;
    for (CLI::App* command : commands) {
      if (command->parsed()) parsed = command;
    }
    if (parsed == nullptr) return std::nullopt;
    if (parsed == copy_) return copy();
    const auto path = registry_path(db_);
    if (!path) {
      error("no registry given: use --db, $ZAVRO_REGISTRY or set HOME");
      return kUsageError;
    }
    if (parsed == serve_) {
      serve_options_.location = *path;
      return serve(serve_options_);
    }
    try {
      auto registry = registry::Registry::open(*path, parsed == add_);
      if (parsed == add_) return add(*registry);
      if (parsed == find_) return find(*registry);
      if (parsed == rebuild_) return rebuild(*registry);
      if (parsed == history_) {
        if (!registry::history(*registry, machine_, json_, print_line)) {
          error("no machine " + std::to_string(machine_) + " in " + *path);
          return 1;
        }
        return 0;
      }
      if (parsed == machines_) registry::machines(*registry, json_, print_line);
      if (parsed == placeholders_) registry::placeholders(*registry, json_, print_line);
      if (parsed == clones_) registry::clones(*registry, json_, print_line);
      if (parsed == rejected_) registry::rejected(*registry, json_, print_line);
      return 0;
    } catch (const registry::Error& e) {
      std::cout.flush();
      error(e.what());
      return kUsageError;
    }
  }

 private:
  void add_serve(CLI::App& app, const std::string& version) {
    serve_ = app.add_subcommand("serve", "The registry over HTTP: a JSON API and a web page");
    serve_->set_version_flag("--version", version);
    serve_->add_option("--db", db_,
                       "the registry file or URI (default: $ZAVRO_REGISTRY, else "
                       "$XDG_DATA_HOME/zavro/registry.sqlite)");
    serve_->add_option("--listen", serve_options_.listen,
                       "ADDRESS:PORT (default 127.0.0.1:8417; port 0 picks a free one)");
    serve_->add_option("--token-file", serve_options_.token_file,
                       "the access token, made (mode 0600) when missing (default: the registry "
                       "file's path + .token; for a URI $XDG_DATA_HOME/zavro/serve.token)");
    serve_->add_option("--tls-cert", serve_options_.tls_cert, "PEM certificate: serve HTTPS");
    serve_->add_option("--tls-key", serve_options_.tls_key, "PEM private key of --tls-cert");
    serve_->add_flag("--insecure-http", serve_options_.insecure_http,
                     "allow plain HTTP on an address other than loopback");
    serve_->add_option("--max-body", serve_options_.body_limit,
                       "largest request body in bytes (default 64 MiB)");
    serve_->add_option("--threads", serve_options_.threads,
                       "worker threads, one per open connection (default 16)");
  }

  int add(registry::Registry& registry) {
    std::size_t counts[3] = {};
    Progress progress(!json_, "added");
    auto adder = registry.adder(
        note_,
        [&](const Outcome& outcome) {
          ++counts[static_cast<int>(outcome.status)];
          progress.tick(outcome.status == Status::kRejected);
          print_line(json_ ? registry::outcome_json(outcome, false)
                           : registry::outcome_text(outcome, false));
        },
        json_);
    registry::read_inputs(inputs_, [&](registry::Item& item) {
      adder->push(std::move(item));
      return true;
    });
    adder->finish();
    progress.clear();
    if (!json_) {
      std::cout << counts[0] << " stored, " << counts[1] << " duplicate, " << counts[2]
                << " rejected\n";
    }
    return counts[static_cast<int>(Status::kRejected)] > 0 ? 1 : 0;
  }

  int find(registry::Registry& registry) {
    bool all_known = true;
    registry::read_inputs(inputs_, [&](registry::Item& item) {
      const Outcome outcome = registry.find(item);
      all_known = all_known && outcome.machine.has_value();
      print_line(json_ ? registry::outcome_json(outcome, true)
                       : registry::outcome_text(outcome, true));
      return true;
    });
    return all_known ? 0 : 1;
  }

  int rebuild(registry::Registry& registry) {
    std::size_t moved = 0;
    Progress progress(!json_, "tied");
    registry.rebuild(
        [&](const registry::Move& move) {
          ++moved;
          progress.clear();
          print_line(json_ ? registry::move_json(move) : registry::move_text(move));
        },
        [&progress] { progress.tick(std::nullopt); });
    progress.clear();
    if (!json_) std::cout << moved << " reports moved\n";
    return 0;
  }

  int copy() {
    try {
      auto from = registry::Registry::open(from_, false);
      auto to = registry::Registry::open(to_, true);
      std::size_t copied = 0;
      Progress progress(true, "copied");
      to->copy_from(*from, [&] {
        ++copied;
        progress.tick(std::nullopt);
      });
      progress.clear();
      std::cout << copied << " reports copied\n";
      return 0;
    } catch (const registry::Error& e) {
      std::cout.flush();
      error(e.what());
      return kUsageError;
    }
  }

  std::string db_;
  std::string from_;
  std::string to_;
  bool json_ = false;
  std::string note_;
  std::vector<std::string> inputs_;
  std::int64_t machine_ = 0;
  CLI::App* add_ = nullptr;
  CLI::App* find_ = nullptr;
  CLI::App* machines_ = nullptr;
  CLI::App* history_ = nullptr;
  CLI::App* placeholders_ = nullptr;
  CLI::App* clones_ = nullptr;
  CLI::App* rejected_ = nullptr;
  CLI::App* rebuild_ = nullptr;
  CLI::App* copy_ = nullptr;
  CLI::App* serve_ = nullptr;
  ServeOptions serve_options_;
};

}  // namespace

std::unique_ptr<RegistryCommands> add_registry_commands(CLI::App& app, const std::string& version) {
  return std::make_unique<Commands>(app, version);
}

}  // namespace zavro
