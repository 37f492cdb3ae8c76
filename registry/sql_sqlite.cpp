// The registry in one SQLite file: WAL, so readers never wait for a writer;
// every write under BEGIN IMMEDIATE, so two writers take turns and each tie
// sees every report committed before it.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "registry/sql.hpp"
#include "registry/types.hpp"

namespace zavro::registry::sql {
namespace {

// 'ZAVR': tells our registry from any other SQLite file.
constexpr int kApplicationId = 0x5A415652;
// How long a registry may be held by another process that writes nothing
// before it is reported as locked.
constexpr int kBusyMilliseconds = 10000;
constexpr int kTurnMilliseconds = 3;
// A waiting writer touches REGISTRY-wait each time it polls: this recent, it still waits.
constexpr int kWaitFreshMilliseconds = 50;

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

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

class SqliteDatabase;

// A prepared statement stepped through its rows; reset when done with, and
// finalized too when it was prepared for this one use.
class SqliteCursor final : public Cursor {
 public:
  SqliteCursor(SqliteDatabase& db, sqlite3_stmt* stmt, bool* busy, StatementPtr owned)
      : db_(db), stmt_(stmt), busy_(busy), owned_(std::move(owned)) {}
  ~SqliteCursor() override {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (busy_ != nullptr) *busy_ = false;
  }
  SqliteCursor(const SqliteCursor&) = delete;
  SqliteCursor& operator=(const SqliteCursor&) = delete;
  bool next() override;
  bool null(int column) const override { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::int64_t integer(int column) const override { return sqlite3_column_int64(stmt_, column); }
  std::string_view view(int column) const override {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr) return {};
    return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
  }

 private:
  SqliteDatabase& db_;
  sqlite3_stmt* stmt_;
  bool* busy_;
  StatementPtr owned_;
  bool done_ = false;
};

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(std::string path, bool create) : path_(std::move(path)) {
    try {
      open(create);
    } catch (...) {
      statements_.clear();
      sqlite3_close_v2(db_);
      db_ = nullptr;
      throw;
    }
  }
  ~SqliteDatabase() override {
    statements_.clear();
    sqlite3_close_v2(db_);
  }
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  Dialect dialect() const override { return Dialect::kSqlite; }
  const std::string& location() const override { return path_; }

