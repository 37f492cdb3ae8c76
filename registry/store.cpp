#include "registry/store.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

#include "reader/read.hpp"
#include "reader/rules.hpp"
#include "registry/evidence_pack.hpp"
#include "registry/schema.hpp"
#include "registry/summary.hpp"

namespace zavro::registry {
namespace {

using sql::Bulk;
using sql::Params;
using sql::Rows;
using sql::Statement;
using sql::Type;

// Pending rows sent early, so that memory stays flat however long the batch.
constexpr std::size_t kPendingBytes = 8 << 20;
constexpr std::size_t kPendingRows = 100000;
constexpr std::size_t kCachedRows = 30000;
// Chunks written by small batches (one request to a server) are joined once
// this many more than one a range are smaller than half a chunk, so a search
// reads few rows.
constexpr std::int64_t kMostSmallChunks = 32;

// Every statement the store runs, one text for both engines (tokens: sql.hpp).
#define MACHINE_COLUMNS                                                                 \
  "id, latest, identity, reports, first_received, last_received, changed, clone_group," \
  " names, records, seen"
#define REPORT_COLUMNS \
  "id, digest, file, received, note, reason, machine, match, rules, evidence, prev"

const Statement kNextId{1, "SELECT coalesce(max(id), 0) + 1 FROM report"};
const Statement kDigests{2, "SELECT id, machine, digest, reason FROM report WHERE tag {in $1}"};
const Statement kKeys{3, "SELECT key, machine FROM component WHERE key {in $1}"};
const Statement kMachinesIn{4, "SELECT " MACHINE_COLUMNS " FROM machine WHERE id {in $1}"};
const Statement kMachinesAfter{
    5, "SELECT " MACHINE_COLUMNS " FROM machine WHERE id > $1 ORDER BY id LIMIT $2"};
const Statement kListedAfter{41,
                             "SELECT id, latest, NULL, reports, first_received, last_received,"
                             " changed, clone_group, names, records, NULL FROM machine"
                             " WHERE id > $1 ORDER BY id LIMIT $2"};
const Statement kReportsAfter{
    6, "SELECT " REPORT_COLUMNS " FROM report WHERE id > $1 ORDER BY id LIMIT $2"};
const Statement kReportsAfterBytes{
    7, "SELECT " REPORT_COLUMNS ", bytes FROM report WHERE id > $1 ORDER BY id LIMIT $2"};
const Statement kReportsIn{8, "SELECT " REPORT_COLUMNS " FROM report WHERE id {in $1}"};
const Statement kReportsInBytes{9, "SELECT " REPORT_COLUMNS ", bytes FROM report WHERE id {in $1}"};
const Statement kReportBytesIn{38, "SELECT id, file, bytes FROM report WHERE id {in $1}"};
const Statement kRejectedAfter{10, "SELECT " REPORT_COLUMNS
                                   ", bytes FROM report WHERE machine IS NULL AND id > $1"
                                   " AND NOT EXISTS (SELECT 1 FROM mail WHERE mail.report ="
                                   " report.id AND mail.no_report = 1) AND NOT EXISTS (SELECT"
                                   " 1 FROM voided WHERE voided.report = report.id)"
                                   " ORDER BY id LIMIT $2"};
const Statement kWitness{
    11, "INSERT INTO witness (kind, value, machine) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING"};
const Statement kWitnessCount{12, "SELECT count(*) FROM witness WHERE kind = $1 AND value = $2"};
const Statement kLearn{13,
                       "INSERT INTO learned (kind, value) VALUES ($1, $2) ON CONFLICT DO NOTHING"};
const Statement kLearned{14, "SELECT kind, value FROM learned ORDER BY kind, value"};
const Statement kMachinesOfKey{15, "SELECT machine FROM component WHERE key = $1"};
const Statement kCloneGroupsAfter{16,
                                  "SELECT DISTINCT clone_group FROM machine WHERE clone_group IS"
                                  " NOT NULL AND clone_group > $1 ORDER BY clone_group LIMIT $2"};
const Statement kCloneGroup{17, "SELECT id FROM machine WHERE clone_group = $1 ORDER BY id"};
const Statement kCloneMembers{40,
                              "SELECT clone_group, id FROM machine WHERE clone_group {in $1}"
                              " ORDER BY clone_group, id"};
const Statement kRegroup{18, "UPDATE machine SET clone_group = $2 WHERE clone_group = $1"};
// From the kept counts (schema.cpp): a few rows a value, however many sightings.
const Statement kPlaceholders{19,
                              "SELECT p.kind, p.value, p.machines, (SELECT count(*) FROM learned l"
                              " WHERE l.kind = p.kind AND l.value = p.value) FROM placeholder p"
                              " ORDER BY p.kind, p.value"};
const Statement kSearchAfter{20,
                             "SELECT id, entries FROM search WHERE id > $1 ORDER BY id LIMIT $2"};
// Chunks by their lowest machine: a search that needs only the first hits
// takes them in this order and stops once no chunk left can come before.
const Statement kSearchSpans{43,
                             "SELECT id, low FROM search WHERE high > $1 ORDER BY low, high, id"};
const Statement kSearchChunks{44, "SELECT id, entries FROM search WHERE id {in $1}"};
// On a server, only the chunks that hold a form in its own area cross the
// connection: any hit is a substring of its area, so none is lost. The rows
// are picked before any is read, so that a chunk left out is never fetched.
const Statement kSearchChunksHolding{
    45,
    "WITH picked AS MATERIALIZED (SELECT id, split, entries FROM search WHERE id {in $1})"
    " SELECT id, entries FROM picked WHERE position($2 in substring(entries from 1 for CAST(split "
    "AS INTEGER))) > 0"
    " OR ($3 <> '' AND position($3 in substring(entries from CAST(split AS INTEGER) + 1)) > 0)"};
const Statement kSearchLast{21, "SELECT coalesce(max(id), 0) FROM search"};
const Statement kSmallChunks{22,
                             "SELECT id, entries FROM search WHERE length(entries) < $1"
                             " ORDER BY id"};
// Small chunks, and the ranges they are in: each range may keep one.
static_assert(search::kRangeIds == 16384);
const Statement kSmallCount{23,
                            "SELECT count(*), count(DISTINCT low / 16384) FROM search"
                            " WHERE length(entries) < $1"};
const Statement kDeleteChunks{24, "DELETE FROM search WHERE id {in $1}"};
const Statement kIndexAfter{25,
                            "SELECT key, machine FROM component WHERE (key, machine) > ($1, $2)"
                            " ORDER BY key, machine LIMIT $3"};
const Statement kWitnesses{
    26, "SELECT kind, value, machine FROM witness ORDER BY kind, value, machine"};
const Statement kCloneLinks{27, "SELECT machine, other FROM clone ORDER BY machine, other"};
const Statement kSightings{
    28, "SELECT kind, value, machine FROM sighting ORDER BY kind, value, machine"};
const Statement kClearMachines{29, "DELETE FROM machine"};
const Statement kClearComponents{30, "DELETE FROM component"};
const Statement kClearWitnesses{31, "DELETE FROM witness"};
const Statement kClearClones{32, "DELETE FROM clone"};
const Statement kClearSearch{33, "DELETE FROM search"};
const Statement kClearSightings{34, "DELETE FROM sighting"};
// After the sightings, so that a rebuild counts afresh whatever was kept.
const Statement kClearPlaceholders{42, "DELETE FROM placeholder"};
const Statement kClearLearned{35, "DELETE FROM learned"};
// One key at a time, for a database at hand.
const Statement kDigestOne{36, "SELECT id, machine, digest, reason FROM report WHERE tag = $1"};
const Statement kMachineOne{37, "SELECT " MACHINE_COLUMNS " FROM machine WHERE id = $1"};
// Mail, and where collect left its folders.
#define MAIL_COLUMNS "sender, message_id, sent, subject, no_report"
const Statement kMailIn{
    702, "SELECT report, " MAIL_COLUMNS " FROM mail WHERE report {in $1} ORDER BY report"};
const Statement kNoReportAfter{703, "SELECT " REPORT_COLUMNS ", bytes, " MAIL_COLUMNS
                                    " FROM report JOIN mail ON mail.report = report.id"
                                    " WHERE mail.no_report = 1 AND mail.report > $1"
                                    " ORDER BY mail.report LIMIT $2"};
const Statement kMarkOne{
    704, "SELECT uidvalidity, last_uid, settled_uid FROM collect_mark WHERE folder = $1"};
const Statement kMarkSet{705,
                         "INSERT INTO collect_mark (folder, uidvalidity, last_uid, settled_uid)"
                         " VALUES ($1, $2, $3, $4) ON CONFLICT (folder) DO UPDATE SET"
                         " uidvalidity = excluded.uidvalidity, last_uid = excluded.last_uid,"
                         " settled_uid = excluded.settled_uid"};
const Statement kMarks{
    706, "SELECT folder, uidvalidity, last_uid, settled_uid FROM collect_mark ORDER BY folder"};

const Bulk kInsertReports{1,
                          Bulk::kInsert,
                          "report",
                          {{"id", Type::kInt},
                           {"tag", Type::kInt},
                           {"digest", Type::kBytes},
                           {"file", Type::kBytes},
                           {"received", Type::kInt},
                           {"note", Type::kBytes},
                           {"bytes", Type::kBytes},
                           {"reason", Type::kBytes},
                           {"machine", Type::kInt},
                           {"prev", Type::kInt},
                           {"match", Type::kText},
                           {"rules", Type::kInt},
                           {"evidence", Type::kText}}};
const Bulk kRetie{2,
                  Bulk::kUpdate,
                  "report",
                  {{"id", Type::kInt},
                   {"machine", Type::kInt},
                   {"prev", Type::kInt},
                   {"match", Type::kText},
                   {"rules", Type::kInt},
                   {"evidence", Type::kText}}};
const std::vector<sql::Column> kMachineColumns = {
    {"id", Type::kInt},        {"latest", Type::kInt},         {"identity", Type::kBytes},
    {"reports", Type::kInt},   {"first_received", Type::kInt}, {"last_received", Type::kInt},
    {"changed", Type::kInt},   {"clone_group", Type::kInt},    {"names", Type::kBytes},
    {"records", Type::kBytes}, {"seen", Type::kBytes}};
const Bulk kInsertMachines{3, Bulk::kInsert, "machine", kMachineColumns};
const Bulk kUpdateMachines{4, Bulk::kUpdate, "machine", kMachineColumns};
// The same without clone_group, for a machine whose group is as stored:
// SQLite rewrites an index entry of every column an UPDATE sets, changed or
// not, and a batch touches every page of machine_clone_group that way.
const Bulk kUpdateSummaries{
    9, Bulk::kUpdate, "machine", [] {
      std::vector<sql::Column> columns = kMachineColumns;
      columns.erase(std::find_if(columns.begin(), columns.end(), [](const sql::Column& c) {
        return std::string_view(c.name) == "clone_group";
      }));
      return columns;
    }()};
const Bulk kInsertComponents{
    5, Bulk::kInsert, "component", {{"key", Type::kInt}, {"machine", Type::kInt}}};
const Bulk kInsertClones{
    6, Bulk::kInsertIgnore, "clone", {{"machine", Type::kInt}, {"other", Type::kInt}}};
const Bulk kInsertSightings{
    7,
    Bulk::kInsertIgnore,
    "sighting",
    {{"kind", Type::kInt}, {"value", Type::kBytes}, {"machine", Type::kInt}}};
const Bulk kInsertChunks{8,
                         Bulk::kInsert,
                         "search",
                         {{"id", Type::kInt},
                          {"entries", Type::kBytes},
                          {"low", Type::kInt},
                          {"high", Type::kInt},
                          {"split", Type::kInt}}};
const Bulk kInsertMail{701,
                       Bulk::kInsert,
                       "mail",
                       {{"report", Type::kInt},
                        {"sender", Type::kBytes},
                        {"message_id", Type::kBytes},
                        {"sent", Type::kInt},
                        {"subject", Type::kBytes},
                        {"no_report", Type::kInt}}};
Digest digest_of(std::string_view bytes) {
  Digest d{};
  if (bytes.size() == d.size()) std::memcpy(d.data(), bytes.data(), d.size());
  return d;
}

MachineRow machine_of(const Rows& r, int first) {
  MachineRow m;
  m.id = r.integer(first);
  m.latest = r.integer(first + 1);
  m.identity = r.bytes(first + 2);
  m.reports = r.integer(first + 3);
  m.first_received = r.integer(first + 4);
  m.last_received = r.integer(first + 5);
  m.changed = r.integer(first + 6) != 0;
  m.clone_group = r.optional(first + 7);
  m.names = r.bytes(first + 8);
  m.records = r.bytes(first + 9);
  m.seen = r.bytes(first + 10);
  return m;
}

std::vector<MachineRow> machines_of(Rows rows) {
  std::vector<MachineRow> out;
  while (rows.next()) out.push_back(machine_of(rows, 0));
  return out;
}

// with_group: in kMachineColumns' form; without, in kUpdateSummaries'.
void put_machine_row(sql::RowBuffer& out, const MachineRow& m, bool with_group = true) {
  out.integer(m.id)
      .integer(m.latest)
      .bytes(m.identity)
      .integer(m.reports)
      .integer(m.first_received)
      .integer(m.last_received)
      .integer(m.changed ? 1 : 0);
  if (with_group) out.optional(m.clone_group);
  out.bytes(m.names).bytes(m.records).bytes(m.seen);
  out.end_row();
}

StoredReport report_of(const Rows& r, bool with_bytes) {
  StoredReport s;
  s.id = r.integer(0);
  s.digest = digest_of(r.view(1));
  s.file = r.bytes(2);
  s.received = r.integer(3);
  s.note = r.bytes(4);
  s.reason = r.null(5) ? std::string() : r.bytes(5);
  s.machine = r.optional(6);
  s.match = r.null(7) ? std::string() : r.bytes(7);
  s.rules = static_cast<int>(r.integer(8));
  s.evidence = unpack_evidence(r.view(9));
  s.prev = r.optional(10);
  if (with_bytes) s.bytes = r.bytes(11);
  return s;
}

// The mail columns from first on, onto report.
void mail_of(const Rows& r, int first, StoredReport& report) {
  MailOrigin origin;
  origin.sender = r.bytes(first);
  origin.message_id = r.bytes(first + 1);
  origin.date = r.optional(first + 2);
  origin.subject = r.bytes(first + 3);
  report.mail = std::move(origin);
  report.no_report = r.integer(first + 4) != 0;
}

std::vector<StoredReport> reports_of(Rows rows, bool with_bytes, std::size_t expected = 0) {
  std::vector<StoredReport> out;
  out.reserve(expected);
  while (rows.next()) out.push_back(report_of(rows, with_bytes));
  return out;
}

Params key_params(const ComponentKey& key) {
  return Params().integer(static_cast<int>(key.kind)).bytes(key.value);
}

// A read of a whole table, told to the engine for as long as it runs.
class Scan {
 public:
  explicit Scan(sql::Database& db) : db_(db) { db.scanning(true); }
  ~Scan() {
    try {
      db_.scanning(false);
    } catch (...) {  // the connection is gone; its next use says so
    }
  }
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

