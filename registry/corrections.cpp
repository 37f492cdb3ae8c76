#include "registry/corrections.hpp"

#include <algorithm>
#include <ctime>
#include <functional>
#include <limits>

#include "reader/output.hpp"
#include "reader/read.hpp"
#include "registry/registry.hpp"
#include "registry/summary.hpp"

namespace zavro::registry {
namespace {

// Labels: names a desk types, values anything printable.
constexpr std::size_t kMaxLabelName = 64;
constexpr std::size_t kMaxLabelValue = 256;
constexpr std::size_t kMaxReason = 1000;

std::vector<Id> records_on(Store& store, Id machine) {
  const auto row = store.machine(machine);
  return row ? records_of(row->records) : std::vector<Id>{};
}

// One group's reports as one machine, named by the first.
void make_machine(Store& store, Tier& tier, const std::vector<Id>& group) {
  MachineRow row;
  row.id = group.front();
  std::optional<Identity> last;
  std::vector<std::int64_t> hashes;
  std::optional<Id> prev;
  for (std::size_t at = 0; at < group.size(); at += kPage) {
    const std::size_t end = std::min(group.size(), at + kPage);
    auto page = store.reports({group.begin() + static_cast<std::ptrdiff_t>(at),
                               group.begin() + static_cast<std::ptrdiff_t>(end)},
                              true);
    store.attach_mail(page);
    for (const StoredReport& r : page) {
      std::vector<ShownValue> shown;
      std::optional<Identity> identity;
      if (auto read = shown_of(r)) {
        identity = tier.without_placeholders(std::move(read->identity));
        shown = std::move(read->values);
        for (const ComponentKey& key : keys_of(*identity)) hashes.push_back(key_hash(key));
      }
      const bool changed = last && identity && marks_changed(changes_between(*last, *identity));
      tier.add_to_summary(row, r.id, r.received, changed, shown);
      store.retie_report(r.id, row.id, prev, r.match, r.rules, r.evidence);
      prev = r.id;
      if (identity) last = std::move(identity);
    }
  }
  row.identity = encode(last.value_or(Identity{}));
  store.put_machine(row, true);
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
  if (!hashes.empty()) store.index(hashes, row.id);
}

// Clone groups again over every link, for the machines whose group may
// have changed: each named by its smallest machine.
void regroup_clones(Store& store, const std::set<Id>& touched) {
  const std::map<Id, Id> groups = clone_groups(store);
  for (const Id id : touched) {
    auto row = store.machine(id);
    if (!row) continue;
    std::optional<Id> group;
    if (const auto it = groups.find(id); it != groups.end()) group = it->second;
    if (row->clone_group != group) {
      row->clone_group = group;
      store.put_machine(*row, false);
    }
  }
}

std::string who_checked(const std::string& who) {
  if (who.empty()) throw Refused("no name to record the decision under");
  return who;
}

// Text a person typed: UTF-8 without control characters, not too long.
void check_text(std::string_view text, std::size_t most, const std::string& what) {
  if (text.find_first_not_of(' ') == std::string_view::npos) throw Refused(what + " is empty");
  if (text.size() > most) {
    throw Refused(what + " is longer than " + std::to_string(most) + " bytes");
  }
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) throw Refused(what + " holds a control character");
  }
  if (reader::terminal_safe(text) != text) throw Refused(what + " is not UTF-8 text");
}

void check_name(std::string_view name) {
  check_text(name, kMaxLabelName, "a label name");
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) {
      throw Refused("label name " + std::string(name) + ": letters, digits, '-', '_' and '.' only");
    }
  }
}

// A machine that exists, or a Refused naming what the id is instead.
MachineRow machine_or_refuse(Store& store, Id id) {
  if (auto row = store.machine(id)) return *row;
  const auto reports = store.reports({id}, false);
  if (reports.empty()) throw Refused("no machine " + std::to_string(id));
  const StoredReport& r = reports.front();
  if (r.machine) {
    throw Refused("record " + std::to_string(id) + " is on machine " + std::to_string(*r.machine));
  }
  if (store.voided(id)) throw Refused("record " + std::to_string(id) + " is void");
  throw Refused("record " + std::to_string(id) + " was rejected");
}

void merge_machines(Store& store, Tier& tier, std::vector<Id> machines) {
  std::sort(machines.begin(), machines.end());
  machines.erase(std::unique(machines.begin(), machines.end()), machines.end());
  if (machines.size() < 2) return;
  std::vector<Id> all;
  for (const Id m : machines) {
    const std::vector<Id> records = records_on(store, m);
    all.insert(all.end(), records.begin(), records.end());
  }
  reform(store, tier, machines, {std::move(all)});
}

