#include "registry/audit.hpp"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "reader/json.hpp"
#include "reader/output.hpp"
#include "registry/sql.hpp"
#include "registry/views.hpp"

namespace zavro::registry {
namespace {

using sql::Bulk;
using sql::Params;
using sql::Statement;
using sql::Type;

#define AUDIT_COLUMNS \
  "id, who, made, action, route, detail, machines, machine_count, records, record_count, decision"

const Statement kAuditLast{1200, "SELECT coalesce(max(id), 0) FROM audit"};
const Statement kAuditAfter{1201,
                            "SELECT " AUDIT_COLUMNS
                            " FROM audit WHERE id > $1 AND made >= $2 AND ($3 = 0 OR who = $4)"
                            " ORDER BY id LIMIT $5"};
// The side table's key leads: a search by machine reads only its own rows.
const Statement kAuditOfMachine{
    1202,
    "SELECT a.id, a.who, a.made, a.action, a.route, a.detail, a.machines, a.machine_count,"
    " a.records, a.record_count, a.decision FROM audit_machine m JOIN audit a ON a.id = m.audit"
    " WHERE m.machine = $1 AND m.audit > $2 AND a.made >= $3 AND ($4 = 0 OR a.who = $5)"
    " ORDER BY m.audit LIMIT $6"};
const Statement kAuditPage{
    1203, "SELECT " AUDIT_COLUMNS " FROM audit WHERE id > $1 ORDER BY id LIMIT $2"};
const Statement kAuditMachinePage{
    1204,
    "SELECT machine, audit FROM audit_machine WHERE (machine, audit) >"
    " ($1, $2) ORDER BY machine, audit LIMIT $3"};

const Bulk kInsertAudit{1205,
                        Bulk::kInsert,
                        "audit",
                        {{"id", Type::kInt},
                         {"who", Type::kBytes},
                         {"made", Type::kInt},
                         {"action", Type::kText},
                         {"route", Type::kBytes},
                         {"detail", Type::kBytes},
                         {"machines", Type::kText},
                         {"machine_count", Type::kInt},
                         {"records", Type::kText},
                         {"record_count", Type::kInt},
                         {"decision", Type::kInt}}};
const Bulk kInsertAuditMachine{
    1206, Bulk::kInsert, "audit_machine", {{"machine", Type::kInt}, {"audit", Type::kInt}}};

constexpr const char* kActionNames[] = {"add",   "decision", "rebuild", "user",
                                        "token", "read",     "dropped"};

std::optional<AuditAction> action_named(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kActionNames); ++i) {
    if (name == kActionNames[i]) return static_cast<AuditAction>(i);
  }
  return std::nullopt;
}

// "1,2,3"
std::string ids_text(const std::vector<Id>& ids) {
  std::string out;
  for (std::size_t i = 0; i < ids.size() && i < kAuditIds; ++i) {
    if (!out.empty()) out += ',';
    out += std::to_string(ids[i]);
  }
  return out;
}

// "1-5,7"
std::string ranges_text(const std::vector<std::pair<Id, Id>>& ranges) {
  std::string out;
  for (std::size_t i = 0; i < ranges.size() && i < kAuditIds; ++i) {
    if (!out.empty()) out += ',';
    out += std::to_string(ranges[i].first);
    if (ranges[i].second != ranges[i].first) out += '-' + std::to_string(ranges[i].second);
  }
  return out;
}

// Numbers as the two above wrote them; anything else is skipped.
std::vector<std::pair<Id, Id>> ranges_of(std::string_view text) {
  std::vector<std::pair<Id, Id>> out;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t dash = part.find('-');
    Id first = 0;
    Id last = 0;
    const std::string_view a = part.substr(0, dash);
    if (std::from_chars(a.data(), a.data() + a.size(), first).ec != std::errc()) continue;
    last = first;
    if (dash != std::string_view::npos) {
      const std::string_view b = part.substr(dash + 1);
      if (std::from_chars(b.data(), b.data() + b.size(), last).ec != std::errc() || last < first) {
        continue;
      }
    }
    out.emplace_back(first, last);
  }
  return out;
}

