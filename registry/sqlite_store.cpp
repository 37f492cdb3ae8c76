// The registry in one SQLite file: WAL, so readers never wait for a writer;
// every batch under BEGIN IMMEDIATE, so two writers take turns and each tie
// sees every report committed before it.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/schema.hpp"
#include "registry/store.hpp"

namespace zavro::registry {
namespace {

// 'ZAVR': tells our registry from any other SQLite file.
constexpr int kApplicationId = 0x5A415652;
// How long a registry may be held by another process that writes nothing
// before it is reported as locked.
constexpr int kBusyMilliseconds = 10000;
constexpr int kTurnMilliseconds = 3;
// A waiting writer touches REGISTRY-wait each time it polls: this recent, it still waits.
constexpr int kWaitFreshMilliseconds = 50;
// A batch is one transaction. Each commit writes every index page the batch
// touched, and index keys are hashes spread over the whole index: the larger
// the batch, the fewer times a page is written.
constexpr std::size_t kBatchReports = 50000;

std::string cause_of(int code) {
  switch (code & 0xFF) {
    case SQLITE_FULL:
      return "disk full";
    case SQLITE_READONLY:
      return "read-only";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "locked by another process";
    case SQLITE_CORRUPT:
      return "damaged";
    case SQLITE_NOTADB:
      return "not a registry";
    case SQLITE_CANTOPEN:
      return "cannot be opened";
    case SQLITE_IOERR:
      return "input/output error";
    case SQLITE_PERM:
      return "permission denied";
    case SQLITE_NOMEM:
      return "out of memory";
    default:
      return sqlite3_errstr(code);
  }
}

// Index lookups and inserts go in groups: one statement per report, not per key.
constexpr std::size_t kKeysPerStatement = 8;

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }
  sqlite3_stmt*& handle() { return stmt_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore final : public Store {
 public:
  SqliteStore(std::string path, bool create) : path_(std::move(path)) {
    try {
      open(create);
    } catch (...) {
      statements_.clear();
      sqlite3_close_v2(db_);
      throw;
    }
  }
  ~SqliteStore() override {
    statements_.clear();
    sqlite3_close_v2(db_);
  }

  void begin_write() override { exec("BEGIN IMMEDIATE"); }
  void commit() override {
    exec("COMMIT");
    ++commits_;
    // A writer waiting for the registry polls every millisecond: when one
    // says it waits, leave it a moment to take its turn before this one
    // starts its next batch. Nobody waiting: no pause (a server committing
    // each request would otherwise spend most of its time asleep).
    struct stat wait {};
    if (::stat(wait_path_.c_str(), &wait) == 0) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      const auto touched = std::chrono::seconds(wait.st_mtim.tv_sec) +
                           std::chrono::nanoseconds(wait.st_mtim.tv_nsec);
      if (now - touched < std::chrono::milliseconds(kWaitFreshMilliseconds)) {
        sqlite3_sleep(kTurnMilliseconds);
      }
    }
  }
  // data_version moves with other connections' commits only.
  std::uint64_t version() override {
    return static_cast<std::uint64_t>(pragma_int("PRAGMA data_version")) << 32 ^ commits_;
  }
  void rollback() noexcept override {
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  void begin_read() override { exec("BEGIN"); }
  void end_read() noexcept override { rollback(); }

  std::optional<std::pair<Id, std::optional<Id>>> find_digest(const Digest& digest) override {
    sqlite3_stmt* s = prepare("SELECT id, machine, digest FROM report WHERE tag = ?");
    sqlite3_bind_int64(s, 1, tag_of(digest));
    std::optional<std::pair<Id, std::optional<Id>>> found;
    while (!found && step(s)) {
      if (column(s, 2) !=
          std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size())) {
        continue;
      }
      std::optional<Id> machine;
      if (sqlite3_column_type(s, 1) != SQLITE_NULL) machine = sqlite3_column_int64(s, 1);
      found.emplace(sqlite3_column_int64(s, 0), machine);
    }
    done(s);
    return found;
  }

  Id next_id() override {
    sqlite3_stmt* s = prepare("SELECT coalesce(max(id), 0) + 1 FROM report");
    step(s);
    const Id id = sqlite3_column_int64(s, 0);
    done(s);
    return id;
  }

  void insert_report(const StoredReport& r) override {
    sqlite3_stmt* s = prepare(
        "INSERT INTO report (digest, file, received, note, bytes, reason, machine, match, rules,"
        " evidence, id, tag, prev) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    blob(s, 1, {reinterpret_cast<const char*>(r.digest.data()), r.digest.size()});
    blob(s, 2, r.file);
    sqlite3_bind_int64(s, 3, r.received);
    blob(s, 4, r.note);
    blob(s, 5, r.bytes);
    if (r.machine) {
      sqlite3_bind_null(s, 6);
      sqlite3_bind_int64(s, 7, *r.machine);
    } else {
      blob(s, 6, r.reason);
      sqlite3_bind_null(s, 7);
    }
    text(s, 8, r.match);
    sqlite3_bind_int(s, 9, r.rules);
    text(s, 10, r.evidence);
    sqlite3_bind_int64(s, 11, r.id);
    sqlite3_bind_int64(s, 12, tag_of(r.digest));
    optional_id(s, 13, r.prev);
    step(s);
    done(s);
  }

  void retie_report(Id record, std::optional<Id> machine, std::optional<Id> prev,
                    const std::string& match, int rules, const std::string& evidence) override {
    sqlite3_stmt* s = prepare(
        "UPDATE report SET machine = ?, prev = ?, match = ?, rules = ?, evidence = ? WHERE id = ?");
    optional_id(s, 1, machine);
    optional_id(s, 2, prev);
    text(s, 3, match);
    sqlite3_bind_int(s, 4, rules);
    text(s, 5, evidence);
    sqlite3_bind_int64(s, 6, record);
    step(s);
    done(s);
  }

  void insert_machine(const MachineRow& m) override {
    sqlite3_stmt* s = prepare("INSERT INTO machine (id, latest, identity) VALUES (?, ?, ?)");
    sqlite3_bind_int64(s, 1, m.id);
    sqlite3_bind_int64(s, 2, m.latest);
    blob(s, 3, m.identity);
    step(s);
    done(s);
  }

  void set_latest(Id machine, Id record, const std::string& identity) override {
    sqlite3_stmt* s = prepare("UPDATE machine SET latest = ?, identity = ? WHERE id = ?");
    sqlite3_bind_int64(s, 1, record);
    blob(s, 2, identity);
    sqlite3_bind_int64(s, 3, machine);
    step(s);
    done(s);
  }

  std::optional<std::pair<Id, std::string>> latest_report(Id machine) override {
    sqlite3_stmt* s = prepare(
        "SELECT r.id, r.bytes FROM machine m JOIN report r ON r.id = m.latest WHERE m.id = ?");
    sqlite3_bind_int64(s, 1, machine);
    std::optional<std::pair<Id, std::string>> latest;
    if (step(s)) latest.emplace(sqlite3_column_int64(s, 0), column(s, 1));
    done(s);
    return latest;
  }

  std::optional<MachineRow> machine(Id id) override {
    sqlite3_stmt* s = prepare("SELECT latest, identity FROM machine WHERE id = ?");
    sqlite3_bind_int64(s, 1, id);
    std::optional<MachineRow> row;
    if (step(s)) row = MachineRow{id, sqlite3_column_int64(s, 0), column(s, 1)};
    done(s);
    return row;
  }

  std::vector<std::pair<std::int64_t, Id>> machines_with(
      const std::vector<std::int64_t>& hashes) override {
    std::vector<std::pair<std::int64_t, Id>> found;
    for (std::size_t from = 0; from < hashes.size(); from += kKeysPerStatement) {
      const std::size_t n = std::min(kKeysPerStatement, hashes.size() - from);
      sqlite3_stmt* s = prepare(select_keys_[n - 1].c_str());
      for (std::size_t i = 0; i < n; ++i) {
        sqlite3_bind_int64(s, static_cast<int>(i + 1), hashes[from + i]);
      }
      while (step(s)) found.emplace_back(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1));
      done(s);
    }
    return found;
  }

  void index(const std::vector<std::int64_t>& hashes, Id machine) override {
    for (std::size_t from = 0; from < hashes.size(); from += kKeysPerStatement) {
      const std::size_t n = std::min(kKeysPerStatement, hashes.size() - from);
      sqlite3_stmt* s = prepare(insert_keys_[n - 1].c_str());
      for (std::size_t i = 0; i < n; ++i) {
        sqlite3_bind_int64(s, static_cast<int>(2 * i + 1), hashes[from + i]);
        sqlite3_bind_int64(s, static_cast<int>(2 * i + 2), machine);
      }
      step(s);
      done(s);
    }
  }

  int witness(const ComponentKey& key, Id machine) override {
    sqlite3_stmt* s =
        prepare("INSERT OR IGNORE INTO witness (kind, value, machine) VALUES (?, ?, ?)");
    bind_key(s, key);
    sqlite3_bind_int64(s, 3, machine);
    step(s);
    done(s);
    sqlite3_stmt* c = prepare("SELECT count(*) FROM witness WHERE kind = ? AND value = ?");
    bind_key(c, key);
    step(c);
    const int n = sqlite3_column_int(c, 0);
    done(c);
    return n;
  }

  void learn(const ComponentKey& key) override {
    sqlite3_stmt* s = prepare("INSERT OR IGNORE INTO learned (kind, value) VALUES (?, ?)");
    bind_key(s, key);
    step(s);
    done(s);
  }

  std::vector<Learned> learned_all() override {
    sqlite3_stmt* s = prepare(
        "SELECT l.kind, l.value, (SELECT count(*) FROM witness w WHERE w.kind = l.kind AND"
        " w.value = l.value) FROM learned l ORDER BY l.kind, l.value");
    std::vector<Learned> all;
    while (step(s)) {
      all.push_back({{static_cast<KeyKind>(sqlite3_column_int(s, 0)), column(s, 1)},
                     sqlite3_column_int(s, 2)});
    }
    done(s);
    return all;
  }

  void link_clone(Id machine, Id other) override {
    sqlite3_stmt* s = prepare("INSERT OR IGNORE INTO clone (machine, other) VALUES (?, ?)");
    sqlite3_bind_int64(s, 1, machine);
    sqlite3_bind_int64(s, 2, other);
    step(s);
    done(s);
  }

  std::vector<std::pair<Id, Id>> clone_links() override {
    sqlite3_stmt* s = prepare("SELECT machine, other FROM clone ORDER BY machine, other");
    std::vector<std::pair<Id, Id>> links;
    while (step(s)) links.emplace_back(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1));
    done(s);
    return links;
  }

