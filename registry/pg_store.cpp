// The registry on a PostgreSQL server, for many writers on many hosts.
//
// Writers take turns: a write batch holds one transaction-scoped advisory
// lock. A tie depends on every report received before it (machines, learned
// placeholders, clones), so ties must run in receipt order whatever the
// locking; the lock makes ids and ties one order, and everything before the
// batch (reading archives, parsing, digests) runs outside it, in parallel.
//
// Holding the lock also makes this process the only writer while its batch is
// open: what it read stays true until commit. So a batch reads what its
// reports need in one round trip (prefetch), keeps its writes in memory and
// sends them with COPY at commit. Any read that these caches cannot answer
// sends the pending writes first.
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/schema.hpp"
#include "registry/store.hpp"

namespace zavro::registry {
namespace {

// The server's type ids of what we bind.
constexpr Oid kInt8 = 20;
constexpr Oid kBytea = 17;
constexpr Oid kText = 25;
constexpr Oid kInt8Array = 1016;
constexpr Oid kByteaArray = 1001;
constexpr Oid kTextArray = 1009;

// 'ZAVR', as the SQLite file's application id: the writers' lock.
constexpr long long kWriterLock = 0x5A415652;
// Pending rows sent early, so that memory stays flat however long the batch.
constexpr std::size_t kPendingBytes = 16 << 20;
constexpr std::size_t kPendingRows = 100000;
constexpr std::size_t kCachedRows = 200000;
// Reports of one batch: a commit makes them visible to other writers' ties,
// and the lock is free between batches while this process reads the next.
constexpr std::size_t kBatchReports = 5000;

void put64(std::string& out, std::int64_t value) {
  const auto v = static_cast<std::uint64_t>(value);
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift & 0xFF);
}
void put32(std::string& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(v >> shift & 0xFF);
}
void put16(std::string& out, std::int16_t value) {
  const auto v = static_cast<std::uint16_t>(value);
  out += static_cast<char>(v >> 8 & 0xFF);
  out += static_cast<char>(v & 0xFF);
}
std::int64_t get64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return static_cast<std::int64_t>(v);
}

// A one-dimensional array in the server's binary form, built element by element.
class Array {
 public:
  explicit Array(Oid element) : element_(element) {}
  void int8(std::int64_t v) {
    put32(items_, 8);
    put64(items_, v);
    ++count_;
  }
  void optional_int8(const std::optional<std::int64_t>& v) {
    if (v) {
      int8(*v);
    } else {
      put32(items_, -1);
      nulls_ = true;
      ++count_;
    }
  }
  void bytes(std::string_view b) {
    put32(items_, static_cast<std::int32_t>(b.size()));
    items_.append(b);
    ++count_;
  }
  std::size_t size() const { return count_; }
  std::string str() const {
    std::string out;
    put32(out, 1);  // dimensions
    put32(out, nulls_ ? 1 : 0);
    put32(out, static_cast<std::int32_t>(element_));
    put32(out, static_cast<std::int32_t>(count_));
    put32(out, 1);  // lower bound
    return out + items_;
  }

 private:
  Oid element_;
  std::string items_;
  std::size_t count_ = 0;
  bool nulls_ = false;
};

std::string int8_array(const std::vector<std::int64_t>& values) {
  Array a(kInt8);
  for (const std::int64_t v : values) a.int8(v);
  return a.str();
}

// Rows for COPY ... (FORMAT binary).
class CopyRows {
 public:
  CopyRows() { out_.append("PGCOPY\n\377\r\n\0", 11).append(8, '\0'); }
  void row(int fields) {
    put16(out_, static_cast<std::int16_t>(fields));
    ++rows_;
  }
  void int8(std::int64_t v) {
    put32(out_, 8);
    put64(out_, v);
  }
  void optional_int8(const std::optional<Id>& v) {
    if (v) {
      int8(*v);
    } else {
      null();
    }
  }
  void bytes(std::string_view b) {
    put32(out_, static_cast<std::int32_t>(b.size()));
    out_.append(b);
  }
  void null() { put32(out_, -1); }
  std::string& finish() {
    put16(out_, -1);
    return out_;
  }
  std::size_t rows() const { return rows_; }
  std::size_t size() const { return out_.size(); }

 private:
  std::string out_;
  std::size_t rows_ = 0;
};

