// zavro-record's accounts (Linux): the user and token commands, and who a
// command that writes acts as.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/registry_commands.hpp"
#include "registry/accounts.hpp"

namespace zavro {

namespace registry {
class Registry;
}

// --as NAME, and the file its password is read from (standard input without it).
struct ActorOptions {
  std::string as;
  std::string password_file;
};

// Adds --as and FLAG (--password-file unless the command has one of its own).
void add_actor_options(CLI::App* command, ActorOptions& options,
                       const std::string& password_flag = "--password-file");

// A command that may not run as whom it would act as: exit 1.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Who a command acts as, allowed to do need (registry::Right bits). On a
// registry without users, anyone who can open it, by login name; with users,
// the login name's account, or --as NAME with its password (from
// --password-file, else standard input unless stdin_taken). Refused when not
// allowed, or when the password is wrong.
registry::Actor cli_actor(registry::Registry& registry, const ActorOptions& options, unsigned need,
                          bool stdin_taken = false);

// The operating-system user this process runs as.
std::string login_name();

std::unique_ptr<RegistryCommands> add_account_commands(CLI::App& app, const std::string& version);

}  // namespace zavro
