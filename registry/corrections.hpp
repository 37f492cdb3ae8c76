// People's decisions applied to the machines: a merge, a split or a voided
// report makes the machines it touches again from their reports. The same
// steps run when the decision is made and when rebuild meets it again after
// the report that was the latest then, so both give the same machines.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "registry/store.hpp"
#include "registry/tier.hpp"
#include "registry/types.hpp"

namespace zavro::registry {

// Dissolves machines and makes each group of their reports a machine named
// by its first report, with its summary, index entries, search entries and
// sightings; labels and clone links of a dissolved machine go where its
// first remaining report goes. Reports in no group count in no machine.
void reform(Store& store, Tier& tier, const std::vector<Id>& dissolve,
            std::vector<std::vector<Id>> groups);

// Every report tied again in receipt order, with the decisions that stand
// met where they were made; a first pass learns the placeholders from
// nothing. tick, when given, is called for each report tied.
void tie_again(Store& store, const std::function<void()>& tick);

// The decisions that stand, met again in receipt order by rebuild. Made
// before the first report is tied: it marks the voided reports.
class Replay {
 public:
  explicit Replay(Store& store);
  // Before report next is tied: every decision made before it came.
  void before(Id next, Tier& tier);
  // The end of the reports: the rest.
  void finish(Tier& tier) { before(INT64_MAX, tier); }
  bool voided(Id record) const { return voided_.count(record) > 0; }
  // Where a report went, for the decisions that name it.
  void tied(Id record, Id machine);

 private:
  void apply(const Correction& c, Tier& tier);
  Store& store_;
  std::vector<Correction> pending_;  // merges, splits and labels, in order
  std::size_t next_ = 0;
  std::set<Id> voided_;
  std::set<Id> named_;       // the reports they name
  std::map<Id, Id> holder_;  // where each of those is now
};

}  // namespace zavro::registry