  std::vector<StoredReport> reports_after(Id after, int limit, bool with_bytes) override {
    sqlite3_stmt* s = prepare(
        with_bytes ? "SELECT id, digest, file, received, note, reason, machine, match, rules,"
                     " evidence, prev, bytes FROM report WHERE id > ? ORDER BY id LIMIT ?"
                   : "SELECT id, digest, file, received, note, reason, machine, match, rules,"
                     " evidence, prev FROM report WHERE id > ? ORDER BY id LIMIT ?");
    sqlite3_bind_int64(s, 1, after);
    sqlite3_bind_int(s, 2, limit);
    std::vector<StoredReport> reports;
    while (step(s)) {
      reports.emplace_back();
      row(s, reports.back(), with_bytes);
    }
    done(s);
    return reports;
  }

  std::vector<StoredReport> machine_reports(Id machine) override {
    std::vector<StoredReport> reports;
    const auto m = this->machine(machine);
    if (!m) return reports;
    sqlite3_stmt* s = prepare(
        "SELECT id, digest, file, received, note, reason, machine, match, rules, evidence, prev,"
        " bytes FROM report WHERE id = ?");
    // Back along the chain; a chain can only go to earlier reports.
    for (std::optional<Id> at = m->latest; at && (reports.empty() || *at < reports.back().id);) {
      sqlite3_bind_int64(s, 1, *at);
      if (!step(s)) {
        done(s);
        break;
      }
      reports.emplace_back();
      row(s, reports.back(), true);
      done(s);
      at = reports.back().prev;
    }
    std::reverse(reports.begin(), reports.end());
    return reports;
  }

