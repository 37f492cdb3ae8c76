// zavro-record's registry commands (Linux): add, find, machines, history,
// placeholders, clones, rejected, rebuild, copy, serve, collect.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

namespace zavro {

class RegistryCommands {
 public:
  virtual ~RegistryCommands() = default;
  // The exit status of the registry command parsed, or nothing when another
  // command was.
  virtual std::optional<int> run() = 0;
};

// --db, else $ZAVRO_REGISTRY, else the user's data directory's registry.
std::optional<std::string> registry_path(const std::string& db);

std::unique_ptr<RegistryCommands> add_registry_commands(CLI::App& app, const std::string& version);

}  // namespace zavro
