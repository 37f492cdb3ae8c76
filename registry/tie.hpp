// Which known machine a report comes from: the registry's rules, pure, over
// identities the caller found through the index of strong keys.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "registry/identity.hpp"
#include "registry/types.hpp"

namespace zavro::registry {

// A known machine, as its latest report describes it.
struct Candidate {
  Id machine = 0;
  Id record = 0;
  Identity identity;
};

enum class Weight { kTied, kClone, kDifferent };
const char* name_of(Weight weight);

struct Weighed {
  Id machine = 0;
  Id record = 0;
  std::array<reader::Agreement, kKeyCount> components{};  // indexed by Key
  int matches = 0;                                        // strong components that agree
  int conflicts = 0;                                      // strong components that disagree
  Weight weight = Weight::kDifferent;
};

// One component that differs between two reports of a machine.
struct Change {
  Key field = Key::kMachineName;
  std::string before;  // the value (serials, name, count, Cpuid)
  std::string after;
  std::vector<std::string> added;  // addresses
  std::vector<std::string> removed;
};

enum class Match { kNew, kSame, kChanged, kClone };
const char* name_of(Match match);

struct Decision {
  std::optional<Id> machine;  // the machine tied to; unset: a new one
  Id previous = 0;            // its latest report, weighed against
  Match match = Match::kNew;
  std::vector<Weighed> weighed;  // every candidate, in the order given
  std::vector<Id> clone_of;      // machines this one is a copy of
  std::vector<Change> changes;   // against the tied machine's latest report
  // Values that were the only strong agreement with a machine the report was
  // set apart from: evidence that the value identifies nothing.
  std::vector<std::pair<ComponentKey, Id>> witnesses;
  // People's decisions that made or kept the machine tied to.
  std::vector<Id> decisions;
};

Decision tie_report(const Identity& report, const std::vector<Candidate>& candidates);

// What differs from one report of a machine to the next.
std::vector<Change> changes_between(const Identity& before, const Identity& after);

// What changed, as one line: "MacAddresses +A4:BB:6D:00:1B:EF; MachineName A -> B".
std::string changes_text(const std::vector<Change>& changes);

// The decision as one JSON object: rules version, candidates, changes.
std::string evidence_json(const Decision& decision);

}  // namespace zavro::registry