  std::vector<Id> machine_ids() override {
    sqlite3_stmt* s = prepare("SELECT id FROM machine ORDER BY id");
    std::vector<Id> ids;
    while (step(s)) ids.push_back(sqlite3_column_int64(s, 0));
    done(s);
    return ids;
  }

  std::vector<MachineRow> machines_after(Id after, int limit) override {
    sqlite3_stmt* s =
        prepare("SELECT id, latest, identity FROM machine WHERE id > ? ORDER BY id LIMIT ?");
    sqlite3_bind_int64(s, 1, after);
    sqlite3_bind_int(s, 2, limit);
    std::vector<MachineRow> rows;
    while (step(s)) {
      rows.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), column(s, 2)});
    }
    done(s);
    return rows;
  }

  std::vector<std::pair<std::int64_t, Id>> index_after(std::pair<std::int64_t, Id> after,
                                                       int limit) override {
    sqlite3_stmt* s = prepare(
        "SELECT key, machine FROM component WHERE (key, machine) > (?, ?)"
        " ORDER BY key, machine LIMIT ?");
    sqlite3_bind_int64(s, 1, after.first);
    sqlite3_bind_int64(s, 2, after.second);
    sqlite3_bind_int(s, 3, limit);
    std::vector<std::pair<std::int64_t, Id>> entries;
    while (step(s)) entries.emplace_back(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1));
    done(s);
    return entries;
  }

  std::vector<std::pair<ComponentKey, Id>> witnesses() override {
    sqlite3_stmt* s =
        prepare("SELECT kind, value, machine FROM witness ORDER BY kind, value, machine");
    std::vector<std::pair<ComponentKey, Id>> all;
    while (step(s)) {
      all.emplace_back(ComponentKey{static_cast<KeyKind>(sqlite3_column_int(s, 0)), column(s, 1)},
                       sqlite3_column_int64(s, 2));
    }
    done(s);
    return all;
  }

  std::size_t batch_reports() const override { return kBatchReports; }

  void clear_ties(bool forget_learned) override {
    exec("DELETE FROM machine");
    exec("DELETE FROM component");
    exec("DELETE FROM witness");
    exec("DELETE FROM clone");
    if (forget_learned) exec("DELETE FROM learned");
  }

  const std::string& location() const override { return path_; }

 private:
  [[noreturn]] void fail(int code) const {
    const char* detail = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    const std::string cause = cause_of(code);
    std::string message = "registry " + path_ + ": " + cause;
    if (cause != detail) message += std::string(" (") + detail + ")";
    throw Error(message);
  }

  void exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc);
  }

  // Keyed by the literal's address: no text is built or compared per call.
  sqlite3_stmt* prepare(const char* sql) {
    auto& slot = statements_[sql];
    if (!slot) {
      slot = std::make_unique<Statement>();
      const int rc =
          sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot->handle(), nullptr);
      if (rc != SQLITE_OK) {
        statements_.erase(sql);
        fail(rc);
      }
    }
    return slot->get();
  }

  // True for a row, false at the end; an error throws.
  bool step(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    fail(rc);
  }

  static void done(sqlite3_stmt* s) {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }

  static void blob(sqlite3_stmt* s, int at, std::string_view bytes) {
    sqlite3_bind_blob64(s, at, bytes.data(), bytes.size(), SQLITE_STATIC);
  }
  static void text(sqlite3_stmt* s, int at, const std::string& value) {
    sqlite3_bind_text64(s, at, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
  }
  static void optional_id(sqlite3_stmt* s, int at, const std::optional<Id>& id) {
    if (id) {
      sqlite3_bind_int64(s, at, *id);
    } else {
      sqlite3_bind_null(s, at);
    }
  }
  static void bind_key(sqlite3_stmt* s, const ComponentKey& key) {
    sqlite3_bind_int(s, 1, static_cast<int>(key.kind));
    blob(s, 2, key.value);
  }
  static std::string column(sqlite3_stmt* s, int at) {
    const void* data = sqlite3_column_blob(s, at);
    const int size = sqlite3_column_bytes(s, at);
    return data == nullptr
               ? std::string()
               : std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
  }

  static void row(sqlite3_stmt* s, StoredReport& r, bool with_bytes) {
    r.id = sqlite3_column_int64(s, 0);
    const std::string digest = column(s, 1);
    if (digest.size() == r.digest.size())
      std::memcpy(r.digest.data(), digest.data(), digest.size());
    r.file = column(s, 2);
    r.received = sqlite3_column_int64(s, 3);
    r.note = column(s, 4);
    r.reason = column(s, 5);
    r.machine.reset();
    if (sqlite3_column_type(s, 6) != SQLITE_NULL) r.machine = sqlite3_column_int64(s, 6);
    r.match = column(s, 7);
    r.rules = sqlite3_column_int(s, 8);
    r.evidence = column(s, 9);
    r.prev.reset();
    if (sqlite3_column_type(s, 10) != SQLITE_NULL) r.prev = sqlite3_column_int64(s, 10);
    r.bytes = with_bytes ? column(s, 11) : std::string();
  }

  int pragma_int(const char* sql) {
    sqlite3_stmt* s = prepare(sql);
    const int value = step(s) ? sqlite3_column_int(s, 0) : 0;
    done(s);
    return value;
  }

  void open(bool create) {
    namespace fs = std::filesystem;
    std::error_code error;
    const bool exists = fs::exists(path_, error);
    if (!exists && !create) throw Error("no registry at " + path_);
    if (!exists) make_file();
    // NOFOLLOW-free: a registry may well be a link the user set up.
    int rc =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &SqliteStore::on_busy, this);
    // One snapshot: another add may be making this registry right now, and
    // reads apart could see its tables but not yet its application id.
    begin_read();
    const int application = pragma_int("PRAGMA application_id");
    const int version = pragma_int("PRAGMA user_version");
    const int tables = pragma_int("SELECT count(*) FROM sqlite_schema");
    end_read();
    if (application != kApplicationId && (tables > 0 || !create)) {
      throw Error("registry " + path_ + ": not a registry (a database of something else)");
    }
    if (version > kSchemaVersion) {
      throw Error("registry " + path_ + ": made by a newer zavro-record (schema " +
                  std::to_string(version) + ", this one knows " + std::to_string(kSchemaVersion) +
                  ")");
    }
    use_wal();
    // WAL with NORMAL: a killed process loses nothing committed; a power cut
    // may lose the last batches, never the file.
    exec("PRAGMA synchronous = NORMAL");
    exec("PRAGMA cache_size = -24576");
    exec("PRAGMA wal_autocheckpoint = 8192");
    if (version < kSchemaVersion) migrate();
  }

  // Waits while another process holds the registry, for as long as it keeps
  // writing (its write-ahead log changes): two adds both finish, however long
  // each runs. One that holds it without writing for kBusyMilliseconds is
  // reported as a lock.
  static int on_busy(void* self, int count) {
    auto& store = *static_cast<SqliteStore*>(self);
    const auto now = std::chrono::steady_clock::now();
    struct stat wal {};
    const bool has_wal = ::stat((store.path_ + "-wal").c_str(), &wal) == 0;
    const std::pair<long long, long long> seen{
        has_wal ? static_cast<long long>(wal.st_size) : -1LL,
        has_wal ? static_cast<long long>(wal.st_mtim.tv_sec) * 1000000000LL + wal.st_mtim.tv_nsec
                : -1LL};
    if (count == 0 || seen != store.wal_seen_) {
      store.wal_seen_ = seen;
      store.progress_at_ = now;
    }
    store.say_waiting();
    if (now - store.progress_at_ >= std::chrono::milliseconds(kBusyMilliseconds)) return 0;
    sqlite3_sleep(1);
    return 1;
  }

  // Tells the writer holding the registry that this one waits for its turn.
  // Best effort: a registry this process cannot write beside fails elsewhere.
  void say_waiting() const {
    if (::utimensat(AT_FDCWD, wait_path_.c_str(), nullptr, 0) == 0 || errno != ENOENT) return;
    const int fd = ::open(wait_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) ::close(fd);
  }

  // Turning WAL on needs the file alone, and SQLite gives up at once, past the
  // busy handler, while another process reads it (two adds making one
  // registry): wait here as long as the handler would.
  void use_wal() {
    for (int waited = 0;; waited += 10) {
      const int rc = sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) return;
      if ((rc & 0xFF) != SQLITE_BUSY || waited >= kBusyMilliseconds) fail(rc);
      sqlite3_sleep(10);
    }
  }

  void make_file() {
    namespace fs = std::filesystem;
    const fs::path file(path_);
    const fs::path parent = file.parent_path();
    if (!parent.empty()) {
      // Each directory made here is private: the registry holds serials and addresses.
      std::vector<fs::path> missing;
      for (fs::path p = parent; !p.empty() && !fs::exists(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
      }
      for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
          throw Error("registry " + path_ + ": cannot make " + it->string() + ": " +
                      std::strerror(errno));
        }
      }
    }
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) {
      throw Error("registry " + path_ + ": cannot create: " + std::strerror(errno));
    }
    if (fd >= 0) ::close(fd);
  }

  // Every step from the file's version to ours in one transaction: a
  // registry is either migrated whole or left as it was.
  void migrate() {
    begin_write();
    try {
      const int version = pragma_int("PRAGMA user_version");
      if (version == 0) {
        for (const char* sql : kSchema) exec(sql);
        exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
      }
      exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
      commit();
    } catch (...) {
      rollback();
      throw;
    }
  }

  // Statement texts for 1 to kKeysPerStatement keys.
  static std::array<std::string, kKeysPerStatement> keys_sql(const char* head, const char* one,
                                                             const char* tail) {
    std::array<std::string, kKeysPerStatement> sql;
    std::string list = one;
    for (std::size_t n = 0; n < kKeysPerStatement; ++n) {
      sql[n] = head + list + tail;
      list += std::string(", ") + one;
    }
    return sql;
  }

  std::string path_;
  std::string wait_path_ = path_ + "-wait";
  sqlite3* db_ = nullptr;
  std::uint64_t commits_ = 0;
  // The other writer's log as last seen, and when it last changed.
  std::pair<long long, long long> wal_seen_{-1, -1};
  std::chrono::steady_clock::time_point progress_at_{};
  const std::array<std::string, kKeysPerStatement> select_keys_ =
      keys_sql("SELECT key, machine FROM component WHERE key IN (", "?", ")");
  const std::array<std::string, kKeysPerStatement> insert_keys_ =
      keys_sql("INSERT OR IGNORE INTO component (key, machine) VALUES ", "(?, ?)", "");
  std::unordered_map<const char*, std::unique_ptr<Statement>> statements_;
};

}  // namespace

std::unique_ptr<Store> open_sqlite(const std::string& path, bool create) {
  return std::make_unique<SqliteStore>(path, create);
}

}  // namespace zavro::registry