 private:
  sql::Database& db_;
};

void sort_unique(std::vector<std::int64_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

// A search's hits in order, each once: many of them (a name fragment can
// hit most machines) through a bitmap of the ids they span, in linear time.
void order_hits(std::vector<Id>& hits) {
  if (hits.size() < 4096) return sort_unique(hits);
  const auto [lo, hi] = std::minmax_element(hits.begin(), hits.end());
  const Id first = *lo;
  const auto span = static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(first);
  if (span / 64 > hits.size()) return sort_unique(hits);
  std::vector<std::uint64_t> bits(static_cast<std::size_t>(span / 64 + 1));
  for (const Id id : hits) {
    const auto at = static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(first);
    bits[at / 64] |= std::uint64_t{1} << (at % 64);
  }
  hits.clear();
  for (std::size_t w = 0; w < bits.size(); ++w) {
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
      hits.push_back(first +
                     static_cast<Id>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(word))));
    }
  }
}

}  // namespace

bool is_postgres_uri(std::string_view location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::size_t Store::DigestHash::operator()(const Digest& d) const {
  std::size_t h = 0;
  std::memcpy(&h, d.data(), sizeof h);
  return h;
}

Store::Store(std::unique_ptr<sql::Database> db) : db_(std::move(db)), far_(db_->far()) {}
Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string& location, bool create) {
  std::unique_ptr<Store> store(new Store(is_postgres_uri(location)
                                             ? sql::open_postgres(location)
                                             : sql::open_sqlite(location, create)));
  migrate(*store->db_, *store, create);
  return store;
}

