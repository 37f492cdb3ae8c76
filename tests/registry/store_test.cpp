// The store on each engine (PostgreSQL when ZAVRO_TEST_PG names a server):
// what the registry relies on of write batches, snapshots and the listings'
// queries, and registries of every earlier schema, one of them made by the
// previous release (tests/data/registry), brought to this one.
#include "registry/store.hpp"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "registry/accounts.hpp"
#include "registry/registry.hpp"
#include "registry/schema.hpp"
#include "registry/summary.hpp"
#include "support/registry_location.hpp"
#include "support/temp_dir.hpp"

namespace zavro::registry {
namespace {

enum class Engine { kSqlite, kPostgres };

const char* name_of(Engine engine) { return engine == Engine::kSqlite ? "sqlite" : "postgres"; }
void PrintTo(Engine engine, std::ostream* out) { *out << name_of(engine); }

std::vector<Engine> engines() {
  const char* pg = std::getenv("ZAVRO_TEST_PG");
  if (pg == nullptr || *pg == '\0') return {Engine::kSqlite};
  return {Engine::kSqlite, Engine::kPostgres};
}

std::string report(const std::string& name, const std::string& mac, const std::string& bios,
                   const std::string& board, int count = 2) {
  return "<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>" + name + "</MachineName>" +
         "<ProcessorCount>" + std::to_string(count) + "</ProcessorCount><MacAddresses><M0>" + mac +
         "</M0></MacAddresses><BiosSerial>" + bios + "</BiosSerial><MotherboardSerial>" + board +
         "</MotherboardSerial></Node>";
}

// The reports the previous release's registries hold, as it was given them:
// a changed machine, one renamed, a serial four machines share (learned), a
// copied virtual machine, a rejected report and listed placeholders.
std::vector<std::string> fleet() {
  const std::string nic = "00:1B:21:3A:4F:";
  return {report("host-a", nic + "06", "PF2ABCDE", "L1HF65E00X9"),
          report("host-a", nic + "06", "PF2ABCDE", "L1HF65E00X8"),
          report("other-host", nic + "10", "MXQ4410Z0K", "9C2KV33"),
          report("lab-1", nic + "21", "LAB0042", "LB1A"),
          report("lab-2", nic + "22", "LAB0042", "LB2A"),
          report("lab-3", nic + "23", "LAB0042", "LB3A"),
          report("lab-4", nic + "24", "LAB0042", "LB4A"),
          report("vm-1", "00:50:56:01:02:11", "CLN123", "CLNMB"),
          report("vm-2", "00:50:56:01:02:12", "CLN123", "CLNMB"),
          "<Node><Cpuid>zz",
          report("host-p", nic + "08", "To be filled by O.E.M.", "Default string"),
          report("host-a", nic + "06", "PF2ABCDE", "L1HF65E00X9", 4),
          report("other-host2", nic + "10", "MXQ4410Z0K", "9C2KV33")};
}

std::string file_of(std::size_t i) { return (i < 9 ? "r0" : "r") + std::to_string(i + 1) + ".txt"; }

Item item(std::string name, std::string bytes) {
  Item out;
  out.name = std::move(name);
  out.bytes = std::move(bytes);
  return out;
}

// Three runs of add, the second with a note.
void fill(Registry& registry) {
  const std::vector<std::string> sent = fleet();
  const std::vector<std::pair<std::size_t, const char*>> runs = {{2, ""}, {7, "T-7"}, {13, ""}};
  std::size_t at = 0;
  for (const auto& [end, note] : runs) {
    auto adder = registry.adder(note, [](const Outcome&) {});
    for (; at < end; ++at) adder->push(item(file_of(at), sent[at]));
    adder->finish();
  }
}

// What the previous release listed of those reports (machines --json,
// placeholders, clones, rejected). Two fields mean more today: a rename marks
// a machine changed (machine 3 was not), and a learned placeholder counts
// every machine that reported it (it listed LAB0042 with its 3 witnesses).
struct MachineFact {
  Id id;
  std::vector<Id> records;
  std::vector<std::string> names;
  bool clone;
  bool changed;
};
const std::vector<MachineFact> kMachines = {
    {1, {1, 2, 12}, {"host-a"}, false, true},
    {3, {3, 13}, {"other-host", "other-host2"}, false, true},
    {4, {4}, {"lab-1"}, false, false},
    {5, {5}, {"lab-2"}, false, false},
    {6, {6}, {"lab-3"}, false, false},
    {7, {7}, {"lab-4"}, false, false},
    {8, {8}, {"vm-1"}, true, false},
    {9, {9}, {"vm-2"}, true, false},
    {11, {11}, {"host-p"}, false, false}};
const std::vector<std::optional<Id>> kTiedTo = {1, 1, 3, 4, 5, 6, 7, 8, 9, std::nullopt, 11, 1, 3};
using PlaceholderFact = std::tuple<KeyKind, std::string, bool, std::int64_t>;
const std::vector<PlaceholderFact> kPlaceholders = {
    {KeyKind::kBiosSerial, "LAB0042", true, 4},
    {KeyKind::kBiosSerial, "To be filled by O.E.M.", false, 1},
    {KeyKind::kBoardSerial, "Default string", false, 1}};
const char* const kReason = "malformed: expected 3 to 21 Cpuid digits 0-9A-F at byte 13";

template <typename T>
std::vector<Id> ids_of(const std::vector<T>& rows) {
  std::vector<Id> ids;
  for (const T& row : rows) ids.push_back(row.id);
  return ids;
}

// Every listing the views page through, as the store answers it.
void expect_listings(Store& store) {
  store.begin_read();
  std::vector<MachineRow> machines;
  for (Id after = 0;;) {  // pages of 4, the last one short
    const auto page = store.machines_after(after, 4);
    if (page.empty()) break;
    machines.insert(machines.end(), page.begin(), page.end());
    after = page.back().id;
  }
  ASSERT_EQ(machines.size(), kMachines.size());
  const auto reports = store.reports_after(0, 100, false);
  ASSERT_EQ(reports.size(), kTiedTo.size());
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].id, static_cast<Id>(i + 1));
    EXPECT_EQ(reports[i].file, file_of(i));
    EXPECT_EQ(reports[i].note, i >= 2 && i < 7 ? "T-7" : "") << i;
    EXPECT_EQ(reports[i].machine, kTiedTo[i]) << i;
  }
  for (std::size_t i = 0; i < machines.size(); ++i) {
    const MachineRow& row = machines[i];
    const MachineFact& fact = kMachines[i];
    ASSERT_EQ(row.id, fact.id);
    EXPECT_EQ(records_of(row.records), fact.records) << row.id;
    EXPECT_EQ(row.reports, static_cast<std::int64_t>(fact.records.size())) << row.id;
    EXPECT_EQ(row.latest, fact.records.back()) << row.id;
    const auto received = [&](Id id) { return reports[static_cast<std::size_t>(id - 1)].received; };
    EXPECT_EQ(row.first_received, received(fact.records.front())) << row.id;
    EXPECT_EQ(row.last_received, received(fact.records.back())) << row.id;
    EXPECT_EQ(names_of(row.names), fact.names) << row.id;
    EXPECT_EQ(row.clone_group.has_value(), fact.clone) << row.id;
    EXPECT_EQ(row.changed, fact.changed) << row.id;
  }
  EXPECT_EQ(ids_of(store.machines({11, 2, 9, 4})), (std::vector<Id>{4, 9, 11}));
  const auto rejected = store.rejected_after(0, 100);
  ASSERT_EQ(ids_of(rejected), std::vector<Id>{10});
  EXPECT_EQ(rejected[0].reason, kReason);
  EXPECT_EQ(rejected[0].bytes, fleet()[9]);
  EXPECT_EQ(store.clone_groups_after(0, 10), std::vector<Id>{8});
  EXPECT_TRUE(store.clone_groups_after(8, 10).empty());
  EXPECT_EQ(store.clone_group(8), (std::vector<Id>{8, 9}));
  std::vector<PlaceholderFact> placeholders;
  for (const auto& p : store.placeholders()) {
    placeholders.emplace_back(p.key.kind, p.key.value, p.learned, p.machines);
  }
  EXPECT_EQ(placeholders, kPlaceholders);
  const std::vector<std::pair<const char*, std::vector<Id>>> searches = {
      {"lab-", {4, 5, 6, 7}}, {"1b-21.3A:4F:06", {1}}, {"l1hf65e00x8", {1}},   {"OTHER-HOST2", {3}},
      {"cln123", {8, 9}},     {"o.e.m", {11}},         {"nothing-like-it", {}}};
  for (const auto& [text, found] : searches) {
    EXPECT_EQ(store.search(search::query_of(text)), found) << text;
  }
  store.end_read();
  // Every report is found by its bytes.
  store.begin_write();
  const auto sent = fleet();
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const auto known = store.find_digest(sha256(sent[i]));
    ASSERT_TRUE(known) << i;
    EXPECT_EQ(known->record, static_cast<Id>(i + 1));
    EXPECT_EQ(known->machine, kTiedTo[i]);
  }
  store.rollback();
}

