// zavro-record's commands for people's decisions (Linux): merge, split,
// void, label, undo, decisions, labels.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry.hpp"

namespace zavro {

class DecisionCommands {
 public:
  virtual ~DecisionCommands() = default;
  virtual bool parsed() const = 0;
  // Whether the command parsed writes to the registry, and the commands that do.
  virtual bool writes() const = 0;
  virtual std::vector<CLI::App*> write_commands() const = 0;
  // The exit status of the command parsed: 1 for a decision refused.
  virtual int run(registry::Registry& registry, bool json, const std::string& who) = 0;
};

// common adds the options every registry command takes (--db, --json).
std::unique_ptr<DecisionCommands> add_decision_commands(
    CLI::App& app, const std::function<CLI::App*(CLI::App*)>& common);

}  // namespace zavro
