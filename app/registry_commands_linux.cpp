#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <vector>

#include "app/account_commands.hpp"
#include "app/decision_commands.hpp"
#include "app/registry_commands.hpp"
#include "app/serve.hpp"
#include "reader/output.hpp"
#include "registry/collect.hpp"
#include "registry/imap.hpp"
#include "registry/input.hpp"
#include "registry/mail.hpp"
#include "registry/registry.hpp"
#include "registry/views.hpp"

namespace zavro {

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

namespace {

using registry::Outcome;
using registry::Status;

constexpr int kUsageError = 2;

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

// collect --watch ends at the next safe point once asked.
std::atomic<bool> stop_asked{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void ask_stop(int) { stop_asked = true; }

// SIGTERM and SIGINT ask collect to stop (a read in progress is not
// restarted, so that it sees the question at once); a connection the server
// dropped is an error to report, not a signal that ends the process.
void stop_on_signals() {
  struct sigaction action {};
  action.sa_handler = ask_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

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
    add_->add_flag("--follow-symlinks", follow_symlinks_,
                   "in directories, follow links to files outside the directory given too");
    add_->add_option("INPUT", inputs_,
                     "report files, directories, archives (.zip .tar .tar.gz .tgz .tar.xz), mail "
                     "(.eml, .mbox, a Maildir); - reads standard input")
        ->required();
    add_max_message(add_);
    find_ = common(
        app.add_subcommand("find", "Which known machine each report is from; stores nothing"));
    find_->add_option("FILE", inputs_, "report files, archives or mail; - reads standard input")
        ->required();
    add_max_message(find_);
    machines_ = common(app.add_subcommand("machines", "Every machine, a line each"));
    machines_->add_option("--q", query_,
                          "only machines that ever reported a serial, name or address holding "
                          "TEXT (case aside; an address with or without separators)");
    machines_->add_flag("--csv", csv_, "RFC 4180 CSV with a header line");
    paging(machines_, "MACHINE");
    machine_ = common(app.add_subcommand(
        "machine", "One machine whole: what it is now and every value it ever reported"));
    machine_->add_option("MACHINE", machine_id_, "machine id")->required();
    history_ =
        common(app.add_subcommand("history", "A machine's reports in order, with what changed"));
    history_->add_option("MACHINE", machine_id_, "machine id")->required();
    paging(history_, "RECORD");
    placeholders_ = common(
        app.add_subcommand("placeholders", "Values that identify nothing, listed and learned"));
    paging(placeholders_, "N", "leave out the first N");
    clones_ = common(app.add_subcommand("clones", "Machines that are copies of one another"));
    paging(clones_, "MACHINE", "start after the group named by this machine");
    rejected_ = common(app.add_subcommand("rejected", "Reports that could not be read, kept"));
    rejected_->add_flag("--messages", messages_,
                        "mail messages that held no report instead, with their sender, "
                        "Message-ID, date and subject");
    paging(rejected_, "RECORD");
    rebuild_ =
        common(app.add_subcommand("rebuild", "Tie every report again with all that is known now"));
    add_collect(common(app.add_subcommand(
        "collect", "Store the reports mailed to an IMAP folder, each message once")));
    copy_ = app.add_subcommand("copy", "Copy a registry whole into an empty one, on either engine");
    copy_->set_version_flag("--version", version);
    copy_->add_option("--from", from_, "the registry to copy: a file or a postgresql:// URI")
        ->required();
    copy_->add_option("--to", to_, "the empty registry to fill, made when missing")->required();
    add_serve(app, version);
    add_audit(common(app.add_subcommand(
        "audit", "Who added, decided, rebuilt, changed accounts or read through serve, and when")));
    // Who a write acts as (app/account_commands.hpp); collect's own
    // --password-file is the IMAP server's.
    add_actor_options(add_, actor_);
    add_actor_options(rebuild_, actor_);
    add_actor_options(audit_, actor_);
    add_actor_options(collect_, actor_, "--as-password-file");
    accounts_ = add_account_commands(app, version);
    decisions_ = add_decision_commands(app, common);
    for (CLI::App* command : decisions_->write_commands()) add_actor_options(command, actor_);
    machines_->add_option("--label", label_, "only machines carrying this label")
        ->type_name("NAME=VALUE");
  }

  std::optional<int> run() override {
    CLI::App* const commands[] = {add_,          find_,    machines_, machine_, history_,
                                  placeholders_, clones_,  rejected_, rebuild_, copy_,
                                  serve_,        collect_, audit_};
    CLI::App* parsed = nullptr;
    for (CLI::App* command : commands) {
      if (command->parsed()) parsed = command;
    }
    if (parsed == nullptr && !decisions_->parsed()) return accounts_->run();
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
      auto registry = registry::Registry::open(*path, parsed == add_ || parsed == collect_);
      if (decisions_->parsed()) {
        // Reading them needs no account; deciding, a desk's or an admin's.
        const std::string who = decisions_->writes()
                                    ? cli_actor(*registry, actor_, registry::kCorrect, false).who
                                    : std::string();
        return decisions_->run(*registry, json_, who);
      }
      if (parsed == add_ || parsed == collect_ || parsed == rebuild_) {
        const bool stdin_taken = std::find(inputs_.begin(), inputs_.end(), "-") != inputs_.end();
        actor_who_ =
            cli_actor(*registry, actor_, parsed == rebuild_ ? registry::kCorrect : registry::kAdd,
                      stdin_taken)
                .who;
        registry->set_actor(actor_who_, parsed->get_name());
      }
      if (parsed == audit_) return audit(*registry);
      if (parsed == add_) return add(*registry);
      if (parsed == collect_) return collect(*registry);
      if (parsed == find_) return find(*registry);
      if (parsed == rebuild_) return rebuild(*registry);
      if (parsed == machine_ || parsed == history_) return machine(*registry, parsed, *path);
      // A listing can run to hundreds of megabytes: written in large blocks
      // where no one reads it line by line (a terminal keeps its lines).
      if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, nullptr, _IOFBF, std::size_t{1} << 16);
      const registry::Page page{after_, limit_};
      if (parsed == machines_) {
        const auto format = json_  ? registry::Format::kJson
                            : csv_ ? registry::Format::kCsv
                                   : registry::Format::kTable;
        registry::MachineQuery query{query_, after_, limit_, {}, {}};
        if (label_) {
          const std::size_t equals = label_->find('=');
          if (equals == std::string::npos) {
            error("--label " + *label_ + ": give NAME=VALUE");
            return 1;
          }
          query.label_name = label_->substr(0, equals);
          query.label_value = label_->substr(equals + 1);
        }
        registry::machines(*registry, query, format, print_line);
      }
      if (parsed == placeholders_) registry::placeholders(*registry, page, json_, print_line);
      if (parsed == clones_) registry::clones(*registry, page, json_, print_line);
      if (parsed == rejected_) {
        (messages_ ? registry::rejected_messages : registry::rejected)(*registry, page, json_,
                                                                       print_line);
      }
      return 0;
    } catch (const registry::Error& e) {
      std::cout.flush();
      error(e.what());
      return kUsageError;
    } catch (const registry::ImapError& e) {
      std::cout.flush();
      error(e.what());
      return kUsageError;
    } catch (const Refused& e) {
      error(e.what());
      return 1;
    }
  }