class StoreTest : public ::testing::TestWithParam<Engine> {
 protected:
  // A new registry's place on this test's engine.
  std::string place(const std::string& name) {
    if (GetParam() == Engine::kSqlite) return dir_ / (name + ".sqlite");
    return zavro::testing::registry_location(dir_, name);
  }

  zavro::testing::TempDir dir_;
};

StoredReport rejected_report(Id id, const Digest& digest) {
  StoredReport r;
  r.id = id;
  r.digest = digest;
  r.file = "f" + std::to_string(id);
  r.received = 1700000000 + id;
  r.bytes = "junk";
  r.reason = "why " + std::to_string(id);
  r.evidence = "{}";
  return r;
}

Id commit_one(Store& store, const Digest& digest) {
  store.begin_write();
  const Id id = store.next_id();
  store.insert_report(rejected_report(id, digest));
  store.commit();
  return id;
}

// A digest whose tag (the first eight bytes) is given.
Digest digest(std::uint8_t tag, std::uint8_t tail) {
  Digest d{};
  d.fill(tag);
  d.back() = tail;
  return d;
}

TEST_P(StoreTest, ACommittedBatchIsSeenAndARolledBackOneLeavesNothing) {
  const std::string at = place("batch");
  auto writer = Store::open(at, true);
  auto reader = Store::open(at, false);
  const Id first = commit_one(*writer, digest(1, 1));

  writer->begin_write();
  const Id lost = writer->next_id();
  StoredReport tied = rejected_report(lost, digest(2, 1));
  tied.machine = lost;
  tied.match = "new";
  writer->insert_report(tied);
  writer->put_machine({lost, lost, "identity", 1, 1, 1, false, {}, {}, {}, {}}, true);
  writer->index({42}, lost);
  writer->link_clone(lost, first);
  writer->sight({KeyKind::kBiosSerial, "X"}, lost);
  writer->add_search(lost, search::Field::kText, "gone");
  writer->flush();
  writer->rollback();

  const Id second = commit_one(*writer, digest(3, 1));
  EXPECT_GT(second, first) << "ids grow in receipt order";
  reader->begin_read();
  EXPECT_EQ(ids_of(reader->reports_after(0, 10, false)), (std::vector<Id>{first, second}));
  EXPECT_TRUE(reader->machines_after(0, 10).empty());
  EXPECT_TRUE(reader->index_after({INT64_MIN, 0}, 10).empty());
  EXPECT_TRUE(reader->clone_links().empty());
  EXPECT_TRUE(reader->placeholders().empty());
  EXPECT_TRUE(reader->search(search::query_of("gone")).empty());
  reader->end_read();
  reader->begin_write();
  EXPECT_FALSE(reader->find_digest(digest(2, 1)));
  EXPECT_EQ(reader->find_digest(digest(3, 1))->record, second);
  reader->rollback();
}

