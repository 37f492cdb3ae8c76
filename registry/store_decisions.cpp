// The store's side of people's decisions: the decisions themselves, labels,
// voided reports, and forgetting machines that are about to be made again.
#include <algorithm>
#include <set>

#include "registry/store.hpp"

namespace zavro::registry {
namespace {

using sql::Params;
using sql::Rows;
using sql::Statement;

#define DECISION_COLUMNS                                                              \
  "id, who, made, action, machine, others, records, labels, removes, undoes, reason," \
  " position, formed, undone_by"

const Statement kNextDecision{801, "SELECT coalesce(max(id), 0) + 1 FROM decision"};
const Statement kInsertDecision{802, "INSERT INTO decision (" DECISION_COLUMNS
                                     ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10,"
                                     " $11, $12, $13, $14)"};
const Statement kUndone{803, "UPDATE decision SET undone_by = $2 WHERE id = $1"};
const Statement kDecisionsAfter{
    804, "SELECT " DECISION_COLUMNS " FROM decision WHERE id > $1 ORDER BY id LIMIT $2"};
const Statement kVoid{805, "UPDATE report SET machine = NULL, prev = NULL WHERE id = $1"};
const Statement kUnvoidAll{806, "DELETE FROM voided"};
const Statement kVoidedSet{822,
                           "INSERT INTO voided (report, decision) VALUES ($1, $2)"
                           " ON CONFLICT (report) DO UPDATE SET decision = excluded.decision"};
const Statement kVoidedOne{823, "SELECT decision FROM voided WHERE report = $1"};
const Statement kVoidedAll{824, "SELECT report, decision FROM voided ORDER BY report"};
const Statement kLabelsAll{825, "SELECT machine, name, value FROM label ORDER BY machine, name"};
const Statement kDropMachines{807, "DELETE FROM machine WHERE id {in $1}"};
const Statement kDropComponents{808, "DELETE FROM component WHERE machine {in $1}"};
const Statement kDropSightings{809, "DELETE FROM sighting WHERE machine {in $1}"};
const Statement kDropClones{810, "DELETE FROM clone WHERE machine {in $1} OR other {in $1}"};
const Statement kChunks{811, "SELECT id, entries FROM search WHERE id > $1 ORDER BY id LIMIT 64"};
const Statement kDropChunks{812, "DELETE FROM search WHERE id {in $1}"};
const Statement kSetLabel{813,
                          "INSERT INTO label (machine, name, value) VALUES ($1, $2, $3)"
                          " ON CONFLICT (machine, name) DO UPDATE SET value = excluded.value"};
const Statement kRemoveLabel{814, "DELETE FROM label WHERE machine = $1 AND name = $2"};
const Statement kCopyLabels{815,
                            "INSERT INTO label (machine, name, value) SELECT $2, name, value"
                            " FROM label WHERE machine = $1 ON CONFLICT DO NOTHING"};
const Statement kDropLabels{816, "DELETE FROM label WHERE machine = $1"};
const Statement kClearLabels{817, "DELETE FROM label"};
const Statement kLabelsIn{
    818, "SELECT machine, name, value FROM label WHERE machine {in $1} ORDER BY machine, name"};
const Statement kLabelled{819,
                          "SELECT machine FROM label WHERE name = $1 AND value = $2"
                          " AND machine > $3 ORDER BY machine LIMIT $4"};
const Statement kLabelCounts{820,
                             "SELECT name, value, count(*) FROM label GROUP BY name, value"
                             " ORDER BY name, value"};
const Statement kLabelCountsOf{821,
                               "SELECT name, value, count(*) FROM label WHERE name = $1"
                               " GROUP BY name, value ORDER BY name, value"};

// Lists kept in a decision's row: ids as decimal words; names and values
// each as its length, a colon and its bytes, so any byte may be in them.
std::string ids_text(const std::vector<Id>& ids) {
  std::string out;
  for (const Id id : ids) {
    if (!out.empty()) out += ' ';
    out += std::to_string(id);
  }
  return out;
}

std::vector<Id> ids_of(std::string_view text) {
  std::vector<Id> out;
  Id value = 0;
  bool any = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9' && value < (INT64_MAX - 9) / 10) {
      value = value * 10 + (c - '0');
      any = true;
    } else {
      if (any) out.push_back(value);
      value = 0;
      any = false;
    }
  }
  if (any) out.push_back(value);
  return out;
}

