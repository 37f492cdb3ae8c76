#include "registry/tier.hpp"

#include <algorithm>
#include <map>
#include <string_view>

#include "reader/read.hpp"
#include "reader/rules.hpp"

namespace zavro::registry {
namespace {

KeyKind kind_of(ValueKind kind) {
  switch (kind) {
    case ValueKind::kBios:
      return KeyKind::kBiosSerial;
    case ValueKind::kBoard:
      return KeyKind::kBoardSerial;
    case ValueKind::kName:
    case ValueKind::kAddress:
    case ValueKind::kSender:
      break;
  }
  return KeyKind::kAddress;
}

// Stored evidence of a changed tie names the fields that changed.
bool evidence_marks_changed(std::string_view evidence) {
  const std::size_t changes = evidence.find("\"changes\":[");
  if (changes == std::string_view::npos) return false;
  const std::string_view rest = evidence.substr(changes);
  for (const Key key :
       {Key::kMacAddresses, Key::kBiosSerial, Key::kMotherboardSerial, Key::kMachineName}) {
    const std::string field =
        std::string("{\"field\":\"") + kKeyNames[static_cast<std::size_t>(key)] + "\"";
    if (rest.find(field) != std::string_view::npos) return true;
  }
  return false;
}

std::set<ComponentKey> learned_of(Store& store) {
  const std::vector<ComponentKey> all = store.learned();
  return {all.begin(), all.end()};
}

}  // namespace

bool marks_changed(const std::vector<Change>& changes) {
  return std::any_of(changes.begin(), changes.end(), [](const Change& c) {
    return c.field == Key::kMacAddresses || c.field == Key::kBiosSerial ||
           c.field == Key::kMotherboardSerial || c.field == Key::kMachineName;
  });
}

Tier::Tier(Store& store) : Tier(store, learned_of(store)) {}
Tier::Tier(Store& store, std::set<ComponentKey> learned)
    : store_(store), learned_(std::move(learned)) {}

Identity Tier::without_placeholders(Identity identity) const {
  drop_placeholders(identity, [this](const ComponentKey& key) { return placeholder(key); });
  return identity;
}

Decision Tier::decide(const Identity& identity) {
  hashes_.clear();
  for (const ComponentKey& key : keys_of(identity)) hashes_.push_back(key_hash(key));
  indexed_ = hashes_.empty() ? decltype(indexed_)() : store_.machines_with(hashes_);
  std::vector<Id> machines;
  machines.reserve(indexed_.size());
  for (const auto& entry : indexed_) machines.push_back(entry.second);
  std::sort(machines.begin(), machines.end());
  machines.erase(std::unique(machines.begin(), machines.end()), machines.end());
  std::vector<Candidate> candidates;
  candidates.reserve(machines.size());
  for (const Id id : machines) {
    const MachineRow* row = store_.peek_machine(id);
    if (row == nullptr) continue;
    auto known = decode_identity(row->identity);
    if (!known) {
      throw Error("registry " + store_.location() + ": damaged (machine " + std::to_string(id) +
                  ")");
    }
    drop_placeholders(*known, [this](const ComponentKey& key) { return placeholder(key); });
    candidates.push_back({id, row->latest, std::move(*known)});
  }
  Decision decision = tie_report(identity, candidates);
  if (decision.machine) {
    if (const auto it = steered_.find(*decision.machine); it != steered_.end()) {
      decision.decisions = it->second;
    }
  }
  return decision;
}

void Tier::steer() {
  steered_.clear();
  for (const Correction& c : store_.corrections()) {
    if (c.undone_by || c.action == Action::kLabel || c.action == Action::kUndo) continue;
    for (const auto& m : {c.machine, c.formed}) {
      if (m) steered_[*m].push_back(c.id);
    }
  }
  for (auto& [machine, ids] : steered_) ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

Id Tier::record(Id id, std::int64_t received, const Identity& identity, const Decision& decision,
                const std::vector<ShownValue>& shown) {
  const Id machine = decision.machine.value_or(id);
  const bool fresh = !decision.machine;
  MachineRow row;
  row.id = machine;
  if (!fresh) {
    auto known = store_.machine(machine);
    if (!known) {
      throw Error("registry " + store_.location() + ": damaged (machine " +
                  std::to_string(machine) + ")");
    }
    row = std::move(*known);
  }
  add_to_summary(row, id, received,
                 decision.match == Match::kChanged && marks_changed(decision.changes), shown);
  row.identity = encode(identity);
  if (fresh) join_clones(row, decision.clone_of);
  store_.put_machine(row, fresh);
  // Most reports come from a known machine that showed the same keys before.
  std::vector<std::int64_t> unseen;
  for (const std::int64_t hash : hashes_) {
    if (std::find(indexed_.begin(), indexed_.end(), std::make_pair(hash, machine)) ==
        indexed_.end()) {
      unseen.push_back(hash);
    }
  }
  if (!unseen.empty()) store_.index(unseen, machine);
  for (const auto& [key, other] : decision.witnesses) {
    store_.witness(key, other);
    if (store_.witness(key, machine) >= reader::kLearnAfterMachines &&
        learned_.insert(key).second) {
      store_.learn(key);
    }
  }
  return machine;
}

void Tier::add_to_summary(MachineRow& row, Id id, std::int64_t received, bool changed,
                          const std::vector<ShownValue>& shown) {
  if (row.reports == 0) {
    row.first_received = received;
    row.records.clear();
    add_record(row.records, 0, id);
  } else {
    add_record(row.records, row.latest, id);
  }
  row.latest = id;
  ++row.reports;
  row.last_received = received;
  row.changed = row.changed || changed;
  for (const ShownValue& value : shown) {
    if (value.kind == ValueKind::kName) add_name(row.names, value.value);
    const std::uint64_t hash = value.hash();
    if (has_seen(row.seen, hash)) continue;
    add_seen(row.seen, hash);
    store_.add_search(
        row.id, value.kind == ValueKind::kAddress ? search::Field::kAddress : search::Field::kText,
        value.folded);
    if (value.listed_placeholder) {
      store_.sight({kind_of(value.kind), value.value}, row.id);
    } else if (const auto key = key_of(value); key && placeholder(*key)) {
      store_.sight(*key, row.id);
    }
  }
}

// A new machine that copies others joins their group: the smallest machine
// of all of them names it, and groups it bridges become one.
void Tier::join_clones(MachineRow& row, const std::vector<Id>& clone_of) {
  Id group = row.id;
  std::vector<MachineRow> others;
  for (const Id id : clone_of) {
    auto other = store_.machine(id);
    if (!other) continue;
    group = std::min(group, other->clone_group.value_or(other->id));
    others.push_back(std::move(*other));
  }
  for (MachineRow& other : others) {
    store_.link_clone(row.id, other.id);
    if (!other.clone_group) {
      other.clone_group = group;
      store_.put_machine(other, false);
    } else if (*other.clone_group != group) {
      store_.regroup(*other.clone_group, group);
    }
  }
  if (!others.empty()) row.clone_group = group;
}

void summarize(Store& store) {
  Tier tier(store);
  for (Id after = 0;;) {
    const auto page = store.reports_after(after, kPage, true);
    if (page.empty()) break;
    for (const StoredReport& stored : page) {
      after = stored.id;
      if (!stored.machine) continue;
      const reader::FileReport report = reader::report_of({}, stored.bytes);
      auto row = store.machine(*stored.machine);
      if (!report.decoded || !row) continue;
      const bool changed = stored.match == "changed" && evidence_marks_changed(stored.evidence);
      tier.add_to_summary(*row, stored.id, stored.received, changed,
                          shown_values(report.parsed, *report.decoded));
      store.put_machine(*row, false);
    }
    store.settle();
  }
  for (const auto& [id, group] : clone_groups(store)) {
    auto row = store.machine(id);
    if (!row) continue;
    row->clone_group = group;
    store.put_machine(*row, false);
  }
}

std::optional<Shown> shown_of(const StoredReport& stored) {
  const reader::FileReport report = reader::report_of({}, stored.bytes);
  if (!report.decoded) return std::nullopt;
  Shown shown{identity_of(report.parsed, *report.decoded),
              shown_values(report.parsed, *report.decoded)};
  if (stored.mail && !stored.mail->sender.empty()) {
    shown.values.push_back(sender_value(stored.mail->sender));
  }
  return shown;
}

std::map<Id, Id> clone_groups(Store& store) {
  std::map<Id, Id> parent;
  const auto root = [&](Id id) {
    while (parent.at(id) != id) id = parent[id] = parent.at(parent.at(id));
    return id;
  };
  for (const auto& [a, b] : store.clone_links()) {
    parent.emplace(a, a);
    parent.emplace(b, b);
    const Id ra = root(a);
    const Id rb = root(b);
    if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
  }
  std::map<Id, Id> group;
  for (const auto& entry : parent) group.emplace(entry.first, root(entry.first));
  return group;
}

}  // namespace zavro::registry