AuditEntry entry_of(const sql::Rows& rows) {
  AuditEntry e;
  e.id = rows.integer(0);
  e.who = rows.bytes(1);
  e.when = rows.integer(2);
  e.action = action_named(rows.view(3)).value_or(AuditAction::kRead);
  if (!rows.null(4)) e.route = rows.bytes(4);
  e.detail = rows.bytes(5);
  for (const auto& [first, last] : ranges_of(rows.view(6))) e.machines.push_back(first);
  e.machine_count = rows.integer(7);
  e.records = ranges_of(rows.view(8));
  e.record_count = rows.integer(9);
  e.decision = rows.optional(10);
  return e;
}

void row_of(sql::RowBuffer& rows, const AuditEntry& e, bool as_stored) {
  rows.integer(e.id).bytes(e.who).integer(e.when).bytes(name_of(e.action));
  if (e.route.empty()) {
    rows.null();
  } else {
    rows.bytes(e.route.substr(0, kAuditRoute));
  }
  rows.bytes(e.detail).bytes(ids_text(e.machines));
  rows.integer(as_stored ? e.machine_count
                         : std::max<std::int64_t>(e.machine_count,
                                                  static_cast<std::int64_t>(e.machines.size())));
  rows.bytes(ranges_text(e.records)).integer(e.record_count).optional(e.decision);
  rows.end_row();
}