void put_string(std::string& out, std::string_view s) {
  out += std::to_string(s.size());
  out += ':';
  out += s;
}

std::vector<std::string> strings_of(std::string_view packed) {
  std::vector<std::string> out;
  while (!packed.empty()) {
    const std::size_t colon = packed.find(':');
    if (colon == std::string_view::npos || colon > 9) break;
    std::size_t n = 0;
    for (const char c : packed.substr(0, colon)) {
      if (c < '0' || c > '9') return out;
      n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    packed.remove_prefix(colon + 1);
    if (n > packed.size()) break;
    out.emplace_back(packed.substr(0, n));
    packed.remove_prefix(n);
  }
  return out;
}

Correction correction_of(const Rows& r) {
  Correction c;
  c.id = r.integer(0);
  c.who = r.bytes(1);
  c.when = r.integer(2);
  c.action = action_named(r.view(3)).value_or(Action::kLabel);
  c.machine = r.optional(4);
  c.others = ids_of(r.view(5));
  c.records = ids_of(r.view(6));
  const std::vector<std::string> labels = strings_of(r.view(7));
  for (std::size_t i = 0; i + 1 < labels.size(); i += 2)
    c.set.emplace_back(labels[i], labels[i + 1]);
  c.remove = strings_of(r.view(8));
  c.undoes = r.optional(9);
  c.reason = r.bytes(10);
  c.position = r.integer(11);
  c.formed = r.optional(12);
  c.undone_by = r.optional(13);
  return c;
}

}  // namespace

const char* name_of(Action action) {
  switch (action) {
    case Action::kMerge:
      return "merge";
    case Action::kSplit:
      return "split";
    case Action::kVoid:
      return "void";
    case Action::kUndo:
      return "undo";
    case Action::kLabel:
      break;
  }
  return "label";
}

std::optional<Action> action_named(std::string_view name) {
  for (const Action a :
       {Action::kMerge, Action::kSplit, Action::kVoid, Action::kLabel, Action::kUndo}) {
    if (name == name_of(a)) return a;
  }
  return std::nullopt;
}

Id Store::next_correction_id() {
  Rows rows = db_->query(kNextDecision);
  return rows.next() ? rows.integer(0) : 1;
}

void Store::insert_correction(const Correction& c) {
  std::string labels;
  for (const auto& [name, value] : c.set) {
    put_string(labels, name);
    put_string(labels, value);
  }
  std::string removes;
  for (const std::string& name : c.remove) put_string(removes, name);
  db_->run(kInsertDecision, Params()
                                .integer(c.id)
                                .bytes(c.who)
                                .integer(c.when)
                                .text(name_of(c.action))
                                .optional(c.machine)
                                .text(ids_text(c.others))
                                .text(ids_text(c.records))
                                .bytes(labels)
                                .bytes(removes)
                                .optional(c.undoes)
                                .bytes(c.reason)
                                .integer(c.position)
                                .optional(c.formed)
                                .optional(c.undone_by));
}

void Store::set_undone(Id decision, std::optional<Id> by) {
  db_->run(kUndone, Params().integer(decision).optional(by));
}

std::vector<Correction> Store::corrections_after(Id after, int limit) {
  std::vector<Correction> out;
  Rows rows = db_->query(kDecisionsAfter, Params().integer(after).integer(limit));
  while (rows.next()) out.push_back(correction_of(rows));
  return out;
}

std::vector<Correction> Store::corrections() {
  std::vector<Correction> all;
  for (Id after = 0;;) {
    auto page = corrections_after(after, kPage);
    if (page.empty()) break;
    after = page.back().id;
    for (Correction& c : page) all.push_back(std::move(c));
  }
  return all;
}

void Store::set_voided(Id record, Id decision) {
  flush_rows();
  db_->run(kVoid, Params().integer(record));
  db_->run(kVoidedSet, Params().integer(record).integer(decision));
}

