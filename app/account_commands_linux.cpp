#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "app/account_commands.hpp"
#include "reader/output.hpp"
#include "registry/registry.hpp"
#include "registry/types.hpp"

namespace zavro {
namespace {

constexpr int kUsageError = 2;
// A password longer than this is refused, not hashed: hashing time grows with it.
constexpr std::size_t kMostPassword = 1024;
constexpr std::size_t kLeastPassword = 8;

void error(const std::string& message) {
  std::cerr << "zavro-record: " << reader::terminal_safe(message) << '\n';
}

// One line from fd, without its line end, at most kMostPassword bytes; on a
// terminal asked with prompt and not echoed. nullopt when it is too long.
std::optional<std::string> read_secret(int fd, const char* prompt) {
  termios saved{};
  const bool terminal = isatty(fd) == 1 && tcgetattr(fd, &saved) == 0;
  if (terminal) {
    std::cerr << prompt << std::flush;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::string line;
  bool over = false;
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    if (line.size() >= kMostPassword) {
      over = true;
      continue;  // read to the line's end all the same
    }
    line += c;
  }
  if (terminal) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    std::cerr << '\n';
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (over) return std::nullopt;
  return line;
}

// The first line of a regular file.
std::string secret_from_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    throw Refused("--password-file " + path + ": not a readable file");
  }
  const auto secret = read_secret(fd, "");
  ::close(fd);
  if (!secret) throw Refused("--password-file " + path + ": longer than 1024 bytes");
  return *secret;
}

std::string acting_password(const ActorOptions& options, bool stdin_taken) {
  if (!options.password_file.empty()) return secret_from_file(options.password_file);
  if (stdin_taken) {
    throw Refused("--as " + options.as +
                  ": standard input carries something else here: give --password-file");
  }
  const auto secret = read_secret(STDIN_FILENO, "Password: ");
  if (!secret) throw Refused("--as " + options.as + ": name or password wrong");
  return *secret;
}

std::string need_text(unsigned need) {
  if ((need & registry::kManage) != 0) return "an admin account";
  if ((need & (registry::kAdd | registry::kCorrect)) != 0) return "a desk or admin account";
  return "an account";
}

// A hash to check unknown names against, so that they take as long.
const std::string& dummy_hash() {
  static const std::string hash = registry::hash_password("not anyone's password");
  return hash;
}

}  // namespace

std::string login_name() {
  const passwd* user = ::getpwuid(::geteuid());
  if (user != nullptr && user->pw_name != nullptr && *user->pw_name != '\0') return user->pw_name;
  return "uid:" + std::to_string(::geteuid());
}

void add_actor_options(CLI::App* command, ActorOptions& options, const std::string& password_flag) {
  command->add_option("--as", options.as,
                      "act as this account (on a registry with users; default: the login "
                      "name's account)");
  command->add_option(password_flag, options.password_file,
                      "the --as account's password: this file's first line (default: standard "
                      "input)");
}

registry::Actor cli_actor(registry::Registry& registry, const ActorOptions& options, unsigned need,
                          bool stdin_taken) {
  registry::Accounts accounts(registry.store());
  const std::string login = login_name();
  if (!accounts.any_users()) {
    if (!options.as.empty()) throw Refused("--as: this registry has no users yet");
    return {login, "admin", registry::rights_of(registry::Role::kAdmin)};
  }
  registry::Actor actor;
  if (options.as.empty()) {
    const auto account = accounts.user(login);
    if (!account) {
      throw Refused("login " + login + " has no account in this registry: use --as NAME (" +
                    need_text(need) + ")");
    }
    actor = registry::person_actor(login, account->role);
  } else {
    const std::string password = acting_password(options, stdin_taken);
    const auto account = accounts.user(options.as);
    const bool ok = account ? registry::verify_password(password, account->hash)
                            : (registry::verify_password(password, dummy_hash()), false);
    if (!ok) throw Refused("--as " + options.as + ": name or password wrong");
    actor = registry::person_actor(account->name, account->role);
  }
  if (!actor.may(need)) {
    throw Refused(actor.who + " is a " + actor.what + " account: this needs " + need_text(need));
  }
  return actor;
}