TEST_P(StoreTest, FindDigestTellsDigestsThatShareATagApart) {
  const std::string at = place("digests");
  auto writer = Store::open(at, true);
  const Id a = commit_one(*writer, digest(7, 1));
  const Id b = commit_one(*writer, digest(7, 2));
  const Id c = commit_one(*writer, digest(8, 1));
  const std::vector<std::pair<Digest, std::optional<Id>>> rows = {{digest(7, 1), a},
                                                                  {digest(7, 2), b},
                                                                  {digest(8, 1), c},
                                                                  {digest(7, 3), {}},
                                                                  {digest(9, 1), {}}};
  std::vector<Digest> all;
  for (const auto& row : rows) all.push_back(row.first);
  for (const bool prefetched : {false, true}) {
    auto store = Store::open(at, false);
    store->begin_write();
    if (prefetched) store->prefetch(all, {});
    for (const auto& [d, id] : rows) {
      const auto known = store->find_digest(d);
      ASSERT_EQ(known.has_value(), id.has_value()) << int(d[0]) << "/" << int(d.back());
      if (!known) continue;
      EXPECT_EQ(known->record, *id);
      EXPECT_FALSE(known->machine);
      EXPECT_EQ(known->reason, "why " + std::to_string(*id));
    }
    store->rollback();
  }
}