bool digits(std::string_view text, std::size_t at, std::size_t n, int& out) {
  if (at + n > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

const char* name_of(AuditAction action) { return kActionNames[static_cast<int>(action)]; }

void AuditEntry::add_record(Id record) {
  ++record_count;
  if (!records.empty() && records.back().second + 1 == record) {
    records.back().second = record;
  } else if (records.size() < kAuditIds) {
    records.emplace_back(record, record);
  }
}

void append_audit(sql::Database& db, std::vector<AuditEntry>& entries) {
  if (entries.empty()) return;
  Id last = 0;
  {
    sql::Rows rows = db.query(kAuditLast);
    if (rows.next()) last = rows.integer(0);
  }
  sql::RowBuffer rows;
  sql::RowBuffer index;
  std::vector<Id> machines;
  for (AuditEntry& e : entries) {
    e.id = ++last;
    row_of(rows, e, false);
    machines = e.machines;
    std::sort(machines.begin(), machines.end());
    machines.erase(std::unique(machines.begin(), machines.end()), machines.end());
    for (const Id m : machines) {
      index.integer(m).integer(e.id);
      index.end_row();
    }
  }
  db.write(kInsertAudit, rows);
  db.write(kInsertAuditMachine, index);
}

std::vector<AuditEntry> audit_rows(sql::Database& db, const AuditQuery& query) {
  const std::int64_t since = query.since.value_or(INT64_MIN);
  const std::int64_t by_who = query.who ? 1 : 0;
  const std::string who = query.who.value_or(std::string());
  const auto limit = static_cast<std::int64_t>(query.limit);
  std::vector<AuditEntry> out;
  sql::Rows rows = query.machine ? db.query(kAuditOfMachine, Params()
                                                                 .integer(*query.machine)
                                                                 .integer(query.after)
                                                                 .integer(since)
                                                                 .integer(by_who)
                                                                 .bytes(who)
                                                                 .integer(limit))
                                 : db.query(kAuditAfter, Params()
                                                             .integer(query.after)
                                                             .integer(since)
                                                             .integer(by_who)
                                                             .bytes(who)
                                                             .integer(limit));
  while (rows.next()) out.push_back(entry_of(rows));
  return out;
}

void copy_audit(sql::Database& from, sql::Database& to) {
  for (Id after = 0;;) {
    sql::RowBuffer buffer;
    {
      sql::Rows rows = from.query(kAuditPage, Params().integer(after).integer(kPage));
      while (rows.next()) {
        const AuditEntry e = entry_of(rows);
        row_of(buffer, e, true);
        after = e.id;
      }
    }
    if (buffer.empty()) break;
    to.write(kInsertAudit, buffer);
  }
  for (std::pair<Id, Id> after{0, 0};;) {
    sql::RowBuffer buffer;
    {
      sql::Rows rows = from.query(
          kAuditMachinePage, Params().integer(after.first).integer(after.second).integer(kPage));
      while (rows.next()) {
        after = {rows.integer(0), rows.integer(1)};
        buffer.integer(after.first).integer(after.second);
        buffer.end_row();
      }
    }
    if (buffer.empty()) break;
    to.write(kInsertAuditMachine, buffer);
  }
}

std::optional<std::int64_t> parse_utc(std::string_view text) {
  std::tm tm{};
  int year = 0;
  int month = 0;
  int day = 0;
  if (!digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' || text[7] != '-' ||
      !digits(text, 5, 2, month) || !digits(text, 8, 2, day)) {
    return std::nullopt;
  }
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (text.size() > 10) {
    // THH:MMZ or THH:MM:SSZ
    if (text[10] != 'T' || text.back() != 'Z' || !digits(text, 11, 2, hour) || text.size() < 17 ||
        text[13] != ':' || !digits(text, 14, 2, minute)) {
      return std::nullopt;
    }
    if (text.size() == 20) {
      if (text[16] != ':' || !digits(text, 17, 2, second)) return std::nullopt;
    } else if (text.size() != 17) {
      return std::nullopt;
    }
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const std::time_t t = timegm(&tm);
  // February 29th of a year without one comes back as March 1st.
  if (tm.tm_mday != day) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

std::string audit_json(const AuditEntry& e) {
  reader::JsonLine line;
  line.begin_object().key("audit").number(static_cast<std::int64_t>(e.id));
  line.key("who").text(e.who).key("when").latin1(utc(e.when));
  line.key("action").latin1(name_of(e.action));
  if (!e.route.empty()) line.key("route").text(e.route);
  if (!e.detail.empty()) line.key("detail").text(e.detail);
  if (e.decision) line.key("decision").number(static_cast<std::int64_t>(*e.decision));
  line.key("machines").begin_array();
  for (const Id m : e.machines) line.number(static_cast<std::int64_t>(m));
  line.end_array().key("machine_count").number(e.machine_count);
  // Ids one by one up to the bound, and the ranges they come in, whole.
  line.key("records").begin_array();
  std::size_t listed = 0;
  for (const auto& [first, last] : e.records) {
    for (Id r = first; r <= last && listed < kAuditIds; ++r, ++listed) {
      line.number(static_cast<std::int64_t>(r));
    }
  }
  line.end_array().key("record_ranges").begin_array();
  for (const auto& [first, last] : e.records) {
    line.begin_array()
        .number(static_cast<std::int64_t>(first))
        .number(static_cast<std::int64_t>(last))
        .end_array();
  }
  line.end_array().key("record_count").number(e.record_count).end_object();
  return line.str();
}

std::string audit_text(const AuditEntry& e) {
  std::string text =
      std::to_string(e.id) + "  " + utc(e.when) + "  " + e.who + "  " + name_of(e.action);
  if (!e.route.empty()) text += "  " + e.route;
  if (!e.detail.empty()) text += "  " + e.detail;
  if (e.decision) text += "  decision " + std::to_string(*e.decision);
  if (e.machine_count > 0) {
    text += "  machines " + ids_text(e.machines);
    const auto shown = static_cast<std::int64_t>(e.machines.size());
    if (e.machine_count > shown) text += " (+" + std::to_string(e.machine_count - shown) + ")";
  }
  if (e.record_count > 0) text += "  records " + ranges_text(e.records);
  return reader::terminal_safe(text);
}

}  // namespace zavro::registry