std::unique_ptr<Store> Store::open_at(const std::string& location, int version) {
  std::unique_ptr<Store> store(new Store(
      is_postgres_uri(location) ? sql::open_postgres(location) : sql::open_sqlite(location, true)));
  migrate(*store->db_, *store, true, version);
  return store;
}

void Store::begin_write() {
  forget();
  db_->begin_write();
}

void Store::commit() {
  try {
    flush();
    count_change(*db_);
    db_->commit();
  } catch (...) {
    rollback();
    throw;
  }
  forget();
}

void Store::rollback() noexcept {
  forget();
  db_->rollback();
}

void Store::begin_read() {
  forget();
  db_->begin_read();
}

void Store::end_read() noexcept {
  forget();
  db_->end_read();
}

std::int64_t Store::version() {
  if (!read_version_) read_version_ = read_changes(*db_);
  return *read_version_;
}

void Store::prefetch(const std::vector<Digest>& digests, const std::vector<std::int64_t>& hashes) {
  // Near, each report reads what it needs just before it writes there.
  if (!far_) return;
  fetch(digests, hashes);
}

void Store::fetch(const std::vector<Digest>& digests, const std::vector<std::int64_t>& hashes) {
  std::vector<std::int64_t> tags;
  for (const Digest& d : digests) {
    if (digests_.count(d) == 0) tags.push_back(tag_of(d));
  }
  sort_unique(tags);
  if (!tags.empty()) {
    for (const Digest& d : digests) digests_.try_emplace(d);
    Rows rows = tags.size() == 1 ? db_->query(kDigestOne, Params().integer(tags[0]))
                                 : db_->query(kDigests, Params().integers(tags));
    while (rows.next()) {
      auto& slot = digests_[digest_of(rows.view(2))];
      if (!slot) {
        slot = Known{rows.integer(0), rows.optional(1), rows.null(3) ? "" : rows.bytes(3)};
      }
    }
  }
  load_keys(hashes);
}

