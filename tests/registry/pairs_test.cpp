// One rule set for pairs and fleets: `compare A B` says what the registry says
// of B against a registry holding only A, for every pair of a generated fleet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "reader/read.hpp"
#include "reader/reader.hpp"
#include "registry/fleet.hpp"
#include "registry/identity.hpp"
#include "registry/tie.hpp"

namespace zavro::registry {
namespace {

struct Known {
  reader::FileReport report;
  Identity identity;  // as the registry keeps it beside its machine
  std::vector<ComponentKey> keys;
  int truth = -1;
};

// The verdicts compare may give for what the registry decides.
bool agrees(Match match, reader::Verdict verdict) {
  switch (match) {
    case Match::kSame:
    case Match::kChanged:
      return verdict == reader::Verdict::kSame || verdict == reader::Verdict::kLikelySame;
    case Match::kClone:
      return verdict == reader::Verdict::kPossibleClone;
    case Match::kNew:
      break;
  }
  return verdict == reader::Verdict::kDifferent || verdict == reader::Verdict::kIndeterminate;
}

std::string agreements(const reader::Comparison& c) {
  std::string out;
  for (const reader::Component& component : c.components) {
    out += "MCU"[static_cast<int>(component.agreement)];
  }
  return out;
}

TEST(Pairs, CompareSaysWhatTheRegistrySaysOfEveryPairOfAFleet) {
  fleet::Generator generator({300, 3, 20240611});
  std::vector<Known> known;
  fleet::Report r;
  while (generator.next(r)) {
    Known k;
    k.report = reader::report_of(r.name, r.bytes);
    if (!reader::problem_of(k.report).empty()) continue;  // neither compares nor ties
    // Stored and read back, as the registry weighs a candidate.
    k.identity = *decode_identity(encode(identity_of(k.report.parsed, *k.report.decoded)));
    k.keys = keys_of(k.identity);
    std::sort(k.keys.begin(), k.keys.end());
    k.truth = r.truth_machine;
    known.push_back(std::move(k));
  }

  std::map<std::tuple<std::string, std::string, std::string>, int> disagreements;
  std::map<std::string, int> verdicts;
  for (const Known& a : known) {
    for (const Known& b : known) {
      if (&a == &b) continue;
      const reader::Comparison c =
          reader::compare(a.report.parsed, *a.report.decoded, b.report.parsed, *b.report.decoded);
      // The registry weighs only machines that showed one of the report's keys.
      std::vector<ComponentKey> shared;
      std::set_intersection(a.keys.begin(), a.keys.end(), b.keys.begin(), b.keys.end(),
                            std::back_inserter(shared));
      std::vector<Candidate> candidates;
      if (!shared.empty()) candidates.push_back({1, 1, a.identity});
      const Decision d = tie_report(b.identity, candidates);
      ++verdicts[reader::name_of(c.verdict)];
      if (!agrees(d.match, c.verdict)) {
        ++disagreements[{reader::name_of(c.verdict), name_of(d.match),
                         agreements(c) + (a.truth == b.truth ? " one machine" : " two")}];
      }
    }
  }
  for (const auto& [verdict, count] : verdicts) std::printf("%-15s %d\n", verdict.c_str(), count);
  for (const auto& [what, count] : disagreements) {
    ADD_FAILURE() << "compare " << std::get<0>(what) << ", registry " << std::get<1>(what) << ": "
                  << std::get<2>(what) << " (" << count << " pairs)";
  }
  // Every verdict the registry can reach is reached, so the agreement means something.
  for (const char* verdict : {"same", "likely-same", "possible-clone", "different"}) {
    EXPECT_GT(verdicts[verdict], 0) << verdict;
  }
}

}  // namespace
}  // namespace zavro::registry