  void begin_write() override { exec_plain("BEGIN IMMEDIATE"); }
  void commit() override {
    exec_plain("COMMIT");
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
  void rollback() noexcept override {
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  void begin_read() override { exec_plain("BEGIN"); }
  void end_read() noexcept override { rollback(); }

  Rows query(const Statement& statement, const Params& params) override {
    auto& slot = statements_[statement.id];
    sqlite3_stmt* stmt = nullptr;
    StatementPtr owned;
    bool* busy = nullptr;
    if (!slot.stmt || slot.busy) {
      // A statement in use (a query within its own rows) gets one of its own.
      StatementPtr fresh = prepare(expand(statement.text, Dialect::kSqlite));
      if (!slot.stmt) {
        slot.stmt = std::move(fresh);
      } else {
        owned = std::move(fresh);
      }
    }
    if (owned) {
      stmt = owned.get();
    } else {
      stmt = slot.stmt.get();
      slot.busy = true;
      busy = &slot.busy;
    }
    auto cursor = std::make_unique<SqliteCursor>(*this, stmt, busy, std::move(owned));
    bind(stmt, params);
    return Rows(std::move(cursor));
  }

  void exec(std::string_view sql) override { exec_plain(expand(sql, Dialect::kSqlite).c_str()); }

  void write(const Bulk& bulk, const RowBuffer& rows) override {
    if (rows.empty()) return;
    auto& slot = writes_[bulk.id];
    if (!slot) slot = prepare(write_sql(bulk));
    sqlite3_stmt* s = slot.get();
    RowBuffer::Reader reader(rows);
    for (std::size_t row = 0; row < rows.rows(); ++row) {
      for (std::size_t i = 0; i < bulk.columns.size(); ++i) {
        // The key of an update is bound last: it is the last parameter.
        const int at = bulk.kind == Bulk::kUpdate
                           ? (i == 0 ? static_cast<int>(bulk.columns.size()) : static_cast<int>(i))
                           : static_cast<int>(i + 1);
        if (reader.null()) {
          reader.skip_null();
          sqlite3_bind_null(s, at);
        } else if (bulk.columns[i].type == Type::kInt) {
          sqlite3_bind_int64(s, at, reader.integer());
        } else {
          const std::string_view b = reader.bytes();
          if (bulk.columns[i].type == Type::kText) {
            sqlite3_bind_text64(s, at, b.data(), b.size(), SQLITE_STATIC, SQLITE_UTF8);
          } else {
            sqlite3_bind_blob64(s, at, b.data(), b.size(), SQLITE_STATIC);
          }
        }
      }
      const int rc = sqlite3_step(s);
      sqlite3_reset(s);
      if (rc != SQLITE_DONE) {
        sqlite3_clear_bindings(s);
        fail(rc);
      }
    }
    sqlite3_clear_bindings(s);
  }

  bool has_table(std::string_view name) override {
    Rows rows = query(
        {-2, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = CAST($1 AS TEXT)"},
        Params().bytes(std::string(name)));
    return rows.next() && rows.integer(0) != 0;
  }

  std::vector<std::string> tables() override {
    std::vector<std::string> names;
    Rows rows = query({-1, "SELECT name FROM sqlite_schema WHERE type = 'table'"}, Params());
    while (rows.next()) names.push_back(rows.bytes(0));
    return names;
  }

  std::optional<int> legacy_version() override {
    if (pragma_int("PRAGMA application_id") != kApplicationId) return std::nullopt;
    return pragma_int("PRAGMA user_version");
  }

  void mark_version(int version) override {
    exec_plain(("PRAGMA user_version = " + std::to_string(version)).c_str());
  }

  void accept() override {
    if (accepted_) return;
    accepted_ = true;
    use_wal();
    // WAL with NORMAL: a killed process loses nothing committed; a power cut
    // may lose the last batches, never the file.
    exec_plain("PRAGMA synchronous = NORMAL");
    exec_plain("PRAGMA cache_size = -24576");
    // 512 MiB of log between checkpoints: the pages every batch touches
    // (machines, keys, search: about 11,000 a batch at a million reports)
    // are copied back once every dozen batches, not every three; that
    // ingest writes a sixth less and takes about a tenth less time.
    // Past a checkpoint the log file is cut back to 128 MiB, so that a server
    // that stays open does not keep the largest log on disk.
    exec_plain("PRAGMA wal_autocheckpoint = 131072");
    exec_plain("PRAGMA journal_size_limit = 134217728");
  }

  // Mapped only while a scan runs: a mapping's pages count against the
  // process however briefly they were read.
  void scanning(bool on) override {
    exec_plain(on ? "PRAGMA mmap_size = 1073741824" : "PRAGMA mmap_size = 0");
  }

  // file(1) and this program tell it from other SQLite files.
  void mark_ours() override {
    exec_plain(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
  }

  [[noreturn]] void fail(int code) const {
    const char* detail = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    const std::string cause = cause_of(code);
    std::string message = "registry " + path_ + ": " + cause;
    if (cause != detail) message += std::string(" (") + detail + ")";
    throw Error(message);
  }

 private:
  struct Slot {
    StatementPtr stmt;
    bool busy = false;
  };

  static std::string write_sql(const Bulk& bulk) {
    std::string sql;
    if (bulk.kind == Bulk::kUpdate) {
      sql = std::string("UPDATE ") + bulk.table + " SET ";
      for (std::size_t i = 1; i < bulk.columns.size(); ++i) {
        sql += std::string(i > 1 ? ", " : "") + bulk.columns[i].name + " = ?" + std::to_string(i);
      }
      sql += std::string(" WHERE ") + bulk.columns[0].name + " = ?" +
             std::to_string(bulk.columns.size());
      return sql;
    }
    sql = std::string("INSERT INTO ") + bulk.table + " (";
    std::string values;
    for (std::size_t i = 0; i < bulk.columns.size(); ++i) {
      sql += std::string(i > 0 ? ", " : "") + bulk.columns[i].name;
      values += std::string(i > 0 ? ", " : "") + "?" + std::to_string(i + 1);
    }
    sql += ") VALUES (" + values + ")";
    if (bulk.kind == Bulk::kInsertIgnore) sql += " ON CONFLICT DO NOTHING";
    return sql;
  }

  StatementPtr prepare(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    const int rc =
        sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    return StatementPtr(stmt);
  }

  // Parameters are $1, $2, ...: bound by name, so a statement may use one twice.
  void bind(sqlite3_stmt* s, const Params& params) {
    for (std::size_t i = 0; i < params.size(); ++i) {
      const std::string name = "$" + std::to_string(i + 1);
      const int at = sqlite3_bind_parameter_index(s, name.c_str());
      if (at == 0) continue;
      const Params::Value& v = params[i];
      int rc = SQLITE_OK;
      if (v.null) {
        rc = sqlite3_bind_null(s, at);
      } else if (v.type == Type::kInt) {
        rc = sqlite3_bind_int64(s, at, v.integer);
      } else if (v.type == Type::kBytes) {
        rc = sqlite3_bind_blob64(s, at, v.bytes.data(), v.bytes.size(), SQLITE_TRANSIENT);
      } else if (v.type == Type::kText) {
        rc = sqlite3_bind_text64(s, at, v.bytes.data(), v.bytes.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
      } else {
        std::string json = "[";
        for (std::size_t k = 0; k < v.list.size(); ++k) {
          if (k > 0) json += ',';
          json += std::to_string(v.list[k]);
        }
        json += ']';
        rc = sqlite3_bind_text64(s, at, json.data(), json.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      }
      if (rc != SQLITE_OK) fail(rc);
    }
  }

  void exec_plain(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc);
  }

  int pragma_int(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) fail(sqlite3_errcode(db_));
    const StatementPtr s(raw);
    const int rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(rc);
    return rc == SQLITE_ROW ? sqlite3_column_int(raw, 0) : 0;
  }

  void open(bool create) {
    // SQLite's count of its own memory takes a lock on every allocation;
    // nothing here reads it. Only possible before SQLite starts.
    static const bool configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    (void)configured;
    namespace fs = std::filesystem;
    std::error_code error;
    const auto status = fs::status(path_, error);
    if (fs::is_directory(status)) throw Error("registry " + path_ + ": is a directory");
    const bool exists = fs::exists(status);
    if (!exists && !create) throw Error("no registry at " + path_);
    if (!exists) make_file();
    // NOFOLLOW-free: a registry may well be a link the user set up.
    int rc =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &SqliteDatabase::on_busy, this);
  }

  // Waits while another process holds the registry, for as long as it keeps
  // writing (its write-ahead log changes): two adds both finish, however long
  // each runs. One that holds it without writing for kBusyMilliseconds is
  // reported as a lock.
  static int on_busy(void* self, int count) {
    auto& db = *static_cast<SqliteDatabase*>(self);
    const auto now = std::chrono::steady_clock::now();
    struct stat wal {};
    const bool has_wal = ::stat((db.path_ + "-wal").c_str(), &wal) == 0;
    const std::pair<long long, long long> seen{
        has_wal ? static_cast<long long>(wal.st_size) : -1LL,
        has_wal ? static_cast<long long>(wal.st_mtim.tv_sec) * 1000000000LL + wal.st_mtim.tv_nsec
                : -1LL};
    if (count == 0 || seen != db.wal_seen_) {
      db.wal_seen_ = seen;
      db.progress_at_ = now;
    }
    db.say_waiting();
    if (now - db.progress_at_ >= std::chrono::milliseconds(kBusyMilliseconds)) return 0;
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

  std::string path_;
  std::string wait_path_ = path_ + "-wait";
  sqlite3* db_ = nullptr;
  // The other writer's log as last seen, and when it last changed.
  std::pair<long long, long long> wal_seen_{-1, -1};
  std::chrono::steady_clock::time_point progress_at_{};
  std::map<int, Slot> statements_;
  std::map<int, StatementPtr> writes_;
  bool accepted_ = false;
};

bool SqliteCursor::next() {
  if (done_) return false;
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  done_ = true;
  if (rc == SQLITE_DONE) return false;
  db_.fail(rc);
}

}  // namespace

std::unique_ptr<Database> open_sqlite(const std::string& path, bool create) {
  return std::make_unique<SqliteDatabase>(path, create);
}

}  // namespace zavro::registry::sql