std::optional<Known> Store::find_digest(const Digest& digest) {
  if (const auto it = digests_.find(digest); it != digests_.end()) return it->second;
  fetch({digest}, {});
  return digests_[digest];
}

Id Store::next_id() {
  if (!next_id_) {
    Rows rows = db_->query(kNextId);
    next_id_ = rows.next() ? rows.integer(0) : 1;
  }
  return (*next_id_)++;
}

void Store::insert_report(const StoredReport& r) {
  digests_[r.digest] = Known{r.id, r.machine, r.machine ? "" : r.reason};
  reports_.integer(r.id)
      .integer(tag_of(r.digest))
      .bytes({reinterpret_cast<const char*>(r.digest.data()), r.digest.size()})
      .bytes(r.file)
      .integer(r.received)
      .bytes(r.note)
      .bytes(r.bytes);
  if (r.machine) {
    reports_.null();
  } else {
    reports_.bytes(r.reason);
  }
  reports_.optional(r.machine).optional(r.prev).bytes(r.match).integer(r.rules).bytes(
      pack_evidence(r.evidence));
  reports_.end_row();
  if (r.mail) {
    mails_.integer(r.id)
        .bytes(r.mail->sender)
        .bytes(r.mail->message_id)
        .optional(r.mail->date)
        .bytes(r.mail->subject)
        .integer(r.no_report ? 1 : 0);
    mails_.end_row();
  }
  flush_when_large();
}

void Store::retie_report(Id record, std::optional<Id> machine, std::optional<Id> prev,
                         const std::string& match, int rules, const std::string& evidence) {
  ties_.integer(record).optional(machine).optional(prev).bytes(match).integer(rules).bytes(
      pack_evidence(evidence));
  ties_.end_row();
  flush_when_large();
}

std::optional<Id> Store::resolve(std::optional<Id> group) const {
  while (group) {
    const auto it = regroups_.find(*group);
    if (it == regroups_.end()) break;
    group = it->second;
  }
  return group;
}

const MachineRow* Store::peek_machine(Id id) {
  auto it = machines_.find(id);
  if (it == machines_.end()) {
    Rows rows = db_->query(kMachineOne, Params().integer(id));
    MachineEntry entry;
    if (rows.next()) {
      entry = MachineEntry::stored(machine_of(rows, 0));
    } else {
      entry.known = false;
    }
    it = machines_.emplace(id, std::move(entry)).first;
  }
  return it->second.known ? &it->second.row : nullptr;
}

std::optional<MachineRow> Store::machine(Id id) {
  const MachineRow* found = peek_machine(id);
  if (found == nullptr) return std::nullopt;
  MachineRow row = *found;
  row.clone_group = resolve(row.clone_group);
  return row;
}

