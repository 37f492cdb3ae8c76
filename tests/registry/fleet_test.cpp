// The registry over a generated fleet whose truth is known: pairwise precision
// and recall as reports arrive and after rebuild, against simpler rules.
#include "registry/fleet.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "record/record.hpp"
#include "registry/registry.hpp"
#include "registry/score.hpp"
#include "support/records.hpp"
#include "support/registry_location.hpp"

namespace {

using zavro::fleet::Generator;
using zavro::fleet::Peer;
using zavro::fleet::Report;
using zavro::fleet::Score;
using zavro::registry::Id;
using zavro::registry::Registry;
using zavro::registry::Status;

// Small enough for a few seconds under AddressSanitizer.
const zavro::fleet::Params kFleet{3000, 4, 20240611};

std::vector<Report> all_of(Generator& generator) {
  std::vector<Report> out;
  Report report;
  while (generator.next(report)) out.push_back(report);
  return out;
}

TEST(Fleet, GoodReportsReadOkBrokenOnesDoNotAndEveryKindOfFileIsThere) {
  Generator generator(kFleet);
  const std::vector<Report> reports = all_of(generator);
  EXPECT_EQ(reports.size(), zavro::fleet::generate(kFleet).size());
  EXPECT_EQ(reports.back().bytes, zavro::fleet::generate(kFleet).back().bytes);

  std::set<std::string> seen;
  for (const Report& r : reports) {
    const auto parsed = zavro::reader::parse(r.bytes);
    if (r.truth_machine < 0) {
      EXPECT_NE(parsed.status, zavro::reader::Status::kOk) << r.name;
      seen.insert(parsed.status == zavro::reader::Status::kAmbiguous ? "ambiguous" : "malformed");
      if (r.bytes.empty()) seen.insert("empty");
      continue;
    }
    ASSERT_EQ(parsed.status, zavro::reader::Status::kOk) << r.name << ": " << parsed.error;
    EXPECT_TRUE(zavro::reader::decode(parsed).cpuid.signature.has_value())
        << r.name << ": " << parsed.value(zavro::Key::kCpuid);
    seen.insert(zavro::reader::name_of(parsed.encoding));
    if (parsed.text_mode) seen.insert("text mode");
  }
  EXPECT_EQ(seen, (std::set<std::string>{"ambiguous", "bytes", "empty", "malformed", "text mode",
                                         "utf-16be", "utf-16le", "utf-8"}));
}

TEST(Fleet, PairCountsAgreeWithCountingEveryPair) {
  std::mt19937_64 random(7);
  for (const int labels : {1, 3, 40}) {
    std::vector<std::int64_t> truth(300);
    std::vector<std::int64_t> machine(300);
    for (std::size_t i = 0; i < truth.size(); ++i) {
      truth[i] = static_cast<std::int64_t>(random() % static_cast<unsigned>(labels));
      machine[i] = static_cast<std::int64_t>(random() % 5);
    }
    std::uint64_t same_truth = 0;
    std::uint64_t same_machine = 0;
    std::uint64_t both = 0;
    for (std::size_t i = 0; i < truth.size(); ++i) {
      for (std::size_t j = i + 1; j < truth.size(); ++j) {
        same_truth += truth[i] == truth[j];
        same_machine += machine[i] == machine[j];
        both += truth[i] == truth[j] && machine[i] == machine[j];
      }
    }
    const Score s = zavro::fleet::score(truth, machine);
    EXPECT_EQ(s.true_pairs, same_truth) << labels;
    EXPECT_EQ(s.put_pairs, same_machine) << labels;
    EXPECT_EQ(s.right_pairs, both) << labels;
  }
}

std::string record(const std::string& name, const std::string& addresses, const std::string& bios,
                   const std::string& board) {
  return zavro::record_from_values({"BFEBFBFF906EA40458", name, "8", addresses, bios, board});
}

TEST(Fleet, PeersTieBySerialThenAddressThenName) {
  const std::string x = "<M0>A4:BB:6D:00:00:01</M0>";
  const std::string y = "<M0>A4:BB:6D:00:00:02</M0>";
  const std::vector<std::string> reports = {
      record("PC-1", x, "CZC1", "Default string"),
      record("pc-1", y, " czc1 ", "B"),                      // the same serial, trimmed, any case
      record("PC-2", x, "To be filled by O.E.M.", "MB1"),    // board serial; x seen on PC-1
      record("PC-2", y, "0000000", ""),                      // no serial; y seen
      record("PC-3", "<M0>06:00:00:00:00:03</M0>", "", ""),  // a local address ties nothing
      record("PC-3", "", "None", "not found"),
  };
  const std::vector<std::pair<Peer, std::vector<std::int64_t>>> table = {
      {Peer::kSerial, {0, 0, 1, 2, 3, 4}},
      {Peer::kSerialName, {0, 0, 1, 2, 3, 3}},  // the key is the serial or else the name
      {Peer::kSerialAddressName, {0, 0, 0, 0, 1, 1}},
  };
  for (const auto& [peer, expected] : table) {
    EXPECT_EQ(zavro::fleet::peer_machines(peer, reports), expected) << name_of(peer);
  }
}

std::vector<std::pair<Id, Id>> pairs_of(const std::vector<zavro::registry::Assignment>& list) {
  std::vector<std::pair<Id, Id>> out;
  out.reserve(list.size());
  for (const auto& a : list) out.emplace_back(a.record, a.machine.value_or(-1));
  return out;
}

struct Added {
  std::vector<zavro::registry::Outcome> outcomes;
  std::vector<std::pair<Id, Id>> assignments;
};

Added add_all(Registry& registry, const std::vector<Report>& reports) {
  Added added;
  auto adder = registry.adder("fleet", [&added](const zavro::registry::Outcome& outcome) {
    added.outcomes.push_back(outcome);
  });
  for (const Report& r : reports) {
    zavro::registry::Item item;
    item.name = r.name;
    item.bytes = r.bytes;
    adder->push(std::move(item));
  }
  adder->finish();
  added.assignments = pairs_of(registry.assignments());
  return added;
}

void print_row(const char* grouping, const Score& s) {
  std::printf("| %-36s | %9.5f | %9.5f | %9.5f |\n", grouping, s.precision, s.recall, s.f1);
}

// A desk corrects every mistake the registry made on the fleet: reports of
// another machine split out, then each machine's pieces merged. On the
// reports those decisions touch, pairs are then exactly the truth, and stay
// so through rebuild.
TEST(Fleet, OperatorCorrectionsMakeTheirPairsExactThroughRebuild) {
  Generator generator(kFleet);
  const std::vector<Report> reports = all_of(generator);
  zavro::testing::TempDir dir;
  auto registry = Registry::open(zavro::testing::registry_location(dir, "corrected"), true);
  const Added added = add_all(*registry, reports);
  std::map<Id, std::int64_t> truth_of;  // stored record -> truth machine
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const auto& outcome = added.outcomes[i];
    if (outcome.status == Status::kStored && outcome.machine) {
      truth_of[outcome.record] = reports[i].truth_machine;
    }
  }
  const auto machines_now = [&] {
    std::map<Id, Id> at;
    for (const auto& a : registry->assignments()) {
      if (a.machine && truth_of.count(a.record) > 0) at[a.record] = *a.machine;
    }
    return at;
  };
  const Registry::Act act{"desk", "checked against the asset list"};
  std::set<std::int64_t> touched;  // truth machines a decision touched
  // Splits: each machine keeps its first report's truth; the others leave.
  std::map<Id, std::map<std::int64_t, std::vector<Id>>> holds;
  for (const auto& [record, machine] : machines_now()) {
    holds[machine][truth_of.at(record)].push_back(record);
  }
  for (const auto& [machine, by_truth] : holds) {
    if (by_truth.size() < 2) continue;
    for (const auto& [t, records] : by_truth) {
      touched.insert(t);
      if (t != truth_of.at(machine)) registry->split(act, machine, records);
    }
  }
  // Merges: every truth machine on one machine.
  std::map<std::int64_t, std::set<Id>> pieces;
  for (const auto& [record, machine] : machines_now()) pieces[truth_of.at(record)].insert(machine);
  for (const auto& [t, on] : pieces) {
    if (on.size() < 2) continue;
    touched.insert(t);
    registry->merge(act, *on.begin(), {std::next(on.begin()), on.end()});
  }
  ASSERT_FALSE(touched.empty()) << "the fleet should hold mistakes to correct";
  std::size_t decisions = 0;
  registry->corrections(0, std::nullopt, [&](const auto&) { ++decisions; });
  const auto touched_score = [&] {
    std::vector<std::int64_t> truth;
    std::vector<std::int64_t> machine;
    for (const auto& [record, m] : machines_now()) {
      if (touched.count(truth_of.at(record)) == 0) continue;
      truth.push_back(truth_of.at(record));
      machine.push_back(m);
    }
    return zavro::fleet::score(truth, machine);
  };
  const Score corrected = touched_score();
  print_row("touched pairs, corrected", corrected);
  std::printf("%zu decisions over %zu truth machines\n", decisions, touched.size());
  EXPECT_EQ(corrected.precision, 1.0);
  EXPECT_EQ(corrected.recall, 1.0);
  registry->rebuild([](const zavro::registry::Move&) {});
  const Score rebuilt = touched_score();
  EXPECT_EQ(rebuilt.precision, 1.0);
  EXPECT_EQ(rebuilt.recall, 1.0);
}

