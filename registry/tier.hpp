// Ties reports against a store: the lookups and writes around the pure rules
// of registry/tie.hpp, and what each tie changes of its machine's summary.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "registry/identity.hpp"
#include "registry/store.hpp"
#include "registry/summary.hpp"
#include "registry/tie.hpp"

namespace zavro::registry {

class Tier {
 public:
  // The learned placeholders are few: read once, kept in memory.
  explicit Tier(Store& store);
  Tier(Store& store, std::set<ComponentKey> learned);

  const std::set<ComponentKey>& learned() const { return learned_; }
  // Ties name the decisions that made or kept the machine they tie to.
  void steer();
  Identity without_placeholders(Identity identity) const;

  // The decision for an identity without its placeholders.
  Decision decide(const Identity& identity);

  // Records the decision for report id, whose identity decide() saw last,
  // received at received and showing shown; returns its machine.
  Id record(Id id, std::int64_t received, const Identity& identity, const Decision& decision,
            const std::vector<ShownValue>& shown);

  // What a machine's summary gains from one more report (changed: it changed
  // an address, a serial or the name): its search entries, and the
  // placeholders it was seen with, are written too.
  void add_to_summary(MachineRow& row, Id id, std::int64_t received, bool changed,
                      const std::vector<ShownValue>& shown);

 private:
  bool placeholder(const ComponentKey& key) const { return learned_.count(key) > 0; }
  void join_clones(MachineRow& row, const std::vector<Id>& clone_of);

  Store& store_;
  std::set<ComponentKey> learned_;
  // The last decided report's key hashes, and what the index held for them.
  std::vector<std::int64_t> hashes_;
  std::vector<std::pair<std::int64_t, Id>> indexed_;
  std::map<Id, std::vector<Id>> steered_;  // machine -> decisions
};

// Fills each machine's summary, its search entries and its placeholders'
// sightings from the ties already stored: a registry migrating to the schema
// that keeps them.
void summarize(Store& store);

// What a stored report shows, read again from its bytes: its identity (with
// every value) and what summaries and search keep of it, its sender's
// address included. Nothing when it does not decode.
struct Shown {
  Identity identity;
  std::vector<ShownValue> values;
};
std::optional<Shown> shown_of(const StoredReport& stored);

// Every machine with a clone link, and its clone group: the smallest
// machine linked to it, directly or not.
std::map<Id, Id> clone_groups(Store& store);

// Whether a tie's changes mark its machine changed: an address, a serial or
// the name.
bool marks_changed(const std::vector<Change>& changes);

}  // namespace zavro::registry