void Store::put_machine(const MachineRow& row, bool fresh) {
  MachineEntry& entry = machines_[row.id];
  if (!entry.dirty) dirty_.push_back(row.id);
  entry.row = row;
  entry.known = true;
  entry.dirty = true;
  entry.fresh = entry.fresh || fresh;
  flush_when_large();
}

void Store::regroup(Id from, Id to) {
  if (from == to) return;
  regroups_[from] = to;
  regroup_order_.emplace_back(from, to);
}

std::vector<std::pair<std::int64_t, Id>> Store::machines_with(
    const std::vector<std::int64_t>& hashes) {
  load_keys(hashes);
  std::vector<std::pair<std::int64_t, Id>> found;
  for (const std::int64_t hash : hashes) {
    for (const Id m : keys_[hash]) found.emplace_back(hash, m);
  }
  return found;
}

void Store::index(const std::vector<std::int64_t>& hashes, Id machine) {
  for (const std::int64_t hash : hashes) {
    if (const auto it = keys_.find(hash); it != keys_.end()) {
      it->second.push_back(machine);
    } else {
      unread_keys_ = true;
    }
    components_.integer(hash).integer(machine);
    components_.end_row();
  }
  flush_when_large();
}

// The index entries of these keys, with their machines' rows, read at once;
// keys read before are not asked again.
void Store::load_keys(const std::vector<std::int64_t>& hashes) {
  std::vector<std::int64_t> missing;
  for (const std::int64_t hash : hashes) {
    if (keys_.count(hash) == 0) missing.push_back(hash);
  }
  if (missing.empty()) return;
  if (unread_keys_) flush_rows();
  sort_unique(missing);
  if (!far_) {
    // Each key's own lookup: no list to build, and the index pages it
    // reads are the ones its writes go to next.
    for (const std::int64_t hash : missing) {
      auto& machines = keys_[hash];
      Rows rows = db_->query(kMachinesOfKey, Params().integer(hash));
      while (rows.next()) machines.push_back(rows.integer(0));
      std::sort(machines.begin(), machines.end());
    }
    return;
  }
  std::vector<std::int64_t> machines;
  {
    Rows rows = db_->query(kKeys, Params().integers(missing));
    for (const std::int64_t hash : missing) keys_.try_emplace(hash);
    while (rows.next()) {
      const Id m = rows.integer(1);
      keys_[rows.integer(0)].push_back(m);
      if (machines_.count(m) == 0) machines.push_back(m);
    }
  }
  for (const std::int64_t hash : missing) std::sort(keys_[hash].begin(), keys_[hash].end());
  sort_unique(machines);
  if (machines.empty()) return;
  Rows rows = db_->query(kMachinesIn, Params().integers(std::move(machines)));
  while (rows.next()) remember_machine(rows, 0);
}

void Store::remember_machine(const Rows& rows, int first) {
  const Id id = rows.integer(first);
  auto [it, fresh] = machines_.try_emplace(id);
  if (fresh) it->second = MachineEntry::stored(machine_of(rows, first));
}

int Store::witness(const ComponentKey& key, Id machine) {
  db_->run(kWitness, key_params(key).integer(machine));
  Rows rows = db_->query(kWitnessCount, key_params(key));
  return rows.next() ? static_cast<int>(rows.integer(0)) : 0;
}

void Store::learn(const ComponentKey& key) {
  db_->run(kLearn, key_params(key));
  // The machines that showed it before it was learned were indexed with it.
  flush_rows();
  Rows rows = db_->query(kMachinesOfKey, Params().integer(key_hash(key)));
  while (rows.next()) sight(key, rows.integer(0));
}

std::vector<ComponentKey> Store::learned() {
  std::vector<ComponentKey> all;
  Rows rows = db_->query(kLearned);
  while (rows.next()) all.push_back({static_cast<KeyKind>(rows.integer(0)), rows.bytes(1)});
  return all;
}

void Store::link_clone(Id machine, Id other) {
  clones_.integer(machine).integer(other);
  clones_.end_row();
  flush_when_large();
}

void Store::add_search(Id machine, search::Field field, std::string_view folded) {
  search_.add(machine, field, folded);
  flush_when_large();
}

void Store::sight(const ComponentKey& key, Id machine) {
  sightings_.integer(static_cast<int>(key.kind)).bytes(key.value).integer(machine);
  sightings_.end_row();
  flush_when_large();
}

void Store::clear_ties(bool forget_learned) {
  flush();
  for (const Statement* s : {&kClearMachines, &kClearComponents, &kClearWitnesses, &kClearClones,
                             &kClearSearch, &kClearSightings, &kClearPlaceholders}) {
    db_->run(*s);
  }
  if (forget_learned) db_->run(kClearLearned);
  // Labels come from decisions, which the ties made again meet again.
  clear_labels();
  const auto next = next_id_;
  forget();
  next_id_ = next;
}

void Store::flush() {
  flush_rows();
  write_search();
}

void Store::flush_when_large() {
  if (!far_) {
    flush_rows();
    return;
  }
  const std::size_t rows = reports_.rows() + mails_.rows() + ties_.rows() + components_.rows() +
                           dirty_.size() + clones_.rows() + sightings_.rows();
  const std::size_t bytes = reports_.size() + mails_.size() + ties_.size() + components_.size() +
                            clones_.size() + sightings_.size() + search_.size();
  if (rows >= kPendingRows || bytes >= kPendingBytes) {
    flush_rows();
    write_search();
  }
}