TEST_P(StoreTest, ASnapshotHoldsWhileAnotherStoreCommitsAndVersionMovesOnlyOnCommit) {
  const std::string at = place("snapshot");
  auto writer = Store::open(at, true);
  auto reader = Store::open(at, false);
  const Id first = commit_one(*writer, digest(1, 1));
  const auto version = [&] {
    reader->begin_read();
    const std::int64_t v = reader->version();
    reader->end_read();
    return v;
  };
  const std::int64_t before = version();
  writer->begin_write();
  writer->insert_report(rejected_report(writer->next_id(), digest(2, 1)));
  writer->rollback();
  EXPECT_EQ(version(), before) << "a rolled-back batch";

  reader->begin_read();
  ASSERT_EQ(ids_of(reader->reports_after(0, 10, false)), std::vector<Id>{first});
  const Id second = commit_one(*writer, digest(3, 1));
  EXPECT_EQ(ids_of(reader->reports_after(0, 10, false)), std::vector<Id>{first});
  EXPECT_EQ(ids_of(reader->rejected_after(0, 10)), std::vector<Id>{first});
  reader->end_read();
  EXPECT_NE(version(), before);
  reader->begin_read();
  EXPECT_EQ(ids_of(reader->reports_after(0, 10, false)), (std::vector<Id>{first, second}));
  reader->end_read();
}

TEST_P(StoreTest, ListingsAnswerAlikeOnEveryEngineAndAfterRebuild) {
  const std::string at = place("views");
  auto registry = Registry::open(at, true);
  fill(*registry);
  auto store = Store::open(at, false);
  expect_listings(*store);

  struct Page {
    const char* text;
    Id after;
    std::size_t limit;
    std::vector<Id> ids;
    bool more;
  };
  const std::vector<Page> pages = {{"", 0, 3, {1, 3, 4}, true}, {"", 8, 1, {9}, true},
                                   {"", 9, 1, {11}, false},     {"", 11, 5, {}, false},
                                   {"lab", 4, 2, {5, 6}, true}, {"lab", 5, 2, {6, 7}, false}};
  for (const Page& p : pages) {
    std::vector<Id> ids;
    const bool more = registry->machines({p.text, p.after, p.limit, {}, {}},
                                         [&](const MachineListing& m) { ids.push_back(m.row.id); });
    EXPECT_EQ(ids, p.ids) << p.text << " after " << p.after;
    EXPECT_EQ(more, p.more) << p.text << " after " << p.after;
  }
  EXPECT_FALSE(registry->rejected(0, 1, [](const StoredReport& r) { EXPECT_EQ(r.id, 10); }));
  EXPECT_FALSE(registry->clones(0, 1, [](const CloneGroup& g) {
    EXPECT_EQ(g.machines, (std::vector<Id>{8, 9}));
  }));

  // A rebuild counts placeholders afresh, whatever was kept.
  store->begin_write();
  store->database().run({9902, "UPDATE placeholder SET machines = machines + 7"});
  store->commit();
  registry->rebuild([](const Move& m) { ADD_FAILURE() << "moved " << m.record; });
  expect_listings(*store);
}

// Past a page, listings read the next page while the last is shown: every
// machine comes once and in order, and a caller that stops mid-way stops it.
TEST_P(StoreTest, ALongListingComesWholeAndStopsWithItsCaller) {
  auto registry = Registry::open(place("long"), true);
  constexpr int kMachinesMade = 2600;
  {
    auto adder = registry->adder("", [](const Outcome&) {});
    for (int i = 0; i < kMachinesMade; ++i) {
      char mac[18];
      std::snprintf(mac, sizeof mac, "00:1B:21:%02X:%02X:%02X", i >> 16, (i >> 8) & 255, i & 255);
      adder->push(item("m" + std::to_string(i),
                       report("host-" + std::to_string(i), mac, "S" + std::to_string(i), "B")));
    }
    adder->finish();
  }
  for (const std::optional<std::size_t> limit : {std::optional<std::size_t>{}, {2100}}) {
    std::vector<Id> ids;
    std::size_t with_bytes = 0;
    const bool more = registry->machines({"", 0, limit, {}, {}}, [&](const MachineListing& m) {
      ids.push_back(m.row.id);
      with_bytes += m.latest.id == m.row.latest && !m.latest.bytes.empty() ? 1 : 0;
    });
    EXPECT_EQ(ids.size(), limit.value_or(kMachinesMade));
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()) &&
                std::adjacent_find(ids.begin(), ids.end()) == ids.end());
    EXPECT_EQ(with_bytes, ids.size());
    EXPECT_EQ(more, limit.has_value());
  }
  // A search that hits every machine twice (its name and serial hold "s").
  std::vector<Id> all;
  std::vector<Id> hit;
  registry->machines({"", 0, {}, {}, {}},
                     [&](const MachineListing& m) { all.push_back(m.row.id); });
  registry->machines({"s", 0, {}, {}, {}},
                     [&](const MachineListing& m) { hit.push_back(m.row.id); });
  EXPECT_EQ(hit, all);
  int shown = 0;
  EXPECT_THROW(registry->machines({"", 0, {}, {}, {}},
                                  [&](const MachineListing&) {
                                    if (++shown == 1500) throw std::runtime_error("stop");
                                  }),
               std::runtime_error);
  EXPECT_EQ(shown, 1500);
  // The registry answers again once the listing has let go.
  std::size_t again = 0;
  registry->machines({"", 0, {}, {}, {}}, [&](const MachineListing&) { ++again; });
  EXPECT_EQ(again, static_cast<std::size_t>(kMachinesMade));
}