std::optional<Id> Store::voided(Id record) {
  Rows rows = db_->query(kVoidedOne, Params().integer(record));
  if (!rows.next()) return std::nullopt;
  return rows.integer(0);
}

void Store::clear_voided() {
  flush_rows();
  db_->run(kUnvoidAll);
}

void Store::drop_machines(const std::vector<Id>& ids) {
  if (ids.empty()) return;
  flush();
  const std::set<Id> gone(ids.begin(), ids.end());
  for (const Statement* s : {&kDropMachines, &kDropComponents, &kDropSightings, &kDropClones}) {
    db_->run(*s, Params().integers(ids));
  }
  // Their search entries leave every chunk holding one; the rest of such a
  // chunk is written again with the next batch's entries.
  std::vector<std::int64_t> rewritten;
  for (Id after = 0;;) {
    Rows rows = db_->query(kChunks, Params().integer(after));
    bool any = false;
    while (rows.next()) {
      any = true;
      after = rows.integer(0);
      bool hit = false;
      search::entries(rows.view(1), [&](Id machine, search::Field, std::string_view) {
        hit = hit || gone.count(machine) > 0;
      });
      if (!hit) continue;
      rewritten.push_back(after);
      search::entries(rows.view(1), [&](Id machine, search::Field field, std::string_view text) {
        if (gone.count(machine) == 0) search_.add(machine, field, text);
      });
    }
    if (!any) break;
  }
  if (!rewritten.empty()) db_->run(kDropChunks, Params().integers(std::move(rewritten)));
  // What was read of them is stale now.
  const auto next = next_id_;
  digests_.clear();
  keys_.clear();
  machines_.clear();
  next_id_ = next;
}

void Store::set_label(Id machine, const std::string& name, const std::string& value) {
  db_->run(kSetLabel, Params().integer(machine).bytes(name).bytes(value));
}

void Store::remove_label(Id machine, const std::string& name) {
  db_->run(kRemoveLabel, Params().integer(machine).bytes(name));
}

void Store::move_labels(Id from, Id to) {
  if (from == to) return;
  db_->run(kCopyLabels, Params().integer(from).integer(to));
  db_->run(kDropLabels, Params().integer(from));
}

void Store::clear_labels() { db_->run(kClearLabels); }

std::map<Id, std::vector<std::pair<std::string, std::string>>> Store::labels_of(
    std::vector<Id> ids) {
  std::map<Id, std::vector<std::pair<std::string, std::string>>> out;
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (ids.empty()) return out;
  Rows rows = db_->query(kLabelsIn, Params().integers(std::move(ids)));
  while (rows.next()) out[rows.integer(0)].emplace_back(rows.bytes(1), rows.bytes(2));
  return out;
}

std::vector<Id> Store::labelled(const std::string& name, const std::string& value, Id after,
                                int limit) {
  std::vector<Id> out;
  Rows rows =
      db_->query(kLabelled, Params().bytes(name).bytes(value).integer(after).integer(limit));
  while (rows.next()) out.push_back(rows.integer(0));
  return out;
}

std::vector<Store::LabelCount> Store::label_counts(const std::optional<std::string>& name) {
  std::vector<LabelCount> out;
  Rows rows = name ? db_->query(kLabelCountsOf, Params().bytes(*name)) : db_->query(kLabelCounts);
  while (rows.next()) out.push_back({rows.bytes(0), rows.bytes(1), rows.integer(2)});
  return out;
}

std::vector<std::pair<Id, Id>> Store::voided_all() {
  std::vector<std::pair<Id, Id>> out;
  Rows rows = db_->query(kVoidedAll);
  while (rows.next()) out.emplace_back(rows.integer(0), rows.integer(1));
  return out;
}

std::vector<std::tuple<Id, std::string, std::string>> Store::labels_all() {
  std::vector<std::tuple<Id, std::string, std::string>> out;
  Rows rows = db_->query(kLabelsAll);
  while (rows.next()) out.emplace_back(rows.integer(0), rows.bytes(1), rows.bytes(2));
  return out;
}

}  // namespace zavro::registry
