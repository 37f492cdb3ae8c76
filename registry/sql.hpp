// The registry's databases, as the store speaks to them: statements with one
// text for both engines, bound values, rows read back, and rows written in
// bulk. Where the engines spell SQL differently, a statement says {token}
// and the table in sql.cpp says what each engine writes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zavro::registry::sql {

enum class Dialect { kSqlite, kPostgres };

// One statement: its id keys the engine's cache of prepared statements.
struct Statement {
  int id;
  const char* text;
};

// The text an engine runs: every {token} replaced. Tokens:
//   {int} {bytes}        column types (INTEGER/BIGINT, BLOB/BYTEA)
//   {without_rowid}      a table keyed by its primary key alone (SQLite only)
//   {in $N}              membership in the list bound as $N (Params::integers)
//   {postgres_only}      at the start: a statement SQLite has no use for
std::string expand(std::string_view text, Dialect dialect);

enum class Type : std::uint8_t { kInt, kBytes, kText, kIntList };

// Values bound to $1, $2, ... in order.
class Params {
 public:
  struct Value {
    Type type = Type::kInt;
    bool null = false;
    std::int64_t integer = 0;
    std::string bytes;
    std::vector<std::int64_t> list;
  };
  Params& integer(std::int64_t value);
  Params& optional(const std::optional<std::int64_t>& value);
  Params& bytes(std::string_view value);
  Params& text(std::string_view value);
  Params& integers(std::vector<std::int64_t> values);
  std::size_t size() const { return values_.size(); }
  const Value& operator[](std::size_t i) const { return values_[i]; }

 private:
  std::vector<Value> values_;
};

// A result read a row at a time. Destroying it resets the statement, so an
// exception between two rows leaves nothing half-stepped.
class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual bool next() = 0;
  virtual bool null(int column) const = 0;
  virtual std::int64_t integer(int column) const = 0;
  // Valid until next().
  virtual std::string_view view(int column) const = 0;
};

class Rows {
 public:
  explicit Rows(std::unique_ptr<Cursor> cursor) : cursor_(std::move(cursor)) {}
  bool next() { return cursor_->next(); }
  bool null(int column) const { return cursor_->null(column); }
  std::int64_t integer(int column) const { return cursor_->integer(column); }
  std::optional<std::int64_t> optional(int column) const {
    if (null(column)) return std::nullopt;
    return integer(column);
  }
  std::string_view view(int column) const { return cursor_->view(column); }
  std::string bytes(int column) const { return std::string(view(column)); }

 private:
  std::unique_ptr<Cursor> cursor_;
};

// Rows to write, cells appended in column order.
class RowBuffer {
 public:
  RowBuffer& integer(std::int64_t value);
  RowBuffer& null();
  RowBuffer& optional(const std::optional<std::int64_t>& value);
  RowBuffer& bytes(std::string_view value);
  void end_row() { ++rows_; }
  std::size_t rows() const { return rows_; }
  std::size_t size() const { return data_.size(); }
  bool empty() const { return rows_ == 0; }
  // Lets go of a large buffer's memory too: a batch's rows come and go.
  void clear() {
    if (data_.capacity() > (1U << 20)) {
      std::string().swap(data_);
    } else {
      data_.clear();
    }
    rows_ = 0;
  }

  // Reads the cells back in order.
  class Reader {
   public:
    explicit Reader(const RowBuffer& rows) : data_(rows.data_) {}
    bool null() const;
    std::int64_t integer();
    std::string_view bytes();
    void skip_null();

   private:
    std::string_view data_;
    std::size_t at_ = 0;
  };

 private:
  std::string data_;
  std::size_t rows_ = 0;
};

struct Column {
  const char* name;
  Type type;
};

// Rows written to one table at once: inserted (conflicting rows left as
// they are, when asked), or updated by the first column, the key.
struct Bulk {
  enum Kind { kInsert, kInsertIgnore, kUpdate };
  int id;
  Kind kind;
  const char* table;
  std::vector<Column> columns;
};

class Database {
 public:
  virtual ~Database() = default;
  virtual Dialect dialect() const = 0;
  // Each statement waits for another process's answer (a server): the store
  // then reads what a batch needs at once and sends its writes in bulk. A
  // database in this process is read and written as each report needs,
  // while the pages are at hand.
  virtual bool far() const { return false; }
  // Where it is, for messages: never a password.
  virtual const std::string& location() const = 0;

  // A write: one transaction no other writer interleaves with.
  virtual void begin_write() = 0;
  virtual void commit() = 0;
  virtual void rollback() noexcept = 0;
  // A consistent snapshot.
  virtual void begin_read() = 0;
  virtual void end_read() noexcept = 0;

  virtual Rows query(const Statement& statement, const Params& params) = 0;
  Rows query(const Statement& statement) { return query(statement, Params()); }
  // A statement whose rows, if any, are not wanted.
  void run(const Statement& statement, const Params& params = Params()) {
    query(statement, params).next();
  }
  // Schema changes, without parameters (tokens expanded).
  virtual void exec(std::string_view sql) = 0;
  virtual void write(const Bulk& bulk, const RowBuffer& rows) = 0;

  // The names of the tables in the database.
  virtual std::vector<std::string> tables() = 0;
  // Whether a table of this name is there (a lookup, not a listing).
  virtual bool has_table(std::string_view name) = 0;
  // SQLite files made before the registry kept its version in a table: that
  // version, when this is one.
  virtual std::optional<int> legacy_version() { return std::nullopt; }
  // Marks a database this program has just made as its own, where the engine
  // has a place for that outside the tables (SQLite's application id).
  virtual void mark_ours() {}
  // The schema version, where releases from before the version table read
  // it (SQLite's user_version): they refuse a newer registry there.
  virtual void mark_version(int version) { (void)version; }
  // The database is a registry, or empty and about to be one: set it up for
  // use (SQLite's write-ahead log). Nothing is changed before.
  virtual void accept() {}
  // A long read of one table ahead (on) or over: the engine may read it its
  // fastest way (SQLite maps the file instead of a read call per page).
  virtual void scanning(bool on) { (void)on; }
};

// Opens the SQLite file at path (made, with its directories, when create);
// opens the PostgreSQL database a postgresql:// URI names.
std::unique_ptr<Database> open_sqlite(const std::string& path, bool create);
std::unique_ptr<Database> open_postgres(const std::string& uri);

}  // namespace zavro::registry::sql