 private:
  void add_collect(CLI::App* command) {
    collect_ = command;
    command
        ->add_option("URL", imap_.url,
                     "imaps://USER@HOST[:PORT]/FOLDER (FOLDER: INBOX when left out)")
        ->required();
    command->add_option("--done", collect_options_.done,
                        "move each message whose reports are stored (or known) here");
    command->add_option("--refused", collect_options_.refused,
                        "move each message without a report, or with one rejected, here");
    command
        ->add_option("--watch", watch_,
                     "keep running: wait for new mail (IDLE, else a poll every SECONDS); "
                     "SIGTERM stops it")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    add_max_message(command);
    command->add_option("--note", note_, "stored with each report of this run");
    command->add_option("--password-file", imap_.password_file,
                        "the password's file (default: $ZAVRO_IMAP_PASSWORD_FILE, else ~/.netrc)");
    command->add_option("--cacert", imap_.cacert,
                        "PEM file of the CAs to trust (default: the system's)");
    command->add_flag("--insecure-imap", imap_.insecure_imap,
                      "allow plain imap://, which sends the password unencrypted");
  }

  // Each report as add prints it; exit 0 when every one was stored or known,
  // 1 when one was rejected or a message held none, 2 on an error (what was
  // committed before stays, and the next run goes on from there).
  int collect(registry::Registry& registry) {
    stop_on_signals();
    std::size_t counts[3] = {};
    std::size_t no_report = 0;
    bool refused_any = false;
    registry::ImapFolder folder(imap_);
    registry::RegistryCollectState state(registry);
    registry::CollectOptions options = collect_options_;
    options.note = note_;
    options.max_message = max_message_;
    options.evidence = json_;
    std::optional<std::chrono::seconds> watch;
    if (watch_) watch = std::chrono::seconds(*watch_);
    const registry::CollectCounts total = registry::collect(
        folder, registry, state, options, watch, [] { return stop_asked.load(); },
        [&](const Outcome& outcome) {
          if (outcome.no_report) {
            ++no_report;
          } else {
            ++counts[static_cast<int>(outcome.status)];
            refused_any = refused_any || !outcome.machine;
          }
          print_line(json_ ? registry::outcome_json(outcome, false)
                           : registry::outcome_text(outcome, false));
          std::cout.flush();
        },
        {});
    if (!json_) {
      std::cout << total.messages << " messages";
      if (total.uidvalidity_changed) std::cout << " (the folder was renumbered: read again)";
      std::cout << ": " << counts[0] << " stored, " << counts[1] << " duplicate, " << counts[2]
                << " rejected";
      if (no_report > 0) std::cout << ", " << no_report << " without a report";
      std::cout << '\n';
    }
    return refused_any || no_report > 0 ? 1 : 0;
  }

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
                       "worker threads running requests (default 16); connections, idle or "
                       "slow, hold none");
    serve_->add_option("--max-connections", serve_options_.max_connections,
                       "connections at once (default 4096)");
    serve_->add_option("--max-connections-per-address", serve_options_.max_connections_per_address,
                       "connections at once from one address (default 2048)");
    serve_->add_option("--allowed-host", serve_options_.allowed_hosts,
                       "a Host name to answer besides the address listened on and localhost "
                       "(a reverse proxy's); repeatable");
  }

  void add_audit(CLI::App* command) {
    audit_ = command;
    command->add_option("--who", audit_who_, "only what NAME did");
    command->add_option("--machine", audit_machine_, "only rows naming this machine");
    command->add_option(
        "--since", audit_since_,
        "only rows from TIME on (2026-12-09T10:00:00Z, or a date: from midnight UTC)");
    paging(command, "AUDIT");
  }

  // An admin's (anyone's on a registry without users); newest last.
  int audit(registry::Registry& registry) {
    cli_actor(registry, actor_, registry::kManage, false);
    registry::AuditQuery query;
    if (!audit_who_.empty()) query.who = audit_who_;
    query.machine = audit_machine_;
    if (!audit_since_.empty()) {
      query.since = registry::parse_utc(audit_since_);
      if (!query.since) {
        error("--since " + audit_since_ + ": give 2026-12-09T10:00:00Z or 2026-12-09");
        return kUsageError;
      }
    }
    query.after = after_;
    std::size_t left = limit_.value_or(std::numeric_limits<std::size_t>::max());
    while (left > 0) {
      query.limit = std::min<std::size_t>(left, registry::kPage);
      const auto rows = registry.audit(query);
      for (const registry::AuditEntry& e : rows) {
        print_line(json_ ? registry::audit_json(e) : registry::audit_text(e));
      }
      if (rows.size() < query.limit) break;
      left -= rows.size();
      query.after = rows.back().id;
    }
    return 0;
  }

  void paging(CLI::App* command, const char* key, const char* after = nullptr) {
    command->add_option("--limit", limit_, "at most N lines")->check(CLI::PositiveNumber);
    command
        ->add_option("--after", after_,
                     after != nullptr ? after : std::string("start after this ") + key)
        ->type_name(key);
  }

  // machine and history: a machine's id; the id of a report on another
  // machine (or none) is named as such.
  int machine(registry::Registry& registry, CLI::App* command, const std::string& path) {
    if (command == machine_) {
      if (auto text = registry::machine_view(registry, machine_id_, json_)) {
        std::cout << *text << (json_ ? "\n" : "");
        return 0;
      }
    } else if (registry::history(registry, machine_id_, {after_, limit_}, json_, print_line)) {
      return 0;
    }
    const auto place = registry.assignment_of(machine_id_);
    if (place && place->machine) {
      error("record " + std::to_string(machine_id_) + " is on machine " +
            std::to_string(*place->machine));
    } else if (const auto by = place ? registry.voided_by(machine_id_) : std::nullopt) {
      error("record " + std::to_string(machine_id_) + " is void (decision " + std::to_string(*by) +
            ")");
    } else if (place) {
      error("record " + std::to_string(machine_id_) + " was rejected (see rejected)");
    } else {
      error("no machine " + std::to_string(machine_id_) + " in " + path);
    }
    return 1;
  }

  void add_max_message(CLI::App* command) {
    command
        ->add_option("--max-message", max_message_,
                     "largest mail message read, in bytes; a larger one is refused (default "
                     "64 MiB)")
        ->check(CLI::PositiveNumber);
  }

  // A message without a report is kept, as a rejected report flagged so,
  // and told apart as "no-report".
  int add(registry::Registry& registry) {
    std::size_t counts[3] = {};
    std::size_t no_report = 0;
    bool refused_any = false;  // a rejected report, or a duplicate of one
    Progress progress(!json_, "added");
    auto adder = registry.adder(
        note_,
        [&](const Outcome& outcome) {
          if (outcome.no_report) {
            ++no_report;
          } else {
            ++counts[static_cast<int>(outcome.status)];
            refused_any = refused_any || !outcome.machine;
          }
          progress.tick(outcome.no_report || outcome.status == Status::kRejected);
          print_line(json_ ? registry::outcome_json(outcome, false)
                           : registry::outcome_text(outcome, false));
        },
        json_);
    registry::ReadOptions options;
    options.follow_symlinks = follow_symlinks_;
    options.max_message = max_message_;
    registry::read_inputs(
        inputs_,
        [&](registry::Item& item) {
          adder->push(std::move(item));
          return true;
        },
        [&](const registry::Refusal& refusal) {
          progress.clear();
          refused(refusal);
        },
        options);
    adder->finish();
    progress.clear();
    if (!json_) {
      std::cout << counts[0] << " stored, " << counts[1] << " duplicate, " << counts[2]
                << " rejected";
      if (no_report > 0) std::cout << ", " << no_report << " without a report";
      std::cout << '\n';
    }
    return refused_any || no_report > 0 || refusals_ > 0 ? 1 : 0;
  }

  // A path that cannot be opened, a link not followed, an archive refused:
  // named on standard error, and the command fails.
  void refused(const registry::Refusal& refusal) {
    ++refusals_;
    std::cout.flush();
    error(refusal.name + ": " + (refusal.limit ? "archive refused: " : "") + refusal.reason);
  }

  // Reports found in chunks, each chunk's lookups sent at once: a server
  // answers many reports in one round trip.
  int find(registry::Registry& registry) {
    bool all_known = true;
    auto finder = registry.finder([&](const Outcome& outcome) {
      all_known = all_known && outcome.machine.has_value() && !outcome.no_report;
      print_line(json_ ? registry::outcome_json(outcome, true)
                       : registry::outcome_text(outcome, true));
    });
    registry::ReadOptions options;
    options.max_message = max_message_;
    registry::read_inputs(
        inputs_,
        [&](registry::Item& item) {
          finder->push(std::move(item));
          return true;
        },
        [this](const registry::Refusal& refusal) { refused(refusal); }, options);
    finder->finish();
    return all_known && refusals_ == 0 ? 0 : 1;
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
  bool follow_symlinks_ = false;
  std::size_t refusals_ = 0;
  std::string note_;
  std::vector<std::string> inputs_;
  std::int64_t machine_id_ = 0;
  std::string query_;
  bool csv_ = false;
  bool messages_ = false;
  std::optional<std::size_t> limit_;
  std::int64_t after_ = 0;
  std::size_t max_message_ = registry::kDefaultMaxMessage;
  registry::ImapOptions imap_;
  registry::CollectOptions collect_options_;
  std::optional<std::int64_t> watch_;
  CLI::App* add_ = nullptr;
  CLI::App* find_ = nullptr;
  CLI::App* machines_ = nullptr;
  CLI::App* machine_ = nullptr;
  CLI::App* history_ = nullptr;
  CLI::App* placeholders_ = nullptr;
  CLI::App* clones_ = nullptr;
  CLI::App* rejected_ = nullptr;
  CLI::App* rebuild_ = nullptr;
  CLI::App* copy_ = nullptr;
  CLI::App* serve_ = nullptr;
  CLI::App* collect_ = nullptr;
  CLI::App* audit_ = nullptr;
  std::string audit_who_;
  std::optional<std::int64_t> audit_machine_;
  std::string audit_since_;
  ServeOptions serve_options_;
  ActorOptions actor_;
  std::string actor_who_;  // who this command acts as, once allowed
  std::unique_ptr<RegistryCommands> accounts_;
  std::optional<std::string> label_;
  std::unique_ptr<DecisionCommands> decisions_;
};

}  // namespace

std::unique_ptr<RegistryCommands> add_registry_commands(CLI::App& app, const std::string& version) {
  return std::make_unique<Commands>(app, version);
}

}  // namespace zavro