// records leave their machines (holders) and form one of their own.
void split_machines(Store& store, Tier& tier, std::vector<Id> holders, std::vector<Id> records) {
  std::sort(holders.begin(), holders.end());
  holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
  std::sort(records.begin(), records.end());
  std::vector<std::vector<Id>> groups;
  for (const Id h : holders) {
    std::vector<Id> rest;
    for (const Id r : records_on(store, h)) {
      if (!std::binary_search(records.begin(), records.end(), r)) rest.push_back(r);
    }
    groups.push_back(std::move(rest));
  }
  groups.push_back(std::move(records));
  reform(store, tier, holders, std::move(groups));
}

void label_machine(Store& store, Id machine, const Correction& c) {
  for (const auto& [name, value] : c.set) store.set_label(machine, name, value);
  for (const std::string& name : c.remove) store.remove_label(machine, name);
}

}  // namespace

void reform(Store& store, Tier& tier, const std::vector<Id>& dissolve_in,
            std::vector<std::vector<Id>> groups) {
  std::vector<Id> dissolve = dissolve_in;
  std::sort(dissolve.begin(), dissolve.end());
  dissolve.erase(std::unique(dissolve.begin(), dissolve.end()), dissolve.end());
  const auto dissolved = [&](Id id) {
    return std::binary_search(dissolve.begin(), dissolve.end(), id);
  };
  groups.erase(std::remove_if(groups.begin(), groups.end(),
                              [](const std::vector<Id>& g) { return g.empty(); }),
               groups.end());
  std::map<Id, Id> group_of;  // record -> the machine it lands on
  for (std::vector<Id>& g : groups) {
    std::sort(g.begin(), g.end());
    for (const Id r : g) group_of[r] = g.front();
  }
  // Where each dissolved machine goes, and the clone groups it was in.
  std::map<Id, Id> to;
  std::set<Id> touched;
  for (const Id d : dissolve) {
    const auto row = store.machine(d);
    if (!row) continue;
    for (const Id r : records_of(row->records)) {
      if (const auto it = group_of.find(r); it != group_of.end()) {
        to[d] = it->second;
        break;
      }
    }
    if (row->clone_group) {
      for (const Id m : store.clone_group(*row->clone_group)) touched.insert(m);
    }
  }
  std::vector<std::pair<Id, Id>> links;
  for (const auto& link : store.clone_links()) {
    if (dissolved(link.first) || dissolved(link.second)) links.push_back(link);
  }
  for (const Id d : dissolve) {
    // A machine with no report left keeps its labels under its id.
    const auto it = to.find(d);
    if (it != to.end() && it->second != d) store.move_labels(d, it->second);
  }
  store.drop_machines(dissolve);
  for (const std::vector<Id>& g : groups) {
    make_machine(store, tier, g);
    touched.insert(g.front());
  }
  const auto moved = [&](Id id) -> std::optional<Id> {
    if (!dissolved(id)) return id;
    const auto it = to.find(id);
    if (it == to.end()) return std::nullopt;
    return it->second;
  };
  for (const auto& [a, b] : links) {
    const auto na = moved(a);
    const auto nb = moved(b);
    if (na && nb && *na != *nb) {
      store.link_clone(*na, *nb);
      touched.insert(*na);
      touched.insert(*nb);
    }
  }
  regroup_clones(store, touched);
}

Replay::Replay(Store& store) : store_(store) {
  store.clear_voided();
  for (Correction& c : store.corrections()) {
    if (c.undone_by) continue;
    switch (c.action) {
      case Action::kVoid:
        for (const Id r : c.records) {
          store.set_voided(r, c.id);
          voided_.insert(r);
        }
        break;
      case Action::kMerge:
      case Action::kSplit:
      case Action::kLabel:
        if (c.machine) named_.insert(*c.machine);
        named_.insert(c.others.begin(), c.others.end());
        named_.insert(c.records.begin(), c.records.end());
        pending_.push_back(std::move(c));
        break;
      case Action::kUndo:
        break;
    }
  }
  std::stable_sort(pending_.begin(), pending_.end(), [](const Correction& a, const Correction& b) {
    return a.position < b.position;
  });
}

void Replay::tied(Id record, Id machine) {
  if (named_.count(record) > 0) holder_[record] = machine;
}

void Replay::before(Id next, Tier& tier) {
  while (next_ < pending_.size() && pending_[next_].position < next) {
    apply(pending_[next_], tier);
    ++next_;
  }
}