void Store::flush_rows() {
  db_->write(kInsertReports, reports_);
  reports_.clear();
  db_->write(kInsertMail, mails_);
  mails_.clear();
  db_->write(kRetie, ties_);
  ties_.clear();
  if (!dirty_.empty()) {
    // In id order: each page of the table written once.
    std::sort(dirty_.begin(), dirty_.end());
    sql::RowBuffer fresh;
    sql::RowBuffer regrouped;
    sql::RowBuffer updated;
    for (const Id id : dirty_) {
      MachineEntry& entry = machines_.at(id);
      MachineRow row = entry.row;
      row.clone_group = resolve(row.clone_group);
      if (entry.fresh) {
        put_machine_row(fresh, row);
      } else if (!entry.group_known || row.clone_group != entry.stored_group) {
        put_machine_row(regrouped, row);
      } else {
        put_machine_row(updated, row, false);
      }
      entry.group_known = true;
      entry.stored_group = row.clone_group;
      entry.dirty = false;
      entry.fresh = false;
    }
    dirty_.clear();
    db_->write(kInsertMachines, fresh);
    db_->write(kUpdateMachines, regrouped);
    db_->write(kUpdateSummaries, updated);
  }
  // Groups merged: every member the batch did not hold in memory.
  for (const auto& [from, to] : regroup_order_) {
    db_->run(kRegroup, Params().integer(from).optional(resolve(to)));
  }
  regroup_order_.clear();
  db_->write(kInsertClones, clones_);
  clones_.clear();
  db_->write(kInsertComponents, components_);
  components_.clear();
  unread_keys_ = false;
  db_->write(kInsertSightings, sightings_);
  sightings_.clear();
}

void Store::settle() {
  if (search_.size() >= search::kChunkBytes) write_search(false);
  if (digests_.size() + keys_.size() + machines_.size() < kCachedRows &&
      reports_.size() + ties_.size() < kPendingBytes / 2) {
    return;
  }
  flush_rows();
  // What was read stays true; let go, it is read again when asked.
  digests_.clear();
  keys_.clear();
  machines_.clear();
}

// The batch's new search entries as new chunks, only the full ones unless
// all; small chunks joined, within their range, once there are many more
// than the one a range keeps.
void Store::write_search(bool all) {
  if (search_.empty()) return;
  const std::vector<std::string> chunks = all ? search_.finish() : search_.take_done();
  if (chunks.empty()) return;
  Id last = 0;
  {
    Rows rows = db_->query(kSearchLast);
    if (rows.next()) last = rows.integer(0);
  }
  for (const std::string& chunk : chunks) insert_search_chunk(++last, chunk);
  if (!all) return;
  std::int64_t small = 0;
  std::int64_t ranges = 0;
  {
    Rows rows = db_->query(kSmallCount, Params().integer(search::kChunkBytes / 2));
    if (rows.next()) {
      small = rows.integer(0);
      ranges = rows.integer(1);
    }
  }
  // A batch adds one to each range it touched: joined every other batch.
  if (small - ranges < std::max(kMostSmallChunks, 2 * ranges)) return;
  // Joined into chunks of their own, in order, under new ids.
  std::vector<std::int64_t> ids;
  search::RangedBuilder joined;
  {
    Rows rows = db_->query(kSmallChunks, Params().integer(search::kChunkBytes / 2));
    while (rows.next()) {
      ids.push_back(rows.integer(0));
      search::entries(rows.view(1), [&](Id machine, search::Field field, std::string_view text) {
        joined.add(machine, field, text);
      });
    }
  }
  db_->run(kDeleteChunks, Params().integers(std::move(ids)));
  for (const std::string& chunk : joined.finish()) insert_search_chunk(++last, chunk);
}

void Store::forget() noexcept {
  reports_.clear();
  mails_.clear();
  ties_.clear();
  components_.clear();
  clones_.clear();
  sightings_.clear();
  search_ = search::RangedBuilder();
  regroup_order_.clear();
  regroups_.clear();
  dirty_.clear();
  unread_keys_ = false;
  digests_.clear();
  keys_.clear();
  machines_.clear();
  next_id_.reset();
  read_version_.reset();
}

std::vector<MachineRow> Store::machines_after(Id after, int limit) {
  flush_rows();
  return machines_of(db_->query(kMachinesAfter, Params().integer(after).integer(limit)));
}

std::vector<MachineRow> Store::listed_after(Id after, int limit) {
  flush_rows();
  return machines_of(db_->query(kListedAfter, Params().integer(after).integer(limit)));
}

std::vector<MachineRow> Store::machines(std::vector<Id> ids) {
  flush_rows();
  sort_unique(ids);
  if (ids.empty()) return {};
  std::vector<MachineRow> out =
      machines_of(db_->query(kMachinesIn, Params().integers(std::move(ids))));
  std::sort(out.begin(), out.end(),
            [](const MachineRow& a, const MachineRow& b) { return a.id < b.id; });
  return out;
}

std::vector<StoredReport> Store::reports_after(Id after, int limit, bool with_bytes) {
  flush_rows();
  return reports_of(db_->query(with_bytes ? kReportsAfterBytes : kReportsAfter,
                               Params().integer(after).integer(limit)),
                    with_bytes);
}

