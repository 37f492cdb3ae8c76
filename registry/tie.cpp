#include "registry/tie.hpp"

#include <algorithm>
#include <tuple>

#include "reader/json.hpp"
#include "reader/rules.hpp"

namespace zavro::registry {
namespace {

using reader::Agreement;
using Address = std::array<std::uint8_t, 6>;

std::size_t at(Key key) { return static_cast<std::size_t>(key); }

Agreement agree(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return Agreement::kUnusable;
  return *a == *b ? Agreement::kMatch : Agreement::kConflict;
}

Agreement agree(const std::string& a, const std::string& b) {
  return a == b ? Agreement::kMatch : Agreement::kConflict;
}

std::vector<Address> only_in(const std::vector<Address>& a, const std::vector<Address>& b) {
  std::vector<Address> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

std::size_t shared_keys(const Identity& a, const Identity& b, ComponentKey& last) {
  std::size_t n = 0;
  const std::vector<ComponentKey> ka = keys_of(a);
  for (const ComponentKey& key : keys_of(b)) {
    if (std::find(ka.begin(), ka.end(), key) != ka.end()) {
      ++n;
      last = key;
    }
  }
  return n;
}

// The candidate through the one rule set compare uses (reader/rules.hpp).
Weighed weigh(const Identity& r, const Candidate& c) {
  Weighed w;
  w.machine = c.machine;
  w.record = c.record;
  const Identity& k = c.identity;
  reader::PairFacts pair;
  auto& comp = pair.components;
  comp[at(Key::kBiosSerial)] = agree(r.bios, k.bios);
  comp[at(Key::kMotherboardSerial)] = agree(r.board, k.board);
  const reader::AdapterAgreement adapters = reader::adapter_agreement(r.addresses, k.addresses);
  comp[at(Key::kMacAddresses)] = adapters.agreement;
  comp[at(Key::kCpuid)] = agree(r.cpuid, k.cpuid);
  comp[at(Key::kProcessorCount)] = agree(r.count, k.count);
  comp[at(Key::kMachineName)] = agree(r.name_fold, k.name_fold);
  pair.adapters_crossed = adapters.crossed;
  pair.all_virtual = r.all_virtual && k.all_virtual;
  pair.named = !r.name_fold.empty() && comp[at(Key::kMachineName)] == Agreement::kMatch;

  w.components = comp;
  const reader::StrongTally tally = reader::strong_tally(comp);
  w.matches = tally.matches;
  w.conflicts = tally.conflicts;
  switch (reader::verdict_of(pair)) {
    case reader::Verdict::kSame:
    case reader::Verdict::kLikelySame:
      w.weight = Weight::kTied;
      break;
    case reader::Verdict::kPossibleClone:
      w.weight = Weight::kClone;
      break;
    case reader::Verdict::kDifferent:
    case reader::Verdict::kIndeterminate:
      w.weight = Weight::kDifferent;
      break;
  }
  return w;
}

int weak_matches(const Weighed& w) {
  int n = 0;
  for (const Key key : {Key::kCpuid, Key::kProcessorCount, Key::kMachineName}) {
    n += w.components[at(key)] == Agreement::kMatch ? 1 : 0;
  }
  return n;
}

std::string address_text(const Address& a) {
  return display({KeyKind::kAddress, std::string(reinterpret_cast<const char*>(a.data()), 6)});
}

void write_values(reader::JsonLine& json, const char* key, const std::vector<std::string>& values) {
  json.key(key).begin_array();
  for (const std::string& value : values) json.latin1(value);
  json.end_array();
}

}  // namespace

const char* name_of(Weight weight) {
  switch (weight) {
    case Weight::kTied:
      return "tied";
    case Weight::kClone:
      return "clone";
    case Weight::kDifferent:
      break;
  }
  return "different";
}

const char* name_of(Match match) {
  switch (match) {
    case Match::kNew:
      return "new";
    case Match::kSame:
      return "same";
    case Match::kChanged:
      return "changed";
    case Match::kClone:
      break;
  }
  return "clone";
}

Decision tie_report(const Identity& report, const std::vector<Candidate>& candidates) {
  Decision decision;
  const Candidate* best = nullptr;
  std::tuple<int, int, int, Id> best_score{};
  for (const Candidate& candidate : candidates) {
    Weighed w = weigh(report, candidate);
    if (w.weight == Weight::kTied) {
      // Most agreement first; then the machine seen most recently.
      const std::tuple<int, int, int, Id> score{w.matches - w.conflicts, w.matches, weak_matches(w),
                                                candidate.record};
      if (best == nullptr || score > best_score) {
        best = &candidate;
        best_score = score;
      }
    } else if (w.weight == Weight::kClone) {
      decision.clone_of.push_back(candidate.machine);
    } else {
      ComponentKey key;
      if (shared_keys(report, candidate.identity, key) == 1) {
        decision.witnesses.emplace_back(key, candidate.machine);
      }
    }
    decision.weighed.push_back(w);
  }
  if (best != nullptr) {
    decision.machine = best->machine;
    decision.previous = best->record;
    decision.clone_of.clear();
    decision.changes = changes_between(best->identity, report);
    decision.match = decision.changes.empty() ? Match::kSame : Match::kChanged;
  } else {
    decision.match = decision.clone_of.empty() ? Match::kNew : Match::kClone;
  }
  return decision;
}

std::vector<Change> changes_between(const Identity& before, const Identity& after) {
  std::vector<Change> changes;
  const auto value = [&](Key field, const std::string& a, const std::string& b) {
    if (a != b) changes.push_back({field, a, b, {}, {}});
  };
  if (before.cpuid != after.cpuid) value(Key::kCpuid, before.cpuid, after.cpuid);
  if (before.name_fold != after.name_fold) value(Key::kMachineName, before.name, after.name);
  value(Key::kProcessorCount, before.count, after.count);
  const auto removed = only_in(before.addresses, after.addresses);
  const auto added = only_in(after.addresses, before.addresses);
  if (!removed.empty() || !added.empty()) {
    Change change;
    change.field = Key::kMacAddresses;
    for (const Address& a : added) change.added.push_back(address_text(a));
    for (const Address& a : removed) change.removed.push_back(address_text(a));
    changes.push_back(std::move(change));
  }
  value(Key::kBiosSerial, before.bios.value_or(""), after.bios.value_or(""));
  value(Key::kMotherboardSerial, before.board.value_or(""), after.board.value_or(""));
  return changes;
}

std::string changes_text(const std::vector<Change>& changes) {
  std::string text;
  for (const Change& change : changes) {
    if (!text.empty()) text += "; ";
    text += kKeyNames[at(change.field)];
    if (change.field == Key::kMacAddresses) {
      for (const auto& a : change.added) text += " +" + a;
      for (const auto& a : change.removed) text += " -" + a;
    } else {
      text += " " + change.before + " -> " + change.after;
    }
  }
  return text;
}

std::string evidence_json(const Decision& decision) {
  reader::JsonLine json;
  json.begin_object().key("rules").number(reader::kRegistryRulesVersion);
  json.key("weighed").begin_array();
  for (const Weighed& w : decision.weighed) {
    json.begin_object();
    json.key("machine").number(w.machine).key("record").number(w.record);
    json.key("weight").latin1(name_of(w.weight));
    json.key("components").begin_object();
    for (std::size_t i = 0; i < kKeyCount; ++i) {
      json.key(kKeyNames[i]).latin1(reader::name_of(w.components[i]));
    }
    json.end_object().end_object();
  }
  json.end_array();
  if (!decision.clone_of.empty()) {
    json.key("clone_of").begin_array();
    for (const Id id : decision.clone_of) json.number(id);
    json.end_array();
  }
  if (!decision.decisions.empty()) {
    json.key("decisions").begin_array();
    for (const Id id : decision.decisions) json.number(id);
    json.end_array();
  }
  json.key("changes").begin_array();
  for (const Change& change : decision.changes) {
    json.begin_object().key("field").latin1(kKeyNames[at(change.field)]);
    if (change.field == Key::kMacAddresses) {
      write_values(json, "added", change.added);
      write_values(json, "removed", change.removed);
    } else {
      json.key("before").latin1(change.before).key("after").latin1(change.after);
    }
    json.end_object();
  }
  json.end_array().end_object();
  return json.str();
}

}  // namespace zavro::registry