void Replay::apply(const Correction& c, Tier& tier) {
  const auto holder = [&](Id record) -> std::optional<Id> {
    const auto it = holder_.find(record);
    if (it == holder_.end()) return std::nullopt;
    return it->second;
  };
  std::vector<Id> holders;
  switch (c.action) {
    case Action::kMerge: {
      std::vector<Id> named{c.machine.value_or(0)};
      named.insert(named.end(), c.others.begin(), c.others.end());
      for (const Id m : named) {
        if (const auto h = holder(m)) holders.push_back(*h);
      }
      merge_machines(store_, tier, holders);
      break;
    }
    case Action::kSplit: {
      std::vector<Id> records;
      for (const Id r : c.records) {
        if (const auto h = holder(r)) {
          holders.push_back(*h);
          records.push_back(r);
        }
      }
      if (records.empty()) return;
      split_machines(store_, tier, holders, records);
      break;
    }
    case Action::kLabel:
      if (const auto h = c.machine ? holder(*c.machine) : std::nullopt) {
        label_machine(store_, *h, c);
      }
      return;
    case Action::kVoid:
    case Action::kUndo:
      return;
  }
  // Where the named reports are now: each machine touched was made again.
  std::sort(holders.begin(), holders.end());
  for (auto& [record, machine] : holder_) {
    if (!std::binary_search(holders.begin(), holders.end(), machine)) continue;
    const auto report = store_.reports({record}, false);
    if (!report.empty() && report.front().machine) machine = *report.front().machine;
  }
}

// --- the registry's side: each decision checked, stored and applied at once.

namespace {

Correction new_correction(Store& store, const Registry::Act& act, Action action) {
  Correction c;
  c.who = who_checked(act.who);
  check_text(act.reason, kMaxReason, "the reason");
  c.reason = act.reason;
  c.action = action;
  c.when = static_cast<std::int64_t>(std::time(nullptr));
  c.id = store.next_correction_id();
  c.position = store.next_id() - 1;
  return c;
}

// The decision's audit row, in its transaction.
void note_decision(Store& store, const Correction& c) {
  std::vector<AuditEntry> audit(1);
  AuditEntry& e = audit.front();
  e.who = c.who;
  e.when = c.when;
  e.action = AuditAction::kDecision;
  e.decision = c.id;
  e.detail = name_of(c.action);
  for (const auto& m : {c.machine, c.formed}) {
    if (m) e.machines.push_back(*m);
  }
  e.machines.insert(e.machines.end(), c.others.begin(), c.others.end());
  std::sort(e.machines.begin(), e.machines.end());
  e.machines.erase(std::unique(e.machines.begin(), e.machines.end()), e.machines.end());
  e.machine_count = static_cast<std::int64_t>(e.machines.size());
  std::vector<Id> records = c.records;
  std::sort(records.begin(), records.end());
  for (const Id r : records) e.add_record(r);
  append_audit(store.database(), audit);
}

// A decision applied: stored with its audit row, and committed.
Correction kept(Store& store, Transaction& write, Correction c) {
  store.insert_correction(c);
  note_decision(store, c);
  write.commit();
  return c;
}

}  // namespace

Correction Registry::merge(const Act& act, Id machine, const std::vector<Id>& others) {
  Store& store = *store_;
  Transaction write(store, true);
  Correction c = new_correction(store, act, Action::kMerge);
  if (others.empty())
    throw Refused("merge: name the machines to join machine " + std::to_string(machine));
  std::vector<Id> all{machine};
  all.insert(all.end(), others.begin(), others.end());
  std::set<Id> seen;
  for (const Id id : all) {
    machine_or_refuse(store, id);
    if (!seen.insert(id).second) throw Refused("machine " + std::to_string(id) + " named twice");
  }
  Tier tier(store);
  merge_machines(store, tier, all);
  c.machine = machine;
  c.others = others;
  c.formed = *seen.begin();
  return kept(store, write, std::move(c));
}

Correction Registry::split(const Act& act, Id machine, const std::vector<Id>& records) {
  Store& store = *store_;
  Transaction write(store, true);
  Correction c = new_correction(store, act, Action::kSplit);
  machine_or_refuse(store, machine);
  if (records.empty())
    throw Refused("split: name the reports to take from machine " + std::to_string(machine));
  std::vector<Id> sorted = records;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    throw Refused("split: a record is named twice");
  }
  const auto found = store.reports(sorted, false);
  for (const Id r : sorted) {
    const auto it =
        std::find_if(found.begin(), found.end(), [r](const StoredReport& s) { return s.id == r; });
    if (it == found.end() || it->machine != machine) {
      throw Refused("record " + std::to_string(r) + " is not on machine " +
                    std::to_string(machine));
    }
    if (r == machine) {
      throw Refused("record " + std::to_string(r) + " is the first report of machine " +
                    std::to_string(machine) + ": split the others from it instead");
    }
  }
  Tier tier(store);
  split_machines(store, tier, {machine}, sorted);
  c.machine = machine;
  c.records = sorted;
  c.formed = sorted.front();
  return kept(store, write, std::move(c));
}