// A search for a first page takes chunks by their lowest machine and stops
// once no chunk left can come first: a machine seen again later sits in a
// chunk written after many others (here r, last, holding machine 5).
TEST_P(StoreTest, AFirstPageOfHitsIsTheFullSearchsBeginning) {
  auto store = Store::open(place("paged"), true);
  store->begin_write();
  for (Id chunk = 0; chunk < 40; ++chunk) {
    search::ChunkBuilder builder;
    for (Id m = chunk * 100 + 1; m <= chunk * 100 + 100; ++m) {
      builder.add(m, search::Field::kText, "m" + std::to_string(m));
    }
    for (const std::string& c : builder.finish()) store->insert_search_chunk(chunk + 1, c);
  }
  search::ChunkBuilder late;
  late.add(5, search::Field::kText, "r7");
  late.add(3999, search::Field::kAddress,
           search::hex_address(std::string_view("\x00\x1b\x21\x00\x00\x07", 6)));
  store->insert_search_chunk(41, late.finish().at(0));
  store->commit();
  store->begin_read();
  const struct {
    const char* text;
    Id after;
    std::size_t enough;
  } pages[] = {{"7", 0, 1},    {"7", 5, 2},      {"m3", 0, 3},  {"00:07", 0, 1},
               {"7", 3990, 5}, {"m", 2000, 150}, {"m", 4000, 1}};
  for (const auto& p : pages) {
    std::vector<Id> all = store->search(search::query_of(p.text));
    all.erase(all.begin(), std::upper_bound(all.begin(), all.end(), p.after));
    all.resize(std::min(all.size(), p.enough));
    EXPECT_EQ(store->search(search::query_of(p.text), p.after, p.enough), all)
        << p.text << " after " << p.after;
  }
  EXPECT_EQ(store->search(search::query_of("7"), 0, 1), std::vector<Id>{5});
  store->end_read();
}

// Mail rows go with their reports' batch, and a folder's mark with its batch.
TEST_P(StoreTest, MailAndCollectMarksAreWrittenWithTheirBatch) {
  auto store = Store::open(place("mail"), true);
  const auto mailed = [](Id id, const Digest& d, const std::string& sender, bool no_report) {
    StoredReport r = rejected_report(id, d);
    r.mail = MailOrigin{sender, sender + ".1", 1704103200, "hello \x1b"};
    r.no_report = no_report;
    return r;
  };
  store->begin_write();
  store->insert_report(mailed(store->next_id(), digest(1, 1), "gone@example.com", true));
  store->set_collect_mark("imaps://f", {7, 9, 9});
  store->flush();
  store->rollback();
  store->begin_write();
  const Id plain = store->next_id();
  store->insert_report(rejected_report(plain, digest(2, 1)));
  const Id message = store->next_id();
  store->insert_report(mailed(message, digest(3, 1), "a@example.com", true));
  const Id report = store->next_id();
  store->insert_report(mailed(report, digest(4, 1), "b@example.com", false));
  store->set_collect_mark("imaps://f", {7, 9, 8});
  store->set_collect_mark("imaps://f", {7, 10, 10});
  store->commit();

  store->begin_read();
  EXPECT_EQ(ids_of(store->rejected_after(0, 10)), (std::vector<Id>{plain, report}));
  const auto messages = store->no_report_after(0, 10);
  ASSERT_EQ(ids_of(messages), std::vector<Id>{message});
  EXPECT_EQ(messages[0].bytes, "junk");
  EXPECT_TRUE(messages[0].no_report);
  EXPECT_EQ(messages[0].mail->sender, "a@example.com");
  auto all = store->reports_after(0, 10, true);
  store->attach_mail(all);
  ASSERT_EQ(ids_of(all), (std::vector<Id>{plain, message, report}));
  EXPECT_FALSE(all[0].mail);
  ASSERT_TRUE(all[2].mail);
  EXPECT_FALSE(all[2].no_report);
  EXPECT_EQ(all[2].mail->sender, "b@example.com");
  EXPECT_EQ(all[2].mail->message_id, "b@example.com.1");
  EXPECT_EQ(all[2].mail->date, 1704103200);
  EXPECT_EQ(all[2].mail->subject, "hello \x1b");
  const auto mark = store->collect_mark("imaps://f");
  ASSERT_TRUE(mark);
  EXPECT_EQ(std::tie(mark->uidvalidity, mark->last_uid, mark->settled_uid),
            std::make_tuple(7U, 10U, 10U));
  EXPECT_FALSE(store->collect_mark("imaps://g"));
  store->end_read();
}