std::vector<StoredReport> Store::reports(std::vector<Id> ids, bool with_bytes) {
  flush_rows();
  sort_unique(ids);
  if (ids.empty()) return {};
  const std::size_t expected = ids.size();
  auto out = reports_of(
      db_->query(with_bytes ? kReportsInBytes : kReportsIn, Params().integers(std::move(ids))),
      with_bytes, expected);
  std::sort(out.begin(), out.end(),
            [](const StoredReport& a, const StoredReport& b) { return a.id < b.id; });
  return out;
}

ReportTexts Store::report_bytes(std::vector<Id> ids) {
  flush_rows();
  sort_unique(ids);
  ReportTexts out;
  if (ids.empty()) return out;
  // Copied into one block, not a string each: a listing reads a thousand at
  // a time, on a thread of its own, and another thread lets them go.
  struct At {
    Id id;
    std::size_t file, file_size, bytes_size;
  };
  std::vector<At> at;
  at.reserve(ids.size());
  Rows rows = db_->query(kReportBytesIn, Params().integers(std::move(ids)));
  while (rows.next()) {
    const std::string_view file = rows.view(1);
    const std::string_view bytes = rows.view(2);
    at.push_back({rows.integer(0), out.block.size(), file.size(), bytes.size()});
    out.block.insert(out.block.end(), file.begin(), file.end());
    out.block.insert(out.block.end(), bytes.begin(), bytes.end());
  }
  std::sort(at.begin(), at.end(), [](const At& a, const At& b) { return a.id < b.id; });
  out.reports.reserve(at.size());
  const char* const base = out.block.data();
  for (const At& a : at) {
    out.reports.push_back(
        {a.id, {base + a.file, a.file_size}, {base + a.file + a.file_size, a.bytes_size}});
  }
  return out;
}

std::vector<StoredReport> Store::rejected_after(Id after, int limit) {
  flush_rows();
  return reports_of(db_->query(kRejectedAfter, Params().integer(after).integer(limit)), true);
}

std::vector<StoredReport> Store::no_report_after(Id after, int limit) {
  flush_rows();
  std::vector<StoredReport> out;
  Rows rows = db_->query(kNoReportAfter, Params().integer(after).integer(limit));
  while (rows.next()) {
    out.push_back(report_of(rows, true));
    mail_of(rows, 12, out.back());
  }
  return out;
}

void Store::attach_mail(std::vector<StoredReport>& reports) {
  flush_rows();
  std::vector<std::int64_t> ids;
  ids.reserve(reports.size());
  for (const StoredReport& r : reports) ids.push_back(r.id);
  sort_unique(ids);
  if (ids.empty()) return;
  std::unordered_map<Id, StoredReport*> by_id;
  for (StoredReport& r : reports) by_id[r.id] = &r;
  Rows rows = db_->query(kMailIn, Params().integers(std::move(ids)));
  while (rows.next()) {
    const auto it = by_id.find(rows.integer(0));
    if (it != by_id.end()) mail_of(rows, 1, *it->second);
  }
}

std::optional<CollectMark> Store::collect_mark(const std::string& folder) {
  Rows rows = db_->query(kMarkOne, Params().bytes(folder));
  if (!rows.next()) return std::nullopt;
  const auto uid = [&rows](int column) {
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(rows.integer(column), 0, UINT32_MAX));
  };
  return CollectMark{uid(0), uid(1), uid(2)};
}

void Store::set_collect_mark(const std::string& folder, const CollectMark& mark) {
  db_->run(kMarkSet, Params()
                         .bytes(folder)
                         .integer(mark.uidvalidity)
                         .integer(mark.last_uid)
                         .integer(mark.settled_uid));
}

std::vector<std::pair<std::string, CollectMark>> Store::collect_marks() {
  std::vector<std::pair<std::string, CollectMark>> out;
  Rows rows = db_->query(kMarks);
  while (rows.next()) {
    out.emplace_back(rows.bytes(0), CollectMark{static_cast<std::uint32_t>(rows.integer(1)),
                                                static_cast<std::uint32_t>(rows.integer(2)),
                                                static_cast<std::uint32_t>(rows.integer(3))});
  }
  return out;
}

std::vector<Id> Store::search(const search::Query& query, Id after, std::size_t enough) {
  flush();
  const Scan scan(*db_);
  std::vector<std::pair<Id, Id>> chunks;  // id, lowest machine
  {
    Rows rows = db_->query(kSearchSpans, Params().integer(after));
    while (rows.next()) chunks.emplace_back(rows.integer(0), rows.integer(1));
  }
  std::vector<Id> found;
  std::vector<Id> hits;
  // First the first range's chunks, as a first page of common hits needs,
  // then four times as many at a time: a server's answer is held whole in
  // memory, and each asking of a server costs a round trip.
  constexpr std::size_t kMostChunks = 128;
  std::size_t group = 1;
  while (group < chunks.size() && group < kMostChunks &&
         chunks[group].second / search::kRangeIds == chunks[0].second / search::kRangeIds) {
    ++group;
  }
  for (std::size_t at = 0; at < chunks.size();) {
    const std::size_t end = std::min(chunks.size(), at + group);
    std::vector<std::int64_t> ids;
    for (std::size_t i = at; i < end; ++i) ids.push_back(chunks[i].first);
    Rows rows =
        far_ ? db_->query(kSearchChunksHolding,
                          Params().integers(std::move(ids)).bytes(query.text).bytes(query.address))
             : db_->query(kSearchChunks, Params().integers(std::move(ids)));
    hits.clear();
    while (rows.next()) search::scan(rows.view(1), query, hits);
    for (const Id id : hits) {
      if (id > after) found.push_back(id);
    }
    at = end;
    group = std::min(group * 4, kMostChunks);
    if (enough == 0 || at == chunks.size()) continue;
    // Hits below the next chunk's lowest machine are final.
    order_hits(found);
    const auto below = std::lower_bound(found.begin(), found.end(), chunks[at].second);
    if (static_cast<std::size_t>(below - found.begin()) >= enough) break;
  }
  order_hits(found);
  if (enough > 0 && found.size() > enough) found.resize(enough);
  return found;
}

