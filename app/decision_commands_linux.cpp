#include <iostream>
#include <utility>
#include <vector>

#include "app/decision_commands.hpp"
#include "reader/output.hpp"
#include "registry/views.hpp"

namespace zavro {
namespace {

using registry::Id;

class Commands final : public DecisionCommands {
 public:
  Commands(CLI::App& app, const std::function<CLI::App*(CLI::App*)>& common) {
    merge_ = decision(common(app.add_subcommand(
        "merge", "Join machines the registry kept apart: their reports become one machine")));
    merge_->add_option("MACHINE", machine_, "the machine the others join")->required();
    merge_->add_option("OTHER", ids_, "machines to join it")->required();
    split_ = decision(common(app.add_subcommand(
        "split", "Take reports from a machine: they form a machine of their own, kept apart")));
    split_->add_option("MACHINE", machine_, "the machine to take them from")->required();
    split_->add_option("RECORD", ids_, "the reports to take")->required();
    void_ = decision(common(app.add_subcommand(
        "void", "Set a report aside: kept and listed, it ties nothing and counts nowhere")));
    void_->add_option("RECORD", machine_, "the report")->required();
    label_ = decision(common(app.add_subcommand("label", "Set or remove a machine's labels")));
    label_->add_option("MACHINE", machine_, "the machine")->required();
    label_->add_option("LABEL", set_, "NAME=VALUE to set (customer, licence, asset tag)");
    label_->add_option("--remove", remove_, "a label to remove; repeatable")->type_name("NAME");
    undo_ = decision(common(app.add_subcommand(
        "undo", "Reverse a decision: the machines become what they would be without it")));
    undo_->add_option("DECISION", machine_, "the decision")->required();
    decisions_ = common(app.add_subcommand("decisions", "Every decision, in order"));
    decisions_->add_option("--limit", limit_, "at most N lines")->check(CLI::PositiveNumber);
    decisions_->add_option("--after", after_, "start after this DECISION")->type_name("DECISION");
    labels_ =
        common(app.add_subcommand("labels", "Each label value, with how many machines carry it"));
    labels_->add_option("--key", key_, "only this label's values")->type_name("NAME");
  }

  bool parsed() const override {
    for (const CLI::App* c : {merge_, split_, void_, label_, undo_, decisions_, labels_}) {
      if (c->parsed()) return true;
    }
    return false;
  }

  bool writes() const override {
    return merge_->parsed() || split_->parsed() || void_->parsed() || label_->parsed() ||
           undo_->parsed();
  }

  std::vector<CLI::App*> write_commands() const override {
    return {merge_, split_, void_, label_, undo_};
  }

  int run(registry::Registry& registry, bool json, const std::string& who) override {
    const auto print = [](const std::string& line) { std::cout << line << '\n'; };
    if (decisions_->parsed()) {
      registry::decisions(registry, {after_, limit_}, json, print);
      return 0;
    }
    if (labels_->parsed()) {
      registry::labels(registry, key_, json, print);
      return 0;
    }
    const registry::Registry::Act act{who, reason_};
    try {
      registry::Correction made;
      if (merge_->parsed()) made = registry.merge(act, machine_, ids_);
      if (split_->parsed()) made = registry.split(act, machine_, ids_);
      if (void_->parsed()) made = registry.void_record(act, machine_);
      if (undo_->parsed()) made = registry.undo(act, machine_);
      if (label_->parsed()) {
        std::vector<std::pair<std::string, std::string>> set;
        for (const std::string& pair : set_) {
          const std::size_t equals = pair.find('=');
          if (equals == std::string::npos) {
            throw registry::Refused("label " + pair + ": give NAME=VALUE");
          }
          set.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
        }
        made = registry.label(act, machine_, set, remove_);
      }
      print(json ? registry::correction_json(made) : registry::correction_text(made));
      return 0;
    } catch (const registry::Refused& e) {
      std::cout.flush();
      std::cerr << "zavro-record: " << reader::terminal_safe(e.what()) << '\n';
      return 1;
    }
  }

 private:
  CLI::App* decision(CLI::App* command) {
    command->add_option("--reason", reason_, "why: kept with the decision")->required();
    return command;
  }

  Id machine_ = 0;
  std::vector<Id> ids_;
  std::vector<std::string> set_;
  std::vector<std::string> remove_;
  std::string reason_;
  std::optional<std::size_t> limit_;
  Id after_ = 0;
  std::optional<std::string> key_;
  CLI::App* merge_ = nullptr;
  CLI::App* split_ = nullptr;
  CLI::App* void_ = nullptr;
  CLI::App* label_ = nullptr;
  CLI::App* undo_ = nullptr;
  CLI::App* decisions_ = nullptr;
  CLI::App* labels_ = nullptr;
};

}  // namespace

std::unique_ptr<DecisionCommands> add_decision_commands(
    CLI::App& app, const std::function<CLI::App*(CLI::App*)>& common) {
  return std::make_unique<Commands>(app, common);
}

}  // namespace zavro