namespace {

class AccountCommands final : public RegistryCommands {
 public:
  AccountCommands(CLI::App& app, const std::string& version) {
    const auto group = [&](const char* name, const char* help) {
      CLI::App* command = app.add_subcommand(name, help);
      command->set_version_flag("--version", version);
      command->require_subcommand(1);
      // Its options go after the word that follows too ("user add bob --db F").
      command->fallthrough();
      command->add_option("--db", db_,
                          "the registry: a file, or a postgresql:// URI (default: "
                          "$ZAVRO_REGISTRY, else $XDG_DATA_HOME/zavro/registry.sqlite)");
      command->add_flag("--json", json_, "list: one JSON object per line");
      add_actor_options(command, actor_);
      return command;
    };
    user_ = group("user", "People who sign in to serve, and their roles: add, list, remove, role");
    user_add_ = user_->add_subcommand(
        "add",
        "Add a person; the password is read from standard input (a terminal is asked), or made "
        "and shown once when none is given");
    user_add_->add_option("NAME", name_, "the name to sign in with")->required();
    user_add_->add_option("--role", role_, "viewer, desk or admin")
        ->required()
        ->check(CLI::IsMember({"viewer", "desk", "admin"}));
    user_add_->add_flag("--generate", generate_, "make the password and show it once");
    user_list_ = user_->add_subcommand("list", "Every person: name, role, when added");
    user_remove_ = user_->add_subcommand("remove", "Remove a person");
    user_remove_->add_option("NAME", name_, "the person")->required();
    user_role_ = user_->add_subcommand("role", "Change a person's role");
    user_role_->add_option("NAME", name_, "the person")->required();
    user_role_->add_option("ROLE", role_, "viewer, desk or admin")
        ->required()
        ->check(CLI::IsMember({"viewer", "desk", "admin"}));

    token_ = group("token", "Robots' tokens for serve: add, list, revoke");
    token_add_ =
        token_->add_subcommand("add", "Make a token and show it once; only its digest is kept");
    token_add_->add_option("NAME", name_, "the robot's name")->required();
    token_add_
        ->add_option("--scope", scope_, "intake (add reports and find), read (GET only), or desk")
        ->required()
        ->check(CLI::IsMember({"intake", "read", "desk"}));
    token_add_->add_option("--expires", expires_, "refused after this many days")
        ->type_name("DAYS")
        ->check(CLI::Range(1, 36500));
    token_list_ = token_->add_subcommand(
        "list", "Every token: name, scope, made, expires, last used (never the token)");
    token_revoke_ = token_->add_subcommand("revoke", "Refuse a token from now on");
    token_revoke_->add_option("NAME", name_, "the robot's name")->required();
  }

  std::optional<int> run() override {
    if (!user_->parsed() && !token_->parsed()) return std::nullopt;
    const auto path = registry_path(db_);
    if (!path) {
      error("no registry given: use --db, $ZAVRO_REGISTRY or set HOME");
      return kUsageError;
    }
    if ((user_add_->parsed() || user_remove_->parsed() || user_role_->parsed() ||
         token_add_->parsed() || token_revoke_->parsed()) &&
        !registry::valid_name(name_)) {
      error("name " + name_ +
            ": 1 to 64 letters, digits and . _ - @, starting with a letter or digit");
      return kUsageError;
    }
    try {
      auto registry = registry::Registry::open(*path, user_add_->parsed() || token_add_->parsed());
      registry::Accounts accounts(registry->store());
      const bool first_user = user_add_->parsed() && !accounts.any_users();
      if (first_user && role_ != "admin") {
        error("the first user must be an admin: give --role admin");
        return 1;
      }
      if (first_user) {
        accounts.act_as(login_name());
      } else {
        // A new person's password comes on standard input unless made here.
        accounts.act_as(
            cli_actor(*registry, actor_, registry::kManage, user_add_->parsed() && !generate_).who);
      }
      if (user_add_->parsed()) return user_add(accounts);
      if (user_list_->parsed()) return user_list(accounts);
      if (user_remove_->parsed()) return done(accounts.remove_user(name_), "user");
      if (user_role_->parsed())
        return done(accounts.set_role(name_, *registry::role_named(role_)), "user");
      if (token_add_->parsed()) return token_add(accounts);
      if (token_list_->parsed()) return token_list(accounts);
      return done(accounts.revoke_token(name_), "token");
    } catch (const Refused& e) {
      error(e.what());
      return 1;
    } catch (const registry::AccountRefused& e) {
      error(e.what());
      return 1;
    } catch (const registry::Error& e) {
      std::cout.flush();
      error(e.what());
      return kUsageError;
    }
  }

