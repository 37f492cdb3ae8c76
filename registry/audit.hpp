// The audit log: who changed the registry and when (reports added,
// decisions, rebuilds, people and tokens), and who read what through serve.
// Rows are only ever appended: no command updates or deletes one; copy
// carries them over and rebuild leaves them be.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/types.hpp"

namespace zavro::registry {

namespace sql {
class Database;
}

// At most this many ids are kept in a row's lists; the counts say how many
// there were in all.
constexpr std::size_t kAuditIds = 1000;
// A route is cut to this many bytes.
constexpr std::size_t kAuditRoute = 1024;

enum class AuditAction { kAdd, kDecision, kRebuild, kUser, kToken, kRead, kDropped };
const char* name_of(AuditAction action);

struct AuditEntry {
  Id id = 0;  // given when appended
  std::string who;
  std::int64_t when = 0;  // Unix seconds
  AuditAction action = AuditAction::kRead;
  std::string route;   // a read's method, path and query
  std::string detail;  // what was done, in words ("add bob admin", "3 reports moved")
  // Every machine touched: all go to the side table that a search by machine
  // reads, the first kAuditIds into the row. Read back: those first ones.
  std::vector<Id> machines;
  std::int64_t machine_count = 0;  // at least machines.size()
  // Reports as ranges of ids (an add's are consecutive): the first kAuditIds ranges.
  std::vector<std::pair<Id, Id>> records;
  std::int64_t record_count = 0;
  std::optional<Id> decision;

  void add_record(Id record);  // in rising order, for ranges to form
};

// Appends the entries in the write transaction open on db, giving each its id.
void append_audit(sql::Database& db, std::vector<AuditEntry>& entries);

struct AuditQuery {
  std::optional<std::string> who;
  std::optional<Id> machine;
  std::optional<std::int64_t> since;  // Unix seconds
  Id after = 0;
  std::size_t limit = 100;
};
// Rows after query.after in id order, inside a read (or write) open on db.
std::vector<AuditEntry> audit_rows(sql::Database& db, const AuditQuery& query);

// Every row and side-table entry of from into to, ids kept, inside a read on
// from and a write on to (a copy into an empty registry).
void copy_audit(sql::Database& from, sql::Database& to);

// "2026-12-09T10:00:00Z", "2026-12-09T10:00Z" or "2026-12-09" (midnight UTC).
std::optional<std::int64_t> parse_utc(std::string_view text);

// {"audit":ID,"who":...,"when":...,"action":...,...} on one line.
std::string audit_json(const AuditEntry& entry);
// One line for a person: id, time, who, action and what, terminal-safe.
std::string audit_text(const AuditEntry& entry);

}  // namespace zavro::registry