Correction Registry::void_record(const Act& act, Id record) {
  Store& store = *store_;
  Transaction write(store, true);
  Correction c = new_correction(store, act, Action::kVoid);
  const auto found = store.reports({record}, false);
  if (found.empty()) throw Refused("no record " + std::to_string(record));
  const StoredReport& r = found.front();
  if (const auto by = store.voided(record)) {
    throw Refused("record " + std::to_string(record) + " is void already (decision " +
                  std::to_string(*by) + ")");
  }
  if (!r.machine)
    throw Refused("record " + std::to_string(record) + " was rejected: it ties nothing");
  const Id machine = *r.machine;
  std::vector<Id> rest;
  for (const Id id : records_on(store, machine)) {
    if (id != record) rest.push_back(id);
  }
  store.set_voided(record, c.id);
  Tier tier(store);
  reform(store, tier, {machine}, {rest});
  c.machine = machine;
  c.records = {record};
  return kept(store, write, std::move(c));
}

Correction Registry::label(const Act& act, Id machine,
                           const std::vector<std::pair<std::string, std::string>>& set,
                           const std::vector<std::string>& remove) {
  Store& store = *store_;
  Transaction write(store, true);
  Correction c = new_correction(store, act, Action::kLabel);
  machine_or_refuse(store, machine);
  if (set.empty() && remove.empty()) throw Refused("label: nothing to set or remove");
  const auto labels = store.labels_of({machine});
  const auto& held = labels.count(machine) > 0 ? labels.at(machine)
                                               : std::vector<std::pair<std::string, std::string>>{};
  for (const auto& [name, value] : set) {
    check_name(name);
    check_text(value, kMaxLabelValue, "the value of " + name);
  }
  for (const std::string& name : remove) {
    check_name(name);
    if (std::none_of(held.begin(), held.end(), [&](const auto& l) { return l.first == name; })) {
      throw Refused("machine " + std::to_string(machine) + " has no label " + name);
    }
  }
  c.machine = machine;
  c.set = set;
  c.remove = remove;
  label_machine(store, machine, c);
  return kept(store, write, std::move(c));
}

Correction Registry::undo(const Act& act, Id decision) {
  Store& store = *store_;
  Transaction write(store, true);
  Correction c = new_correction(store, act, Action::kUndo);
  const auto found = store.corrections_after(decision - 1, 1);
  if (found.empty() || found.front().id != decision) {
    throw Refused("no decision " + std::to_string(decision));
  }
  const Correction& target = found.front();
  if (target.undone_by) {
    throw Refused("decision " + std::to_string(decision) + " is undone already (by decision " +
                  std::to_string(*target.undone_by) + ")");
  }
  c.undoes = decision;
  c.machine = target.machine;
  store.insert_correction(c);
  store.set_undone(decision, c.id);
  // Undoing an undo: what it reversed stands again.
  if (target.action == Action::kUndo && target.undoes)
    store.set_undone(*target.undoes, std::nullopt);
  tie_again(store, {});
  note_decision(store, c);
  write.commit();
  return c;
}

bool Registry::corrections(Id after, std::optional<std::size_t> limit,
                           const std::function<void(const Correction&)>& each) {
  Transaction read(*store_, false);
  std::size_t left = limit.value_or(std::numeric_limits<std::size_t>::max());
  bool more = false;
  while (!more) {
    auto page = store_->corrections_after(after, kPage);
    if (page.empty()) break;
    after = page.back().id;
    for (const Correction& c : page) {
      if (left == 0) {
        more = true;
        break;
      }
      each(c);
      --left;
    }
  }
  read.commit();
  return more;
}

std::vector<Correction> Registry::corrections_of(Id machine) {
  Transaction read(*store_, false);
  std::vector<Correction> out;
  for (Correction& c : store_->corrections()) {
    const bool named = c.machine == machine || c.formed == machine ||
                       std::find(c.others.begin(), c.others.end(), machine) != c.others.end();
    if (named) out.push_back(std::move(c));
  }
  read.commit();
  return out;
}

std::vector<Store::LabelCount> Registry::labels(const std::optional<std::string>& name) {
  Transaction read(*store_, false);
  auto out = store_->label_counts(name);
  read.commit();
  return out;
}

std::optional<Id> Registry::voided_by(Id record) {
  Transaction read(*store_, false);
  auto by = store_->voided(record);
  read.commit();
  return by;
}

}  // namespace zavro::registry