 private:
  int done(bool found, const char* what) {
    if (found) return 0;
    error(std::string("no ") + what + " " + name_);
    return 1;
  }

  int user_add(registry::Accounts& accounts) {
    std::string password;
    bool made = generate_;
    if (!generate_) {
      const bool terminal = isatty(STDIN_FILENO) == 1;
      const auto given = read_secret(STDIN_FILENO, "New password: ");
      if (!given) {
        error("the password is longer than 1024 bytes");
        return kUsageError;
      }
      if (terminal && !given->empty()) {
        const auto again = read_secret(STDIN_FILENO, "Again: ");
        if (!again || *again != *given) {
          error("the passwords differ");
          return kUsageError;
        }
      }
      password = *given;
      made = password.empty();
    }
    if (made) password = registry::new_password();
    if (password.size() < kLeastPassword || password.find('\0') != std::string::npos) {
      error("a password has at least 8 characters and no NUL");
      return kUsageError;
    }
    registry::Account account;
    account.name = name_;
    account.role = *registry::role_named(role_);
    account.hash = registry::hash_password(password);
    account.created = registry::unix_now();
    accounts.add_user(account);
    std::cerr << "zavro-record: user " << name_ << " added (" << role_ << ")"
              << (made ? "; its password, shown only now:" : "") << '\n';
    if (made) std::cout << password << '\n';
    return 0;
  }

  int user_list(registry::Accounts& accounts) {
    for (const registry::Account& a : accounts.users()) {
      if (json_) {
        std::cout << "{\"name\":\"" << a.name << "\",\"role\":\"" << registry::name_of(a.role)
                  << "\",\"created\":" << a.created << "}\n";
      } else {
        std::cout << a.name << '\t' << registry::name_of(a.role) << '\t'
                  << registry::utc_time(a.created) << '\n';
      }
    }
    return 0;
  }

  int token_add(registry::Accounts& accounts) {
    const std::string token = registry::new_token();
    registry::RobotToken t;
    t.name = name_;
    t.scope = *registry::scope_named(scope_);
    t.digest = registry::sha256(token);
    t.created = registry::unix_now();
    if (expires_) t.expires = t.created + *expires_ * 86400;
    accounts.add_token(t);
    std::cerr << "zavro-record: token " << name_ << " made (" << scope_ << ", "
              << (t.expires ? "expires " + registry::utc_time(*t.expires) : "no expiry")
              << "); the token, shown only now:\n";
    std::cout << token << '\n';
    return 0;
  }

  int token_list(registry::Accounts& accounts) {
    const std::int64_t now = registry::unix_now();
    const auto optional_json = [](const std::optional<std::int64_t>& v) {
      return v ? std::to_string(*v) : std::string("null");
    };
    for (const registry::RobotToken& t : accounts.tokens()) {
      if (json_) {
        std::cout << "{\"name\":\"" << t.name << "\",\"scope\":\"" << registry::name_of(t.scope)
                  << "\",\"created\":" << t.created << ",\"expires\":" << optional_json(t.expires)
                  << ",\"last_used\":" << optional_json(t.last_used)
                  << ",\"expired\":" << (t.expired(now) ? "true" : "false") << "}\n";
      } else {
        std::cout << t.name << '\t' << registry::name_of(t.scope) << "\tmade "
                  << registry::utc_time(t.created) << "\texpires "
                  << (t.expires
                          ? registry::utc_time(*t.expires) + (t.expired(now) ? " (expired)" : "")
                          : std::string("never"))
                  << "\tlast used "
                  << (t.last_used ? registry::utc_time(*t.last_used) : std::string("never"))
                  << '\n';
      }
    }
    return 0;
  }

  std::string db_;
  bool json_ = false;
  ActorOptions actor_;
  std::string name_;
  std::string role_;
  std::string scope_;
  bool generate_ = false;
  std::optional<std::int64_t> expires_;
  CLI::App* user_ = nullptr;
  CLI::App* user_add_ = nullptr;
  CLI::App* user_list_ = nullptr;
  CLI::App* user_remove_ = nullptr;
  CLI::App* user_role_ = nullptr;
  CLI::App* token_ = nullptr;
  CLI::App* token_add_ = nullptr;
  CLI::App* token_list_ = nullptr;
  CLI::App* token_revoke_ = nullptr;
};

}  // namespace

std::unique_ptr<RegistryCommands> add_account_commands(CLI::App& app, const std::string& version) {
  return std::make_unique<AccountCommands>(app, version);
}

}  // namespace zavro