std::vector<Id> Store::clone_groups_after(Id after, int limit) {
  flush_rows();
  std::vector<Id> out;
  Rows rows = db_->query(kCloneGroupsAfter, Params().integer(after).integer(limit));
  while (rows.next()) out.push_back(rows.integer(0));
  return out;
}

std::vector<Id> Store::clone_group(Id group) {
  flush_rows();
  std::vector<Id> out;
  Rows rows = db_->query(kCloneGroup, Params().integer(group));
  while (rows.next()) out.push_back(rows.integer(0));
  return out;
}

std::vector<std::pair<Id, Id>> Store::clone_members(std::vector<Id> groups) {
  flush_rows();
  sort_unique(groups);
  std::vector<std::pair<Id, Id>> out;
  if (groups.empty()) return out;
  Rows rows = db_->query(kCloneMembers, Params().integers(std::move(groups)));
  while (rows.next()) out.emplace_back(rows.integer(0), rows.integer(1));
  return out;
}

std::vector<Store::Placeholder> Store::placeholders() {
  flush_rows();
  std::vector<Placeholder> out;
  Rows rows = db_->query(kPlaceholders);
  while (rows.next()) {
    out.push_back({{static_cast<KeyKind>(rows.integer(0)), rows.bytes(1)},
                   rows.integer(3) > 0,
                   rows.integer(2)});
  }
  return out;
}

std::vector<std::pair<std::int64_t, Id>> Store::index_after(std::pair<std::int64_t, Id> after,
                                                            int limit) {
  flush_rows();
  std::vector<std::pair<std::int64_t, Id>> out;
  Rows rows =
      db_->query(kIndexAfter, Params().integer(after.first).integer(after.second).integer(limit));
  while (rows.next()) out.emplace_back(rows.integer(0), rows.integer(1));
  return out;
}

std::vector<std::pair<ComponentKey, Id>> Store::witnesses() {
  std::vector<std::pair<ComponentKey, Id>> out;
  Rows rows = db_->query(kWitnesses);
  while (rows.next()) {
    out.emplace_back(ComponentKey{static_cast<KeyKind>(rows.integer(0)), rows.bytes(1)},
                     rows.integer(2));
  }
  return out;
}

std::vector<std::pair<Id, Id>> Store::clone_links() {
  flush_rows();
  std::vector<std::pair<Id, Id>> out;
  Rows rows = db_->query(kCloneLinks);
  while (rows.next()) out.emplace_back(rows.integer(0), rows.integer(1));
  return out;
}

std::vector<std::pair<ComponentKey, Id>> Store::sightings() {
  flush_rows();
  std::vector<std::pair<ComponentKey, Id>> out;
  Rows rows = db_->query(kSightings);
  while (rows.next()) {
    out.emplace_back(ComponentKey{static_cast<KeyKind>(rows.integer(0)), rows.bytes(1)},
                     rows.integer(2));
  }
  return out;
}

std::vector<std::pair<Id, std::string>> Store::search_chunks_after(Id after, int limit) {
  flush();
  std::vector<std::pair<Id, std::string>> out;
  Rows rows = db_->query(kSearchAfter, Params().integer(after).integer(limit));
  while (rows.next()) out.emplace_back(rows.integer(0), rows.bytes(1));
  return out;
}

void Store::repack_search() {
  flush();
  Id last = 0;
  {
    Rows rows = db_->query(kSearchLast);
    if (rows.next()) last = rows.integer(0);
  }
  const Id old_last = last;
  std::vector<std::int64_t> old;
  search::RangedBuilder packed;
  // A page of chunks at a time, their full successors written as they come.
  for (Id after = 0; after < old_last;) {
    std::size_t read = 0;
    {
      Rows rows = db_->query(kSearchAfter, Params().integer(after).integer(64));
      while (rows.next()) {
        const Id id = rows.integer(0);
        if (id > old_last) break;
        ++read;
        after = id;
        old.push_back(id);
        search::entries(rows.view(1), [&](Id machine, search::Field field, std::string_view text) {
          packed.add(machine, field, text);
        });
      }
    }
    for (const std::string& chunk : packed.take_done()) insert_search_chunk(++last, chunk);
    if (read == 0) break;
  }
  for (const std::string& chunk : packed.finish()) insert_search_chunk(++last, chunk);
  if (!old.empty()) db_->run(kDeleteChunks, Params().integers(std::move(old)));
}

void Store::insert_search_chunk(Id id, const std::string& entries) {
  const search::Span span = search::span_of(entries);
  sql::RowBuffer row;
  row.integer(id).bytes(entries).integer(span.low).integer(span.high).integer(span.split);
  row.end_row();
  db_->write(kInsertChunks, row);
}

}  // namespace zavro::registry