// The version where the previous release reads it: SQLite's user_version,
// the version row on a server.
int stamped(const std::string& at) {
  if (!is_postgres_uri(at)) return sql::open_sqlite(at, false)->legacy_version().value_or(-1);
  auto db = sql::open_postgres(at);
  sql::Rows rows = db->query({9901, "SELECT value FROM registry_meta WHERE name = 'schema'"});
  return rows.next() ? static_cast<int>(rows.integer(0)) : -1;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// What people's decisions change: each report's machine, each machine's
// reports and whom search finds, and the labels.
struct Tied {
  std::vector<std::optional<Id>> machine_of;
  std::vector<std::pair<Id, std::vector<Id>>> machines;
  std::vector<Id> found;  // by "vm-2"
  std::vector<std::tuple<Id, std::string, std::string>> labels;
  bool operator==(const Tied& o) const {
    return std::tie(machine_of, machines, found, labels) ==
           std::tie(o.machine_of, o.machines, o.found, o.labels);
  }
};

void PrintTo(const Tied& t, std::ostream* out) {
  *out << "tied:";
  for (const auto& m : t.machine_of) *out << ' ' << (m ? std::to_string(*m) : "-");
  *out << "; machines:";
  for (const auto& [id, records] : t.machines) {
    *out << ' ' << id << '{';
    for (const Id r : records) *out << r << ',';
    *out << '}';
  }
  *out << "; vm-2:";
  for (const Id id : t.found) *out << ' ' << id;
  *out << "; labels:";
  for (const auto& [id, name, value] : t.labels) *out << ' ' << id << ':' << name << '=' << value;
}

Tied tied(const std::string& at) {
  auto store = Store::open(at, false);
  store->begin_read();
  Tied t;
  for (const StoredReport& r : store->reports_after(0, 100, false))
    t.machine_of.push_back(r.machine);
  for (const MachineRow& row : store->machines_after(0, 100)) {
    t.machines.emplace_back(row.id, records_of(row.records));
  }
  t.found = store->search(search::query_of("vm-2"));
  t.labels = store->labels_all();
  // The kept placeholder counts follow every way sightings change.
  std::map<std::pair<KeyKind, std::string>, std::int64_t> counted, kept;
  for (const auto& [key, machine] : store->sightings()) ++counted[{key.kind, key.value}];
  for (const auto& p : store->placeholders()) kept[{p.key.kind, p.key.value}] = p.machines;
  EXPECT_EQ(kept, counted);
  EXPECT_FALSE(counted.empty());
  store->end_read();
  return t;
}

TEST_P(StoreTest, DecisionsHoldThroughRebuildAndCopyAndUndoRestoresExactly) {
  const std::string at = place("decisions");
  auto registry = Registry::open(at, true);
  fill(*registry);
  const Registry::Act act{"ana", "checked by phone"};
  using Label = std::vector<std::pair<std::string, std::string>>;
  struct Step {
    std::function<Correction()> make;
    std::vector<std::optional<Id>> machine_of;  // after it
  };
  const std::optional<Id> none;
  const std::vector<Step> steps = {
      {[&] { return registry->merge(act, 9, {8}); }, {1, 1, 3, 4, 5, 6, 7, 8, 8, none, 11, 1, 3}},
      {[&] { return registry->split(act, 1, {12}); }, {1, 1, 3, 4, 5, 6, 7, 8, 8, none, 11, 12, 3}},
      {[&] {
         return registry->label(act, 3, Label{{"customer", "Acme"}}, {});
       },
       {1, 1, 3, 4, 5, 6, 7, 8, 8, none, 11, 12, 3}},
      {[&] {
         return registry->label(act, 4, Label{{"customer", "Bolt"}, {"tag", "A-1"}}, {});
       },
       {1, 1, 3, 4, 5, 6, 7, 8, 8, none, 11, 12, 3}},
      {[&] { return registry->merge(act, 3, {4}); }, {1, 1, 3, 3, 5, 6, 7, 8, 8, none, 11, 12, 3}},
      {[&] { return registry->void_record(act, 13); },
       {1, 1, 3, 3, 5, 6, 7, 8, 8, none, 11, 12, none}},
  };
  std::vector<Tied> states{tied(at)};
  for (const Step& step : steps) {
    step.make();
    states.push_back(tied(at));
    EXPECT_EQ(states.back().machine_of, step.machine_of) << states.size() - 1;
  }
  const Tied& last = states.back();
  EXPECT_EQ(last.found, std::vector<Id>{8});  // vm-2's machine is vm-1's now
  // The merge kept machine 3's own customer and took machine 4's tag.
  using LabelRow = std::tuple<Id, std::string, std::string>;
  EXPECT_EQ(last.labels, (std::vector<LabelRow>{{3, "customer", "Acme"}, {3, "tag", "A-1"}}));
  std::vector<std::pair<Id, std::vector<Id>>> expected = {
      {1, {1, 2}}, {3, {3, 4}}, {5, {5}}, {6, {6}}, {7, {7}}, {8, {8, 9}}, {11, {11}}, {12, {12}}};
  EXPECT_EQ(last.machines, expected);

  registry->rebuild([](const Move& m) { ADD_FAILURE() << "moved " << m.record; });
  EXPECT_EQ(tied(at), last);
  {  // people and robots go with a copy, their secrets as digests still
    auto store = Store::open(at, false);
    Accounts accounts(*store);
    accounts.add_user({"ana", Role::kDesk, hash_password("correct horse"), 1700000000});
    accounts.add_token({"intake", Scope::kIntake, sha256("t0k3n"), 1700000000, {}, {}});
  }
  const std::string copy = place("decisions_copy");
  Registry::open(copy, true)->copy_from(*registry);
  EXPECT_EQ(tied(copy), last);
  {
    auto store = Store::open(copy, false);
    Accounts accounts(*store);
    const auto ana = accounts.user("ana");
    ASSERT_TRUE(ana);
    EXPECT_EQ(ana->role, Role::kDesk);
    EXPECT_TRUE(verify_password("correct horse", ana->hash));
    ASSERT_EQ(accounts.tokens().size(), 1U);
    EXPECT_EQ(accounts.tokens()[0].digest, sha256("t0k3n"));
  }
  Registry::open(copy, false)->rebuild([](const Move& m) { ADD_FAILURE() << m.record; });
  EXPECT_EQ(tied(copy), last);

  // A new report of the merged machine names the merge that steered it.
  const Outcome found =
      registry->find(item("new", report("vm-2", "00:50:56:01:02:12", "CLN123", "CLNMB", 4)));
  EXPECT_EQ(found.machine, 8);
  EXPECT_NE(found.evidence.find("\"decisions\":[1]"), std::string::npos) << found.evidence;

  // Each refused, and nothing changed.
  const std::vector<std::pair<const char*, std::function<Correction()>>> refused = {
      {"no machine 99", [&] { return registry->merge(act, 1, {99}); }},
      {"record 2 is on machine 1", [&] { return registry->merge(act, 1, {2}); }},
      {"record 4 is on machine 3",
       [&] {
         return registry->label(act, 4, Label{{"a", "b"}}, {});
       }},
      {"first report", [&] { return registry->split(act, 1, {1}); }},
      {"not on machine 1", [&] { return registry->split(act, 1, {3}); }},
      {"void already", [&] { return registry->void_record(act, 13); }},
      {"was rejected", [&] { return registry->void_record(act, 10); }},
      {"letters, digits",
       [&] {
         return registry->label(act, 1, Label{{"a b", "x"}}, {});
       }},
      {"control character",
       [&] {
         return registry->label(act, 1, Label{{"a", "x\x1b[2J"}}, {});
       }},
      {"has no label", [&] { return registry->label(act, 1, {}, {"customer"}); }},
      {"reason is empty",
       [&] {
         return registry->merge({"ana", ""}, 1, {3});
       }},
      {"no decision 99", [&] { return registry->undo(act, 99); }},
  };
  for (const auto& [message, make] : refused) {
    try {
      make();
      ADD_FAILURE() << message;
    } catch (const Refused& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
    EXPECT_EQ(tied(at), last) << message;
  }

  // Undone last to first, each undo gives back the machines before it.
  for (Id decision = static_cast<Id>(steps.size()); decision >= 1; --decision) {
    const Correction undo = registry->undo(act, decision);
    EXPECT_EQ(tied(at), states[static_cast<std::size_t>(decision - 1)]) << decision;
    if (decision == 1) {
      registry->undo(act, undo.id);  // and undoing that undo brings it back
      EXPECT_EQ(tied(at), states[1]);
    }
  }
  EXPECT_THROW(registry->undo(act, 2), Refused);  // undone already
}

// A search chunk as registries before schema 5 wrote it: one name of machine 7.
std::string old_chunk() {
  const std::string name = "legacy-name";
  std::string out = "Z2";
  const auto put = [&out](auto v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); };
  put(std::uint32_t{1});  // the names' count and runs: machine 7 from the first
  put(std::uint32_t{1});
  put(std::int64_t{7});
  put(std::uint32_t{0});
  put(static_cast<std::uint16_t>(name.size()));  // where it ends
  put(std::uint32_t{0});                         // no addresses
  put(std::uint32_t{0});
  put(static_cast<std::uint32_t>(name.size() + 1));
  return out + name + '\0';
}

TEST_P(StoreTest, EveryEarlierSchemaIsBroughtToThisOne) {
  for (const Migration& m : migrations()) {
    if (m.version >= kDatabaseVersion) continue;
    SCOPED_TRACE(m.version);
    const std::string at = place("at" + std::to_string(m.version));
    {
      auto old = Store::open_at(at, m.version);
      commit_one(*old, digest(1, 1));
      if (m.version >= 2 && m.version < 5) {  // search came with schema 2, this form went in 5
        old->begin_write();
        old->database().run({9903, "INSERT INTO search (id, entries) VALUES ($1, $2)"},
                            sql::Params().integer(1).bytes(old_chunk()));
        old->commit();
      }
    }
    EXPECT_EQ(stamped(at), m.version);
    auto registry = Registry::open(at, false);
    EXPECT_EQ(stamped(at), kDatabaseVersion);
    std::optional<Id> machine;
    auto adder = registry->adder("", [&](const Outcome& o) { machine = o.machine; });
    adder->push(item("new", report("pc", "00:1B:21:00:00:01", "S", "B")));
    adder->finish();
    EXPECT_EQ(machine, 2);
    auto store = Store::open(at, false);
    store->begin_read();
    EXPECT_EQ(ids_of(store->rejected_after(0, 10)), std::vector<Id>{1});
    EXPECT_EQ(store->search(search::query_of("pc")), std::vector<Id>{2});
    if (m.version >= 2 && m.version < 5) {
      EXPECT_EQ(store->search(search::query_of("LEGACY")), std::vector<Id>{7});
      for (const auto& [id, chunk] : store->search_chunks_after(0, 100)) {
        EXPECT_FALSE(search::is_old(chunk)) << id;
      }
    }
    store->end_read();
  }
}

TEST_P(StoreTest, APreviousReleaseRegistryIsBroughtToThisSchemaWhole) {
  const std::string data = ZAVRO_REGISTRY_DATA_DIR;
  const std::string at = place("previous");
  if (GetParam() == Engine::kSqlite) {
    std::filesystem::copy_file(data + "/v1.sqlite", at);
  } else {
    PGconn* conn = PQconnectdb(at.c_str());
    PGresult* result = PQexec(conn, read_file(data + "/v1-postgres.sql").c_str());
    const bool restored =
        PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    const std::string error = PQerrorMessage(conn);
    PQclear(result);
    PQfinish(conn);
    ASSERT_TRUE(restored) << error;
  }
  ASSERT_EQ(stamped(at), 1);
  auto registry = Registry::open(at, false);
  // Past what the previous release reads: it refuses the registry now.
  EXPECT_EQ(stamped(at), kDatabaseVersion);
  auto store = Store::open(at, false);
  expect_listings(*store);

  // New reports tie to the machines the previous release made.
  const std::string nic = "00:1B:21:3A:4F:";
  const std::vector<std::tuple<std::string, Id, std::string>> later = {
      {report("host-a", nic + "07", "PF2ABCDE", "L1HF65E00X9", 4), 1, "changed"},
      {report("vm-2", "00:50:56:01:02:12", "CLN123", "CLNMB", 4), 9, "changed"},
      {report("lab-5", nic + "25", "LAB0042", "LB5A"), 16, "new"}};
  std::vector<Outcome> outcomes;
  auto adder = registry->adder("", [&](const Outcome& o) { outcomes.push_back(o); });
  for (const auto& [bytes, machine, match] : later) adder->push(item("later", bytes));
  adder->finish();
  ASSERT_EQ(outcomes.size(), later.size());
  for (std::size_t i = 0; i < later.size(); ++i) {
    EXPECT_EQ(outcomes[i].machine, std::get<1>(later[i])) << i;
    EXPECT_EQ(outcomes[i].match, std::get<2>(later[i])) << i;
  }
  store->begin_read();
  EXPECT_EQ(records_of(store->machine(1)->records), (std::vector<Id>{1, 2, 12, 14}));
  EXPECT_EQ(store->placeholders().front().machines, 5) << "lab-5 reported LAB0042 too";
  store->end_read();
}

std::string engine_name(const ::testing::TestParamInfo<Engine>& engine) {
  return name_of(engine.param);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::ValuesIn(engines()), engine_name);

}  // namespace
}  // namespace zavro::registry