// Parameters of one statement, all in binary form.
class Params {
 public:
  Params& int8(std::int64_t v) {
    std::string s;
    put64(s, v);
    return add(kInt8, std::move(s));
  }
  Params& optional_int8(const std::optional<Id>& v) {
    if (v) return int8(*v);
    types_.push_back(kInt8);
    values_.emplace_back();
    null_.push_back(true);
    return *this;
  }
  Params& bytes(std::string_view b) { return add(kBytea, std::string(b)); }
  Params& text(std::string_view t) { return add(kText, std::string(t)); }
  Params& int8s(const std::vector<std::int64_t>& v) { return add(kInt8Array, int8_array(v)); }
  Params& array(const Array& a, Oid type) { return add(type, a.str()); }

  int size() const { return static_cast<int>(values_.size()); }
  const Oid* types() const { return types_.data(); }
  void pointers(std::vector<const char*>& data, std::vector<int>& lengths,
                std::vector<int>& formats) const {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      data.push_back(null_[i] ? nullptr : values_[i].data());
      lengths.push_back(static_cast<int>(values_[i].size()));
      formats.push_back(1);
    }
  }

 private:
  Params& add(Oid type, std::string value) {
    types_.push_back(type);
    values_.push_back(std::move(value));
    null_.push_back(false);
    return *this;
  }
  std::vector<Oid> types_;
  std::vector<std::string> values_;
  std::vector<bool> null_;
};

struct ResultFree {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// Cells of a binary result.
std::int64_t int8_at(const Result& r, int row, int col) {
  return get64(PQgetvalue(r.get(), row, col));
}
bool null_at(const Result& r, int row, int col) { return PQgetisnull(r.get(), row, col) != 0; }
std::optional<Id> optional_at(const Result& r, int row, int col) {
  if (null_at(r, row, col)) return std::nullopt;
  return int8_at(r, row, col);
}
std::string bytes_at(const Result& r, int row, int col) {
  return {PQgetvalue(r.get(), row, col), static_cast<std::size_t>(PQgetlength(r.get(), row, col))};
}

// Where the registry is, for messages: host, port and database, never a password.
std::string safe_location(const std::string& uri, PGconn* conn) {
  std::string host;
  std::string port;
  std::string db;
  if (conn != nullptr && PQstatus(conn) == CONNECTION_OK) {
    host = PQhost(conn) != nullptr ? PQhost(conn) : "";
    port = PQport(conn) != nullptr ? PQport(conn) : "";
    db = PQdb(conn) != nullptr ? PQdb(conn) : "";
  } else {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    PQfreemem(error);
    if (options != nullptr) {
      for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr) continue;
        const std::string_view key = o->keyword;
        if (key == "host") host = o->val;
        if (key == "port") port = o->val;
        if (key == "dbname") db = o->val;
      }
      PQconninfoFree(options);
    }
  }
  // A socket directory is written as a URI would carry it.
  std::string shown;
  for (const char c : host) {
    if (c == '/') {
      shown += "%2F";
    } else {
      shown += c;
    }
  }
  std::string location = "postgresql://" + shown;
  if (!port.empty()) location += ":" + port;
  return location + "/" + db;
}

