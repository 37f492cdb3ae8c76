// The registry on a PostgreSQL server, for many writers on many hosts.
//
// Writers take turns: a write transaction holds one transaction-scoped
// advisory lock. A tie depends on every report received before it
// (machines, learned placeholders, clones), so ties must run in receipt order
// whatever the locking; the lock makes ids and ties one order, and
// everything before a batch (reading archives, parsing, digests) runs outside
// it, in parallel. Rows written in bulk go by binary COPY, or as arrays.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/loaded.hpp"
#include "registry/sql.hpp"
#include "registry/types.hpp"

namespace zavro::registry::sql {
namespace {

// libpq, loaded on the first use of a server (registry/loaded.hpp): mapping it
// and what it pulls in was a third of every command's start-up.
// clang-format off
#define ZAVRO_LIBPQ(X) \
  X(PQclear) \
  X(PQconnectPoll) \
  X(PQconsumeInput) \
  X(PQconnectStart) \
  X(PQconninfoFree) \
  X(PQconninfoParse) \
  X(PQdb) \
  X(PQerrorMessage) \
  X(PQexec) \
  X(PQexecPrepared) \
  X(PQfinish) \
  X(PQfreemem) \
  X(PQftype) \
  X(PQgetResult) \
  X(PQgetisnull) \
  X(PQgetlength) \
  X(PQgetvalue) \
  X(PQhost) \
  X(PQisBusy) \
  X(PQntuples) \
  X(PQport) \
  X(PQprepare) \
  X(PQputCopyData) \
  X(PQputCopyEnd) \
  X(PQresultErrorField) \
  X(PQresultStatus) \
  X(PQsendQuery) \
  X(PQsetNoticeProcessor) \
  X(PQsocket) \
  X(PQstatus) \
  X(PQtransactionStatus)
// clang-format on

struct LibPq {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument names a member
#define ZAVRO_LIBPQ_FIELD(name) decltype(&::name) name = nullptr;
  ZAVRO_LIBPQ(ZAVRO_LIBPQ_FIELD)
#undef ZAVRO_LIBPQ_FIELD
};

const LibPq& libpq() {
  static const LibPq loaded = [] {
    constexpr const char* kSoname = "libpq.so.5";
    void* const library = open_library(kSoname);
    LibPq table;
#define ZAVRO_LIBPQ_LOAD(name) \
  table.name = reinterpret_cast<decltype(table.name)>(library_symbol(library, kSoname, #name));
    ZAVRO_LIBPQ(ZAVRO_LIBPQ_LOAD)
#undef ZAVRO_LIBPQ_LOAD
    return table;
  }();
  return loaded;
}

// The server's type ids of what we bind.
constexpr Oid kBool = 16;
constexpr Oid kInt8 = 20;
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kBytea = 17;
constexpr Oid kText = 25;
constexpr Oid kInt8Array = 1016;
constexpr Oid kByteaArray = 1001;
constexpr Oid kTextArray = 1009;

// 'ZAVR', as the SQLite file's application id: the writers' lock.
constexpr long long kWriterLock = 0x5A415652;

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
std::int64_t get_be(const char* p, int size) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i) v = v << 8 | static_cast<unsigned char>(p[i]);
  // Sign-extend the narrower integers.
  if (size < 8 && size > 0 && (static_cast<unsigned char>(p[0]) & 0x80) != 0) {
    v |= ~std::uint64_t{0} << (size * 8);
  }
  return static_cast<std::int64_t>(v);
}

Oid element_of(Type type) {
  switch (type) {
    case Type::kInt:
      return kInt8;
    case Type::kBytes:
      return kBytea;
    case Type::kText:
      return kText;
    case Type::kIntList:
      break;
  }
  return kInt8Array;
}
Oid array_of(Type type) {
  switch (type) {
    case Type::kInt:
      return kInt8Array;
    case Type::kBytes:
      return kByteaArray;
    case Type::kText:
      return kTextArray;
    case Type::kIntList:
      break;
  }
  return kInt8Array;
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
  void null() {
    put32(items_, -1);
    nulls_ = true;
    ++count_;
  }
  void bytes(std::string_view b) {
    put32(items_, static_cast<std::int32_t>(b.size()));
    items_.append(b);
    ++count_;
  }
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

struct ResultFree {
  void operator()(PGresult* r) const { libpq().PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// Where the registry is, for messages: host, port and database, never a password.
std::string safe_location(const std::string& uri, PGconn* conn) {
  std::string host;
  std::string port;
  std::string db;
  if (conn != nullptr && libpq().PQstatus(conn) == CONNECTION_OK) {
    host = libpq().PQhost(conn) != nullptr ? libpq().PQhost(conn) : "";
    port = libpq().PQport(conn) != nullptr ? libpq().PQport(conn) : "";
    db = libpq().PQdb(conn) != nullptr ? libpq().PQdb(conn) : "";
  } else {
    char* error = nullptr;
    PQconninfoOption* options = libpq().PQconninfoParse(uri.c_str(), &error);
    libpq().PQfreemem(error);
    if (options != nullptr) {
      for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr) continue;
        const std::string_view key = o->keyword;
        if (key == "host") host = o->val;
        if (key == "port") port = o->val;
        if (key == "dbname") db = o->val;
      }
      libpq().PQconninfoFree(options);
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

// The rows of a result, all in binary form.
class PgCursor final : public Cursor {
 public:
  explicit PgCursor(Result result) : result_(std::move(result)) {
    rows_ = libpq().PQntuples(result_.get());
  }
  bool next() override { return ++row_ < rows_; }
  bool null(int column) const override {
    return libpq().PQgetisnull(result_.get(), row_, column) != 0;
  }
  std::int64_t integer(int column) const override {
    const char* p = libpq().PQgetvalue(result_.get(), row_, column);
    switch (libpq().PQftype(result_.get(), column)) {
      case kInt2:
        return get_be(p, 2);
      case kInt4:
        return get_be(p, 4);
      case kBool:
        return p[0] != 0 ? 1 : 0;
      default:
        return get_be(p, 8);
    }
  }
  std::string_view view(int column) const override {
    return {libpq().PQgetvalue(result_.get(), row_, column),
            static_cast<std::size_t>(libpq().PQgetlength(result_.get(), row_, column))};
  }

 private:
  Result result_;
  int rows_ = 0;
  int row_ = -1;
};

class PgDatabase final : public Database {
 public:
  explicit PgDatabase(const std::string& uri) {
    conn_ = libpq().PQconnectStart(uri.c_str());
    std::string stopped;
    // The server's notices would reach the terminal raw: what matters comes
    // back as an error. Set before connecting, as a server going down sends
    // one while the connection is made.
    if (conn_ != nullptr) {
      libpq().PQsetNoticeProcessor(
          conn_, [](void*, const char*) {}, nullptr);
      stopped = connect(uri);
    }
    location_ = safe_location(uri, conn_);
    if (libpq().PQstatus(conn_) != CONNECTION_OK) {
      const std::string detail = stopped.empty() ? last_error() : stopped;
      libpq().PQfinish(conn_);
      conn_ = nullptr;
      throw Error("registry " + location_ + ": cannot connect (" + detail + ")");
    }
    try {
      // One round trip for all of them.
      exec_plain(
          "SET client_min_messages = warning;"
          // Every statement here is prepared once and its plan does not depend
          // on the values: planning each execution again only costs time.
          "SET plan_cache_mode = force_generic_plan;"
          // And every one finds its rows by an index. Statistics lag far
          // behind a bulk load (a registry made empty holds a million reports
          // a minute later), and a plan made from them that scans whole tables
          // turned one batch from a tenth of a second into seconds.
          "SET enable_seqscan = off;"
          // Compiling a plan costs tens of milliseconds, more than any of
          // these statements runs; a plan over a table read whole (a
          // listing's count) crossed its threshold.
          "SET jit = off;"
          // A writer stopped while it holds the lock frees it for the others.
          "SET idle_in_transaction_session_timeout = '60s'");
    } catch (...) {
      libpq().PQfinish(conn_);
      conn_ = nullptr;
      throw;
    }
  }
  ~PgDatabase() override {
    answered();
    libpq().PQfinish(conn_);
  }
  PgDatabase(const PgDatabase&) = delete;
  PgDatabase& operator=(const PgDatabase&) = delete;

  Dialect dialect() const override { return Dialect::kPostgres; }
  bool far() const override { return true; }
  // Index scans are the rule here (enable_seqscan is off); a read of a whole
  // table is faster in order, and an index-only scan of one not yet vacuumed
  // reads each row's page as well.
  void scanning(bool on) override {
    exec_plain(on ? "SET enable_seqscan = on" : "SET enable_seqscan = off");
  }
  const std::string& location() const override { return location_; }

  void begin_write() override {
    exec_plain(
        ("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kWriterLock) + ")").c_str());
  }
  void commit() override { exec_plain("COMMIT"); }
  void rollback() noexcept override {
    if (conn_ == nullptr) return;
    if (in_flight_) {
      in_flight_ = false;
      while (PGresult* r = libpq().PQgetResult(conn_)) libpq().PQclear(r);
    }
    if (libpq().PQtransactionStatus(conn_) != PQTRANS_IDLE)
      libpq().PQclear(libpq().PQexec(conn_, "ROLLBACK"));
  }
  // Sent without waiting: the server opens the snapshot while this process
  // reads what it is for; the answer is collected before the next command.
  void begin_read() override {
    settle();
    if (libpq().PQsendQuery(conn_, "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY") != 1)
      fail(nullptr);
    in_flight_ = true;
  }
  // Likewise: the snapshot ends at once on the server.
  void end_read() noexcept override {
    if (conn_ == nullptr) return;
    try {
      settle();
    } catch (...) {
      return;  // the connection is gone; the next command says so
    }
    if (libpq().PQtransactionStatus(conn_) != PQTRANS_IDLE) {
      in_flight_ = libpq().PQsendQuery(conn_, "ROLLBACK") == 1;
    }
  }

  Rows query(const Statement& statement, const Params& params) override {
    settle();
    std::vector<std::string> values(params.size());
    std::vector<const char*> data(params.size());
    std::vector<int> lengths(params.size());
    std::vector<int> formats(params.size(), 1);
    std::vector<Oid> types(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
      const Params::Value& v = params[i];
      types[i] = element_of(v.type);
      if (v.null) {
        data[i] = nullptr;
        continue;
      }
      switch (v.type) {
        case Type::kInt:
          put64(values[i], v.integer);
          break;
        case Type::kBytes:
        case Type::kText:
          values[i] = v.bytes;
          break;
        case Type::kIntList: {
          Array a(kInt8);
          for (const std::int64_t x : v.list) a.int8(x);
          values[i] = a.str();
          break;
        }
      }
      data[i] = values[i].data();
      lengths[i] = static_cast<int>(values[i].size());
    }
    const std::string& name = prepared(statement.id, statement.text, types);
    Result r(libpq().PQexecPrepared(conn_, name.c_str(), static_cast<int>(params.size()),
                                    data.data(), lengths.data(), formats.data(), 1));
    const ExecStatusType status = r ? libpq().PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r.get());
    return Rows(std::make_unique<PgCursor>(std::move(r)));
  }

  void exec(std::string_view sql) override {
    const std::string text = expand(sql, Dialect::kPostgres);
    if (!text.empty()) exec_plain(text.c_str());  // empty: a step for SQLite alone
  }

  void write(const Bulk& bulk, const RowBuffer& rows) override {
    if (rows.empty()) return;
    if (bulk.kind == Bulk::kInsert) {
      copy_in(bulk, rows);
      return;
    }
    // Each column as one array: one statement for every row.
    std::vector<Array> arrays;
    for (const Column& c : bulk.columns) arrays.emplace_back(element_of(c.type));
    RowBuffer::Reader reader(rows);
    for (std::size_t row = 0; row < rows.rows(); ++row) {
      for (std::size_t i = 0; i < bulk.columns.size(); ++i) {
        if (reader.null()) {
          reader.skip_null();
          arrays[i].null();
        } else if (bulk.columns[i].type == Type::kInt) {
          arrays[i].int8(reader.integer());
        } else {
          arrays[i].bytes(reader.bytes());
        }
      }
    }
    std::string sql;
    std::string names;
    std::string unnest;
    for (std::size_t i = 0; i < bulk.columns.size(); ++i) {
      names += std::string(i > 0 ? ", " : "") + bulk.columns[i].name;
      unnest += std::string(i > 0 ? ", " : "") + "$" + std::to_string(i + 1);
    }
    if (bulk.kind == Bulk::kInsertIgnore) {
      sql = std::string("INSERT INTO ") + bulk.table + " (" + names + ") SELECT * FROM unnest(" +
            unnest + ") ON CONFLICT DO NOTHING";
    } else {
      sql = std::string("UPDATE ") + bulk.table + " t SET ";
      for (std::size_t i = 1; i < bulk.columns.size(); ++i) {
        sql +=
            std::string(i > 1 ? ", " : "") + bulk.columns[i].name + " = u." + bulk.columns[i].name;
      }
      sql += " FROM unnest(" + unnest + ") AS u(" + names + ") WHERE t." + bulk.columns[0].name +
             " = u." + bulk.columns[0].name;
    }
    std::vector<std::string> values;
    std::vector<const char*> data;
    std::vector<int> lengths;
    std::vector<Oid> types;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
      values.push_back(arrays[i].str());
      types.push_back(array_of(bulk.columns[i].type));
    }
    for (const std::string& v : values) {
      data.push_back(v.data());
      lengths.push_back(static_cast<int>(v.size()));
    }
    const std::vector<int> formats(values.size(), 1);
    settle();
    const std::string& name = prepared(kBulkIds + bulk.id, sql, types);
    Result r(libpq().PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()),
                                    data.data(), lengths.data(), formats.data(), 1));
    if (!r || libpq().PQresultStatus(r.get()) != PGRES_COMMAND_OK) fail(r.get());
  }

  // A lookup by name: listing pg_tables on a new connection cost 12 ms of
  // the server's time, most of a command's.
  bool has_table(std::string_view name) override {
    Rows rows = query({-2,
                       "SELECT (to_regclass(quote_ident(current_schema()) || '.' ||"
                       " quote_ident(convert_from($1, 'UTF8'))) IS NOT NULL)::int"},
                      Params().bytes(std::string(name)));
    return rows.next() && rows.integer(0) != 0;
  }

  std::vector<std::string> tables() override {
    std::vector<std::string> names;
    Rows rows =
        query({-1, "SELECT tablename::text FROM pg_tables WHERE schemaname = current_schema()"},
              Params());
    while (rows.next()) names.push_back(rows.bytes(0));
    return names;
  }

 private:
  // Bulk statements are prepared beside the others under ids of their own.
  static constexpr int kBulkIds = 1 << 20;

  // Drives the connection started on conn_ to its end, within the URI's
  // connect_timeout when it gives one (as a blocking connect would).
  // Empty, or why it stopped short of libpq's own say.
  std::string connect(const std::string& uri) {
    int seconds = 0;
    if (PQconninfoOption* options = libpq().PQconninfoParse(uri.c_str(), nullptr)) {
      for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr) {
          seconds = std::atoi(o->val);
        }
      }
      libpq().PQconninfoFree(options);
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(std::max(seconds, seconds > 0 ? 2 : 0));
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
      if (libpq().PQstatus(conn_) == CONNECTION_BAD) return {};
      pollfd fd{libpq().PQsocket(conn_),
                static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
      int wait = -1;
      if (seconds > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "timeout expired";
        wait = static_cast<int>(left.count());
      }
      if (::poll(&fd, 1, wait) < 0 && errno != EINTR) return std::strerror(errno);
      state = libpq().PQconnectPoll(conn_);
    }
    return {};
  }

  std::string last_error() const {
    std::string message = conn_ != nullptr ? libpq().PQerrorMessage(conn_) : "out of memory";
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
    const char* state =
        result != nullptr ? libpq().PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string_view code = state != nullptr ? state : "";
    if (libpq().PQstatus(conn_) != CONNECTION_OK) {
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

  // Collects the answers of what was sent without waiting.
  // The last read's ROLLBACK, sent without waiting, answered before the
  // connection closes: closing under the answer made the server log "could
  // not send data to client" and "connection to client lost" for every
  // command. A server that does not answer within a second is left.
  void answered() noexcept {
    if (conn_ == nullptr || !in_flight_) return;
    in_flight_ = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (libpq().PQisBusy(conn_) != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fd{libpq().PQsocket(conn_), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
          libpq().PQconsumeInput(conn_) == 0) {
        return;
      }
    }
    while (PGresult* r = libpq().PQgetResult(conn_)) libpq().PQclear(r);
  }

  void settle() {
    if (!in_flight_) return;
    in_flight_ = false;
    Result failure;
    while (PGresult* raw = libpq().PQgetResult(conn_)) {
      Result r(raw);
      const ExecStatusType status = libpq().PQresultStatus(raw);
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && !failure) {
        failure = std::move(r);
      }
    }
    if (failure || libpq().PQstatus(conn_) != CONNECTION_OK) fail(failure.get());
  }

  void exec_plain(const char* sql) {
    settle();
    Result r(libpq().PQexec(conn_, sql));
    const ExecStatusType status = r ? libpq().PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r.get());
  }

  // Prepared once per connection under its statement's id.
  const std::string& prepared(int id, std::string_view text, const std::vector<Oid>& types) {
    auto [it, fresh] = prepared_.try_emplace(id, "");
    if (fresh) {
      it->second = "s" + std::to_string(prepared_.size());
      const std::string sql = expand(text, Dialect::kPostgres);
      Result p(libpq().PQprepare(conn_, it->second.c_str(), sql.c_str(),
                                 static_cast<int>(types.size()), types.data()));
      if (!p || libpq().PQresultStatus(p.get()) != PGRES_COMMAND_OK) {
        prepared_.erase(it);
        fail(p.get());
      }
    }
    return it->second;
  }

  void copy_in(const Bulk& bulk, const RowBuffer& rows) {
    std::string out("PGCOPY\n\377\r\n\0", 11);
    out.append(8, '\0');
    RowBuffer::Reader reader(rows);
    for (std::size_t row = 0; row < rows.rows(); ++row) {
      put16(out, static_cast<std::int16_t>(bulk.columns.size()));
      for (const Column& c : bulk.columns) {
        if (reader.null()) {
          reader.skip_null();
          put32(out, -1);
        } else if (c.type == Type::kInt) {
          put32(out, 8);
          put64(out, reader.integer());
        } else {
          const std::string_view b = reader.bytes();
          put32(out, static_cast<std::int32_t>(b.size()));
          out.append(b);
        }
      }
    }
    put16(out, -1);
    std::string sql = std::string("COPY ") + bulk.table + " (";
    for (std::size_t i = 0; i < bulk.columns.size(); ++i) {
      sql += std::string(i > 0 ? ", " : "") + bulk.columns[i].name;
    }
    sql += ") FROM STDIN (FORMAT binary)";
    settle();
    const Result start(libpq().PQexec(conn_, sql.c_str()));
    if (!start || libpq().PQresultStatus(start.get()) != PGRES_COPY_IN) fail(start.get());
    constexpr std::size_t kChunk = 1 << 20;
    for (std::size_t at = 0; at < out.size(); at += kChunk) {
      const std::size_t n = std::min(kChunk, out.size() - at);
      if (libpq().PQputCopyData(conn_, out.data() + at, static_cast<int>(n)) != 1) fail(nullptr);
    }
    if (libpq().PQputCopyEnd(conn_, nullptr) != 1) fail(nullptr);
    Result end(libpq().PQgetResult(conn_));
    const bool ok = end && libpq().PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    // Drain to the end of the command whatever happened.
    while (PGresult* more = libpq().PQgetResult(conn_)) libpq().PQclear(more);
    if (!ok) fail(end.get());
  }

  PGconn* conn_ = nullptr;
  std::string location_;
  std::map<int, std::string> prepared_;
  bool in_flight_ = false;  // answers sent for and not yet collected
};

}  // namespace

std::unique_ptr<Database> open_postgres(const std::string& uri) {
  return std::make_unique<PgDatabase>(uri);
}

}  // namespace zavro::registry::sql