TEST(Fleet, RegistryTiesTheFleetBetterThanPeers) {
  Generator generator(kFleet);
  const std::vector<Report> reports = all_of(generator);
  zavro::testing::TempDir dir;
  auto registry = Registry::open(zavro::testing::registry_location(dir, "registry"), true);
  const Added added = add_all(*registry, reports);
  ASSERT_EQ(added.outcomes.size(), reports.size());

  // Scored: every report stored from a truth machine, once.
  std::vector<std::int64_t> truth;
  std::vector<std::int64_t> arriving;
  std::vector<Id> records;
  std::vector<std::string> bytes;
  std::unordered_set<std::string> sent;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const Report& r = reports[i];
    const auto& outcome = added.outcomes[i];
    ASSERT_EQ(outcome.file, r.name);
    const bool again = !sent.insert(r.bytes).second;
    const Status expected = again                 ? Status::kDuplicate
                            : r.truth_machine < 0 ? Status::kRejected
                                                  : Status::kStored;
    EXPECT_EQ(name_of(outcome.status), std::string(name_of(expected))) << r.name;
    if (expected != Status::kStored || outcome.status != Status::kStored) continue;
    ASSERT_TRUE(outcome.machine.has_value()) << r.name;
    truth.push_back(r.truth_machine);
    arriving.push_back(*outcome.machine);
    records.push_back(outcome.record);
    bytes.push_back(r.bytes);
  }

  std::size_t moved = 0;
  registry->rebuild([&moved](const zavro::registry::Move&) { ++moved; });
  const auto rebuilt = pairs_of(registry->assignments());
  std::size_t differ = 0;
  ASSERT_EQ(rebuilt.size(), added.assignments.size());
  for (std::size_t i = 0; i < rebuilt.size(); ++i) differ += rebuilt[i] != added.assignments[i];
  EXPECT_EQ(moved, differ) << "every report that moved, and only those, reaches the sink";

  std::size_t moved_again = 0;
  registry->rebuild([&moved_again](const zavro::registry::Move&) { ++moved_again; });
  EXPECT_EQ(moved_again, 0u);
  EXPECT_EQ(pairs_of(registry->assignments()), rebuilt) << "rebuild twice";
  {
    auto fresh = Registry::open(zavro::testing::registry_location(dir, "fresh"), true);
    EXPECT_EQ(add_all(*fresh, reports).assignments, added.assignments) << "same inputs";
  }

  std::map<Id, Id> after;
  for (const auto& [record_id, machine] : rebuilt) after[record_id] = machine;
  std::vector<std::int64_t> after_rebuild;
  after_rebuild.reserve(records.size());
  for (const Id record_id : records) after_rebuild.push_back(after.at(record_id));

  const Score ours = zavro::fleet::score(truth, arriving);
  const Score ours_rebuilt = zavro::fleet::score(truth, after_rebuild);
  std::printf("%zu reports from %d machines (%zu scored, %llu pairs from one machine), seed %llu\n",
              reports.size(), generator.machines(), truth.size(),
              static_cast<unsigned long long>(ours.true_pairs),
              static_cast<unsigned long long>(kFleet.seed));
  std::printf("| %-36s | %9s | %9s | %9s |\n", "grouping", "precision", "recall", "F1");
  std::printf("|%s|----------:|----------:|----------:|\n", std::string(38, '-').c_str());
  print_row("registry, as reports arrive", ours);
  print_row("registry, after rebuild", ours_rebuilt);
  const auto describe = [&generator](std::int64_t t) {
    return generator.scenario(static_cast<int>(t));
  };
  for (const Peer peer : {Peer::kSerial, Peer::kSerialName, Peer::kSerialAddressName}) {
    const Score peer_score = zavro::fleet::score(truth, zavro::fleet::peer_machines(peer, bytes));
    print_row(name_of(peer), peer_score);
    // Better: a higher F1 without giving up precision.
    EXPECT_GT(ours.f1, peer_score.f1) << name_of(peer);
    EXPECT_GE(ours.precision, peer_score.precision) << name_of(peer);
    EXPECT_GT(ours_rebuilt.f1, peer_score.f1) << name_of(peer);
    EXPECT_GE(ours_rebuilt.precision, peer_score.precision) << name_of(peer);
  }
  // Where the registry parts from the truth, worst first: what the rules should fix next.
  std::printf("as reports arrive:\n%s",
              zavro::fleet::explain(truth, arriving, describe, 8).c_str());
  std::printf("after rebuild:\n%s",
              zavro::fleet::explain(truth, after_rebuild, describe, 8).c_str());
  EXPECT_GE(ours.precision, 0.99);
  EXPECT_GE(ours.recall, 0.98);
  EXPECT_GE(ours_rebuilt.precision, 0.999);
  EXPECT_GE(ours_rebuilt.recall, 0.98);
}

}  // namespace