class PgStore final : public Store {
 public:
  PgStore(const std::string& uri, bool create) {
    conn_ = PQconnectdb(uri.c_str());
    // The server's notices would reach the terminal raw: what matters comes
    // back as an error.
    if (conn_ != nullptr)
      PQsetNoticeProcessor(
          conn_, [](void*, const char*) {}, nullptr);
    location_ = safe_location(uri, conn_);
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string detail = last_error();
      PQfinish(conn_);
      conn_ = nullptr;
      throw Error("registry " + location_ + ": cannot connect (" + detail + ")");
    }
    try {
      open(create);
    } catch (...) {
      PQfinish(conn_);
      conn_ = nullptr;
      throw;
    }
  }
  ~PgStore() override { PQfinish(conn_); }
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  void begin_write() override {
    exec(("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kWriterLock) + ")").c_str());
  }
  void commit() override {
    flush();
    exec("UPDATE registry_meta SET value = value + 1 WHERE name = 'changes'");
    exec("COMMIT");
    forget();
  }
  void rollback() noexcept override {
    forget();
    if (conn_ != nullptr && in_flight_) {
      in_flight_ = false;
      while (PGresult* r = PQgetResult(conn_)) PQclear(r);
    }
    if (conn_ != nullptr && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
      PQclear(PQexec(conn_, "ROLLBACK"));
    }
  }
  std::uint64_t version() override {
    settle();
    if (read_version_) return *read_version_;
    const Result r = run("SELECT value FROM registry_meta WHERE name = 'changes'", Params());
    return PQntuples(r.get()) == 1 ? static_cast<std::uint64_t>(int8_at(r, 0, 0)) : 0;
  }
  // One snapshot, and the version read with it. Sent without waiting: the
  // server opens it while this process reads the report it is for.
  void begin_read() override {
    settle();
    if (PQsendQuery(conn_,
                    "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY;"
                    " SELECT value::text FROM registry_meta WHERE name = 'changes'") != 1) {
      fail(nullptr);
    }
    in_flight_ = true;
  }
  // Likewise: the snapshot ends at once on the server, and its answer is
  // collected before the next command.
  void end_read() noexcept override {
    forget();
    if (conn_ == nullptr) return;
    try {
      settle();
    } catch (...) {
      return;  // the connection is gone; the next command says so
    }
    if (PQtransactionStatus(conn_) != PQTRANS_IDLE) {
      in_flight_ = PQsendQuery(conn_, "ROLLBACK") == 1;
    }
  }

  // One round trip for both: the reports with these digests' tags, and the
  // index entries of these keys with their machines' rows.
  void prefetch(const std::vector<Digest>& digests,
                const std::vector<std::int64_t>& hashes) override {
    if (unread_keys_) flush();
    std::vector<std::int64_t> tags;
    for (const Digest& d : digests) {
      if (digests_.count(d) == 0) tags.push_back(tag_of(d));
    }
    std::vector<std::int64_t> keys;
    for (const std::int64_t hash : hashes) {
      if (keys_.count(hash) == 0) keys.push_back(hash);
    }
    for (auto* v : {&tags, &keys}) {
      std::sort(v->begin(), v->end());
      v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    if (tags.empty() && keys.empty()) return;
    // Each candidate machine's row once, however many of the keys it showed.
    const Result r =
        run("WITH c AS MATERIALIZED (SELECT key, machine FROM component WHERE key = ANY($2))"
            " SELECT 0::bigint, id, machine, digest FROM report WHERE tag = ANY($1)"
            " UNION ALL SELECT 1::bigint, key, machine, NULL FROM c"
            " UNION ALL SELECT 2::bigint, id, latest, identity FROM machine"
            " WHERE id = ANY(ARRAY(SELECT DISTINCT machine FROM c))",
            Params().int8s(tags).int8s(keys));
    for (const Digest& d : digests) digests_.try_emplace(d);
    for (const std::int64_t key : keys) keys_.try_emplace(key);
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      const std::int64_t kind = int8_at(r, i, 0);
      if (kind == 0) {
        remember_digest(r, i, 1);
      } else if (kind == 1) {
        keys_[int8_at(r, i, 1)].push_back(int8_at(r, i, 2));
      } else {
        remember_machine(r, i, 1);
      }
    }
    // Each key's machines in the order the server's index gives them.
    for (const std::int64_t key : keys) {
      auto& machines = keys_[key];
      std::sort(machines.begin(), machines.end());
    }
  }

  std::size_t batch_reports() const override { return kBatchReports; }
  // A batch's reports are read before it takes the lock.
  std::size_t read_ahead() const override { return kBatchReports; }

  std::optional<std::pair<Id, std::optional<Id>>> find_digest(const Digest& digest) override {
    if (const auto it = digests_.find(digest); it != digests_.end()) return it->second;
    const Result r =
        run("SELECT id, machine, digest FROM report WHERE tag = $1", Params().int8(tag_of(digest)));
    digests_.try_emplace(digest);
    remember_digests(r);
    return digests_[digest];
  }

  Id next_id() override {
    flush();
    const Result r = run("SELECT coalesce(max(id), 0) + 1 FROM report", Params());
    return int8_at(r, 0, 0);
  }

  void insert_report(const StoredReport& r) override {
    digests_[r.digest] = std::make_pair(r.id, r.machine);
    reports_.row(13);
    reports_.int8(r.id);
    reports_.int8(tag_of(r.digest));
    reports_.bytes({reinterpret_cast<const char*>(r.digest.data()), r.digest.size()});
    reports_.bytes(r.file);
    reports_.int8(r.received);
    reports_.bytes(r.note);
    reports_.bytes(r.bytes);
    if (r.machine) {
      reports_.null();
    } else {
      reports_.bytes(r.reason);
    }
    reports_.optional_int8(r.machine);
    reports_.optional_int8(r.prev);
    reports_.bytes(r.match);
    reports_.int8(r.rules);
    reports_.bytes(r.evidence);
    flush_when_large();
  }

  void retie_report(Id record, std::optional<Id> machine, std::optional<Id> prev,
                    const std::string& match, int rules, const std::string& evidence) override {
    ties_.push_back({record, machine, prev, match, rules, evidence});
    ties_bytes_ += evidence.size();
    flush_when_large();
  }

  std::optional<std::pair<Id, std::string>> latest_report(Id machine) override {
    flush();
    const Result r =
        run("SELECT r.id, r.bytes FROM machine m JOIN report r ON r.id = m.latest WHERE m.id = $1",
            Params().int8(machine));
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return std::make_pair(int8_at(r, 0, 0), bytes_at(r, 0, 1));
  }

  void insert_machine(const MachineRow& m) override {
    machines_[m.id] = {m, true, true, true};
    ++pending_machines_;
    flush_when_large();
  }

  void set_latest(Id machine, Id record, const std::string& identity) override {
    auto [it, fresh] = machines_.try_emplace(machine);
    if (fresh) it->second.known = false;
    it->second.row = {machine, record, identity};
    if (!it->second.dirty) ++pending_machines_;
    it->second.dirty = true;
    flush_when_large();
  }

  std::optional<MachineRow> machine(Id id) override {
    if (const auto it = machines_.find(id); it != machines_.end()) {
      if (it->second.known || it->second.dirty) return it->second.row;
      return std::nullopt;
    }
    const Result r =
        run("SELECT id, latest, identity FROM machine WHERE id = $1", Params().int8(id));
    remember_machines(r, 0);
    auto& entry = machines_[id];
    if (PQntuples(r.get()) == 0) {
      entry.known = false;
      return std::nullopt;
    }
    return entry.row;
  }

  std::vector<std::pair<std::int64_t, Id>> machines_with(
      const std::vector<std::int64_t>& hashes) override {
    load_keys(hashes);
    std::vector<std::pair<std::int64_t, Id>> found;
    for (const std::int64_t hash : hashes) {
      for (const Id m : keys_[hash]) found.emplace_back(hash, m);
    }
    return found;
  }

  // The caller never indexes a pair twice: a tie asks machines_with first.
  void index(const std::vector<std::int64_t>& hashes, Id machine) override {
    for (const std::int64_t hash : hashes) {
      if (const auto it = keys_.find(hash); it != keys_.end()) {
        it->second.push_back(machine);
      } else {
        unread_keys_ = true;
      }
      components_.row(2);
      components_.int8(hash);
      components_.int8(machine);
    }
    flush_when_large();
  }

  int witness(const ComponentKey& key, Id machine) override {
    // The count comes from the snapshot before the insert: add what it inserted.
    const Result r =
        run("WITH added AS (INSERT INTO witness (kind, value, machine) VALUES ($1, $2, $3)"
            " ON CONFLICT DO NOTHING RETURNING 1)"
            " SELECT (SELECT count(*) FROM witness WHERE kind = $1 AND value = $2)"
            " + (SELECT count(*) FROM added)",
            Params().int8(static_cast<int>(key.kind)).bytes(key.value).int8(machine));
    return static_cast<int>(int8_at(r, 0, 0));
  }

  void learn(const ComponentKey& key) override {
    run("INSERT INTO learned (kind, value) VALUES ($1, $2) ON CONFLICT DO NOTHING",
        Params().int8(static_cast<int>(key.kind)).bytes(key.value));
  }

  std::vector<Learned> learned_all() override {
    const Result r =
        run("SELECT l.kind, l.value, (SELECT count(*) FROM witness w WHERE w.kind = l.kind AND"
            " w.value = l.value) FROM learned l ORDER BY l.kind, l.value",
            Params());
    std::vector<Learned> all;
    all.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      all.push_back({{static_cast<KeyKind>(int8_at(r, i, 0)), bytes_at(r, i, 1)},
                     static_cast<int>(int8_at(r, i, 2))});
    }
    return all;
  }

  void link_clone(Id machine, Id other) override {
    clones_.emplace_back(machine, other);
    flush_when_large();
  }

  std::vector<std::pair<Id, Id>> clone_links() override {
    flush();
    const Result r = run("SELECT machine, other FROM clone ORDER BY machine, other", Params());
    std::vector<std::pair<Id, Id>> links;
    links.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      links.emplace_back(int8_at(r, i, 0), int8_at(r, i, 1));
    }
    return links;
  }

  std::vector<StoredReport> reports_after(Id after, int limit, bool with_bytes) override {
    flush();
    const Result r =
        run(with_bytes ? "SELECT id, digest, file, received, note, reason, machine, match, rules,"
                         " evidence, prev, bytes FROM report WHERE id > $1 ORDER BY id LIMIT $2"
                       : "SELECT id, digest, file, received, note, reason, machine, match, rules,"
                         " evidence, prev FROM report WHERE id > $1 ORDER BY id LIMIT $2",
            Params().int8(after).int8(limit));
    return reports_of(r, with_bytes);
  }

  std::vector<StoredReport> machine_reports(Id machine) override {
    flush();
    // Back along the chain on the server; a chain only goes to earlier reports.
    const Result r = run(
        "WITH RECURSIVE chain AS ("
        " SELECT r.* FROM report r JOIN machine m ON r.id = m.latest WHERE m.id = $1"
        " UNION ALL SELECT r.* FROM report r JOIN chain c ON r.id = c.prev AND r.id < c.id)"
        " SELECT id, digest, file, received, note, reason, machine, match, rules, evidence, prev,"
        " bytes FROM chain ORDER BY id",
        Params().int8(machine));
    return reports_of(r, true);
  }

  std::vector<Id> machine_ids() override {
    flush();
    const Result r = run("SELECT id FROM machine ORDER BY id", Params());
    std::vector<Id> ids;
    ids.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) ids.push_back(int8_at(r, i, 0));
    return ids;
  }

  std::vector<MachineRow> machines_after(Id after, int limit) override {
    flush();
    const Result r =
        run("SELECT id, latest, identity FROM machine WHERE id > $1 ORDER BY id LIMIT $2",
            Params().int8(after).int8(limit));
    std::vector<MachineRow> rows;
    rows.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      rows.push_back({int8_at(r, i, 0), int8_at(r, i, 1), bytes_at(r, i, 2)});
    }
    return rows;
  }

  std::vector<std::pair<std::int64_t, Id>> index_after(std::pair<std::int64_t, Id> after,
                                                       int limit) override {
    flush();
    const Result r =
        run("SELECT key, machine FROM component WHERE (key, machine) > ($1, $2)"
            " ORDER BY key, machine LIMIT $3",
            Params().int8(after.first).int8(after.second).int8(limit));
    std::vector<std::pair<std::int64_t, Id>> entries;
    entries.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      entries.emplace_back(int8_at(r, i, 0), int8_at(r, i, 1));
    }
    return entries;
  }

  std::vector<std::pair<ComponentKey, Id>> witnesses() override {
    const Result r =
        run("SELECT kind, value, machine FROM witness ORDER BY kind, value, machine", Params());
    std::vector<std::pair<ComponentKey, Id>> all;
    all.reserve(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      all.emplace_back(ComponentKey{static_cast<KeyKind>(int8_at(r, i, 0)), bytes_at(r, i, 1)},
                       int8_at(r, i, 2));
    }
    return all;
  }

  void clear_ties(bool forget_learned) override {
    flush();
    exec("DELETE FROM machine");
    exec("DELETE FROM component");
    exec("DELETE FROM witness");
    exec("DELETE FROM clone");
    if (forget_learned) exec("DELETE FROM learned");
    forget();
  }

  const std::string& location() const override { return location_; }

 private:
  struct MachineEntry {
    MachineRow row;
    bool known = true;  // the server has a row (or this batch made one)
    bool dirty = false;
    bool fresh = false;  // made in this batch: inserted, not updated
  };

  std::string last_error() const {
    std::string message = conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    // libpq's messages span indented lines: one line for ours.
    std::string line;
    for (const char c : message) {
      const bool space = c == '\n' || c == '\t' || c == ' ';
      if (!space) {
        line += c;
      } else if (!line.empty() && line.back() != ' ') {
        line += ' ';
      }
    }
    return line;
  }

  [[noreturn]] void fail(const PGresult* result) const {
    std::string cause;
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string_view code = state != nullptr ? state : "";
    if (PQstatus(conn_) != CONNECTION_OK) {
      cause = "connection lost";
    } else if (code == "53100") {
      cause = "disk full";
    } else if (code.substr(0, 2) == "42" || code == "25006") {
      cause = "permission denied or not a registry";
    } else if (code.substr(0, 2) == "57") {
      cause = "the server is shutting down";
    } else {
      cause = "the server refused";
    }
    throw Error("registry " + location_ + ": " + cause + " (" + last_error() + ")");
  }

  Result check(PGresult* raw, ExecStatusType wanted) {
    Result r(raw);
    if (!r || PQresultStatus(r.get()) != wanted) {
      // A multi-statement exec leaves the rest unread; nothing else is queued.
      fail(r.get());
    }
    return r;
  }

  // Collects the answers of what was sent without waiting; the version
  // read with a snapshot is kept.
  void settle() {
    if (!in_flight_) return;
    in_flight_ = false;
    bool failed = false;
    Result failure;
    while (PGresult* raw = PQgetResult(conn_)) {
      Result r(raw);
      const ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_TUPLES_OK && PQnfields(raw) == 1) {
        read_version_ = PQntuples(raw) == 1 ? std::stoull(PQgetvalue(raw, 0, 0)) : std::uint64_t{0};
      } else if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failed) {
        failed = true;
        failure = std::move(r);
      }
    }
    if (failed || PQstatus(conn_) != CONNECTION_OK) fail(failure.get());
  }

  void exec(const char* sql) {
    settle();
    Result r(PQexec(conn_, sql));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r.get());
  }

  // Prepared once per connection, keyed by the literal's address.
  Result run(const char* sql, const Params& params) {
    settle();
    auto [it, fresh] = prepared_.try_emplace(sql, "");
    if (fresh) {
      it->second = "s" + std::to_string(prepared_.size());
      Result p(PQprepare(conn_, it->second.c_str(), sql, params.size(), params.types()));
      if (!p || PQresultStatus(p.get()) != PGRES_COMMAND_OK) {
        prepared_.erase(it);
        fail(p.get());
      }
    }
    std::vector<const char*> data;
    std::vector<int> lengths;
    std::vector<int> formats;
    params.pointers(data, lengths, formats);
    Result r(PQexecPrepared(conn_, it->second.c_str(), params.size(), data.data(), lengths.data(),
                            formats.data(), 1));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r.get());
    return r;
  }

  void copy_in(const char* sql, CopyRows& rows) {
    if (rows.rows() == 0) return;
    settle();
    const Result start(PQexec(conn_, sql));
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) fail(start.get());
    const std::string& data = rows.finish();
    constexpr std::size_t kChunk = 1 << 20;
    for (std::size_t at = 0; at < data.size(); at += kChunk) {
      const std::size_t n = std::min(kChunk, data.size() - at);
      if (PQputCopyData(conn_, data.data() + at, static_cast<int>(n)) != 1) fail(nullptr);
    }
    if (PQputCopyEnd(conn_, nullptr) != 1) fail(nullptr);
    Result end(PQgetResult(conn_));
    const bool ok = end && PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    // Drain to the end of the command whatever happened.
    while (PGresult* more = PQgetResult(conn_)) PQclear(more);
    if (!ok) fail(end.get());
    rows = CopyRows();
  }

  void flush_when_large() {
    const std::size_t rows =
        reports_.rows() + ties_.size() + components_.rows() + pending_machines_ + clones_.size();
    if (rows >= kPendingRows || reports_.size() + ties_bytes_ >= kPendingBytes) flush();
  }

  // Sends every pending write; the caches stay true.
  void flush() {
    copy_in(
        "COPY report (id, tag, digest, file, received, note, bytes, reason, machine, prev, match,"
        " rules, evidence) FROM STDIN (FORMAT binary)",
        reports_);
    if (!ties_.empty()) {
      Array ids(kInt8), machines(kInt8), prevs(kInt8), matches(kText), rules(kInt8),
          evidence(kText);
      for (const Tie& t : ties_) {
        ids.int8(t.record);
        machines.optional_int8(t.machine);
        prevs.optional_int8(t.prev);
        matches.bytes(t.match);
        rules.int8(t.rules);
        evidence.bytes(t.evidence);
      }
      ties_.clear();
      ties_bytes_ = 0;
      run("UPDATE report r SET machine = t.machine, prev = t.prev, match = t.match,"
          " rules = t.rules, evidence = t.evidence"
          " FROM unnest($1, $2, $3, $4, $5, $6) AS t(id, machine, prev, match, rules, evidence)"
          " WHERE r.id = t.id",
          Params()
              .array(ids, kInt8Array)
              .array(machines, kInt8Array)
              .array(prevs, kInt8Array)
              .array(matches, kTextArray)
              .array(rules, kInt8Array)
              .array(evidence, kTextArray));
    }
    if (pending_machines_ > 0) {
      CopyRows fresh;
      Array ids(kInt8), latest(kInt8), identity(kBytea);
      for (auto& [id, entry] : machines_) {
        if (!entry.dirty) continue;
        if (entry.fresh) {
          fresh.row(3);
          fresh.int8(entry.row.id);
          fresh.int8(entry.row.latest);
          fresh.bytes(entry.row.identity);
        } else {
          ids.int8(entry.row.id);
          latest.int8(entry.row.latest);
          identity.bytes(entry.row.identity);
        }
        entry.dirty = false;
        entry.fresh = false;
        entry.known = true;
      }
      pending_machines_ = 0;
      copy_in("COPY machine (id, latest, identity) FROM STDIN (FORMAT binary)", fresh);
      if (ids.size() > 0) {
        run("UPDATE machine m SET latest = u.latest, identity = u.identity"
            " FROM unnest($1, $2, $3) AS u(id, latest, identity) WHERE m.id = u.id",
            Params().array(ids, kInt8Array).array(latest, kInt8Array).array(identity, kByteaArray));
      }
    }
    if (!clones_.empty()) {
      Array machines(kInt8), others(kInt8);
      for (const auto& [machine, other] : clones_) {
        machines.int8(machine);
        others.int8(other);
      }
      clones_.clear();
      run("INSERT INTO clone (machine, other) SELECT * FROM unnest($1, $2) ON CONFLICT DO NOTHING",
          Params().array(machines, kInt8Array).array(others, kInt8Array));
    }
    copy_in("COPY component (key, machine) FROM STDIN (FORMAT binary)", components_);
    unread_keys_ = false;
    // What was read stays true; past a bound it is read again when asked.
    if (digests_.size() > kCachedRows) digests_.clear();
    if (machines_.size() > kCachedRows) machines_.clear();
  }

  // Drops every pending write and what was read: the transaction is over.
  void forget() noexcept {
    reports_ = CopyRows();
    ties_.clear();
    ties_bytes_ = 0;
    clones_.clear();
    components_ = CopyRows();
    pending_machines_ = 0;
    unread_keys_ = false;
    digests_.clear();
    keys_.clear();
    machines_.clear();
    read_version_.reset();
  }

  void remember_digest(const Result& r, int row, int first) {
    const std::string bytes = bytes_at(r, row, first + 2);
    Digest d{};
    if (bytes.size() != d.size()) return;
    std::memcpy(d.data(), bytes.data(), d.size());
    auto& slot = digests_[d];
    if (!slot) slot = std::make_pair(int8_at(r, row, first), optional_at(r, row, first + 1));
  }
  void remember_digests(const Result& r) {
    for (int i = 0; i < PQntuples(r.get()); ++i) remember_digest(r, i, 0);
  }

  void remember_machine(const Result& r, int row, int first) {
    if (null_at(r, row, first)) return;
    const Id id = int8_at(r, row, first);
    auto [it, fresh] = machines_.try_emplace(id);
    if (fresh) it->second.row = {id, int8_at(r, row, first + 1), bytes_at(r, row, first + 2)};
  }
  void remember_machines(const Result& r, int first) {
    for (int i = 0; i < PQntuples(r.get()); ++i) remember_machine(r, i, first);
  }

  // Reads the index entries of these keys, with their machines' rows, in one
  // round trip; keys read before are not asked again.
  void load_keys(const std::vector<std::int64_t>& hashes) {
    if (unread_keys_) flush();
    std::vector<std::int64_t> missing;
    for (const std::int64_t hash : hashes) {
      if (keys_.count(hash) == 0) missing.push_back(hash);
    }
    if (missing.empty()) return;
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
    const Result r = run(
        "SELECT c.key, c.machine, m.id, m.latest, m.identity FROM component c"
        " LEFT JOIN machine m ON m.id = c.machine WHERE c.key = ANY($1) ORDER BY c.key, c.machine",
        Params().int8s(missing));
    for (const std::int64_t hash : missing) keys_.try_emplace(hash);
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      keys_[int8_at(r, i, 0)].push_back(int8_at(r, i, 1));
    }
    remember_machines(r, 2);
  }

  std::vector<StoredReport> reports_of(const Result& r, bool with_bytes) {
    std::vector<StoredReport> reports(static_cast<std::size_t>(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      StoredReport& s = reports[static_cast<std::size_t>(i)];
      s.id = int8_at(r, i, 0);
      const std::string digest = bytes_at(r, i, 1);
      if (digest.size() == s.digest.size()) {
        std::memcpy(s.digest.data(), digest.data(), digest.size());
      }
      s.file = bytes_at(r, i, 2);
      s.received = int8_at(r, i, 3);
      s.note = bytes_at(r, i, 4);
      s.reason = null_at(r, i, 5) ? std::string() : bytes_at(r, i, 5);
      s.machine = optional_at(r, i, 6);
      s.match = null_at(r, i, 7) ? std::string() : bytes_at(r, i, 7);
      s.rules = static_cast<int>(int8_at(r, i, 8));
      s.evidence = bytes_at(r, i, 9);
      s.prev = optional_at(r, i, 10);
      if (with_bytes) s.bytes = bytes_at(r, i, 11);
    }
    return reports;
  }

  // The schema's version and ours; an empty database becomes a registry when
  // create is asked, under the writers' lock so that two adds making one
  // registry make it once.
  void open(bool create) {
    exec("SET client_min_messages = warning");
    // Every statement here is prepared once and its plan does not depend on
    // the values: planning each execution again only costs time.
    exec("SET plan_cache_mode = force_generic_plan");
    // And every one finds its rows by an index. Statistics lag far behind a
    // bulk load (a registry made empty holds a million reports a minute
    // later), and a plan made from them that scans whole tables turned one
    // batch from a tenth of a second into seconds.
    exec("SET enable_seqscan = off");
    // A writer stopped while it holds the lock frees it for the others.
    exec("SET idle_in_transaction_session_timeout = '60s'");
    begin_write();
    try {
      const Result tables =
          run("SELECT count(*) FILTER (WHERE tablename = 'registry_meta'), count(*) FROM pg_tables"
              " WHERE schemaname = current_schema()",
              Params());
      const bool ours = int8_at(tables, 0, 0) == 1;
      const std::int64_t count = int8_at(tables, 0, 1);
      if (!ours && count > 0) {
        throw Error("registry " + location_ + ": not a registry (a database of something else)");
      }
      if (!ours && !create) throw Error("no registry at " + location_);
      std::int64_t version = 0;
      if (ours) {
        const Result v =
            run("SELECT (SELECT value FROM registry_meta WHERE name = 'application'),"
                " (SELECT value FROM registry_meta WHERE name = 'schema')",
                Params());
        if (null_at(v, 0, 0) || int8_at(v, 0, 0) != kWriterLock || null_at(v, 0, 1)) {
          throw Error("registry " + location_ + ": not a registry (a database of something else)");
        }
        version = int8_at(v, 0, 1);
      }
      if (version > kSchemaVersion) {
        throw Error("registry " + location_ + ": made by a newer zavro-record (schema " +
                    std::to_string(version) + ", this one knows " + std::to_string(kSchemaVersion) +
                    ")");
      }
      // Every step from the database's version to ours in this one transaction.
      if (version == 0) {
        exec("CREATE TABLE registry_meta (name TEXT PRIMARY KEY, value BIGINT NOT NULL)");
        for (const char* sql : kSchema) exec(postgres_sql(sql).c_str());
        exec(("INSERT INTO registry_meta VALUES ('application', " + std::to_string(kWriterLock) +
              "), ('schema', 0), ('changes', 0)")
                 .c_str());
      }
      if (version < kSchemaVersion) {
        exec(("UPDATE registry_meta SET value = " + std::to_string(kSchemaVersion) +
              " WHERE name = 'schema'")
                 .c_str());
        commit();
      } else {
        rollback();
      }
    } catch (...) {
      rollback();
      throw;
    }
  }

  PGconn* conn_ = nullptr;
  std::string location_;
  std::unordered_map<const char*, std::string> prepared_;
  std::optional<std::uint64_t> read_version_;
  bool in_flight_ = false;  // answers sent for and not yet collected

  // What this transaction read or wrote, by key.
  struct DigestHash {
    std::size_t operator()(const Digest& d) const {
      std::size_t h = 0;
      std::memcpy(&h, d.data(), sizeof h);
      return h;
    }
  };
  std::unordered_map<Digest, std::optional<std::pair<Id, std::optional<Id>>>, DigestHash> digests_;
  std::unordered_map<std::int64_t, std::vector<Id>> keys_;
  std::map<Id, MachineEntry> machines_;

  // Writes not yet sent.
  CopyRows reports_;
  struct Tie {
    Id record = 0;
    std::optional<Id> machine;
    std::optional<Id> prev;
    std::string match;
    int rules = 0;
    std::string evidence;
  };
  std::vector<Tie> ties_;
  std::size_t ties_bytes_ = 0;
  std::vector<std::pair<Id, Id>> clones_;
  CopyRows components_;
  std::size_t pending_machines_ = 0;
  // Index entries pending for keys not read: read none before they are sent.
  bool unread_keys_ = false;
};

}  // namespace

bool is_postgres_uri(std::string_view location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> open_postgres(const std::string& uri, bool create) {
  return std::make_unique<PgStore>(uri, create);
}

}  // namespace zavro::registry
