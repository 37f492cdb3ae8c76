#include "registry/views.hpp"

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <numeric>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/json.hpp"
#include "reader/output.hpp"
#include "reader/read.hpp"
#include "reader/rules.hpp"
#include "reader/text.hpp"
#include "registry/store.hpp"
#include "registry/tie.hpp"

namespace zavro::registry {
namespace {

constexpr int kSchemaVersion = 1;
constexpr int kPage = 4096;

using reader::JsonLine;
using reader::terminal_safe;

std::string utc(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string id_text(const std::optional<Id>& id) { return id ? std::to_string(*id) : "-"; }

void optional_id(JsonLine& json, const std::optional<Id>& id) {
  if (id) {
    json.number(static_cast<std::int64_t>(*id));
  } else {
    json.null();
  }
}

// Rows of cells, each column as wide as its widest cell, two spaces apart.
class Table {
 public:
  explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
  void row(std::vector<std::string> cells) {
    for (std::string& cell : cells) cell = terminal_safe(cell);
    rows_.push_back(std::move(cells));
  }
  void print(const LineSink& out) const {
    std::vector<std::size_t> width;
    for (const auto& cells : rows_) {
      width.resize(std::max(width.size(), cells.size()));
      for (std::size_t i = 0; i < cells.size(); ++i) width[i] = std::max(width[i], cells[i].size());
    }
    for (const auto& cells : rows_) {
      std::string line;
      for (std::size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 < cells.size()) line.append(width[i] + 2 - cells[i].size(), ' ');
      }
      out(line);
    }
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

std::optional<reader::FileReport> read_stored(const StoredReport& stored) {
  reader::FileReport report = reader::report_of(stored.file, stored.bytes);
  if (!report.decoded) return std::nullopt;
  return report;
}

std::string changes_text(const std::vector<Change>& changes) {
  std::string text;
  for (const Change& change : changes) {
    if (!text.empty()) text += "; ";
    text += kKeyNames[static_cast<std::size_t>(change.field)];
    if (change.field == Key::kMacAddresses) {
      for (const auto& a : change.added) text += " +" + a;
      for (const auto& a : change.removed) text += " -" + a;
    } else {
      text += " " + change.before + " -> " + change.after;
    }
  }
  return text;
}

void changes_json(JsonLine& json, const std::vector<Change>& changes) {
  json.key("changes").begin_array();
  for (const Change& change : changes) {
    json.begin_object().key("field").latin1(kKeyNames[static_cast<std::size_t>(change.field)]);
    if (change.field == Key::kMacAddresses) {
      json.key("added").begin_array();
      for (const auto& a : change.added) json.latin1(a);
      json.end_array().key("removed").begin_array();
      for (const auto& a : change.removed) json.latin1(a);
      json.end_array();
    } else {
      json.key("before").latin1(change.before).key("after").latin1(change.after);
    }
    json.end_object();
  }
  json.end_array();
}

bool hardware(const std::vector<Change>& changes) {
  return std::any_of(changes.begin(), changes.end(), [](const Change& c) {
    return c.field == Key::kMacAddresses || c.field == Key::kBiosSerial ||
           c.field == Key::kMotherboardSerial;
  });
}

// Clone groups: machines linked as copies, transitively.
std::vector<std::vector<Id>> clone_groups(Store& store) {
  std::map<Id, Id> parent;
  const auto root = [&](Id id) {
    while (parent.at(id) != id) id = parent[id] = parent.at(parent.at(id));
    return id;
  };
  for (const auto& [a, b] : store.clone_links()) {
    parent.emplace(a, a);
    parent.emplace(b, b);
    const Id ra = root(a);
    const Id rb = root(b);
    if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
  }
  std::map<Id, std::vector<Id>> groups;
  for (const auto& entry : parent) groups[root(entry.first)].push_back(entry.first);
  std::vector<std::vector<Id>> out;
  out.reserve(groups.size());
  for (auto& entry : groups) out.push_back(std::move(entry.second));
  return out;
}

}  // namespace

std::string outcome_json(const Outcome& o, bool find) {
  JsonLine json;
  json.begin_object().key("schema").number(kSchemaVersion);
  json.key("file").text(o.file);
  const bool read = o.status == Status::kStored;
  json.key("status").latin1(find && read ? "ok" : name_of(o.status));
  json.key("record");
  optional_id(json, find && read ? std::nullopt : std::optional<Id>(o.record));
  json.key("machine");
  optional_id(json, o.machine);
  json.key("match");
  if (o.match.empty()) {
    json.null();
  } else {
    json.latin1(o.match);
  }
  if (o.status == Status::kRejected) json.key("reason").latin1(o.reason);
  json.key("evidence").raw(o.evidence);
  json.key("digest").latin1(hex(o.digest)).end_object();
  return json.str();
}

std::string outcome_text(const Outcome& o, bool find) {
  std::string line = terminal_safe(o.file) + ": ";
  switch (o.status) {
    case Status::kRejected:
      return line + "rejected: " + terminal_safe(o.reason);
    case Status::kDuplicate:
      return line + (find ? "known" : "duplicate") + ", record " + std::to_string(o.record) +
             ", machine " + id_text(o.machine);
    case Status::kStored:
      break;
  }
  if (find) {
    return line + (o.machine ? "machine " + std::to_string(*o.machine) + " (" + o.match + ")"
                             : "no known machine (" + o.match + ")");
  }
  return line + "stored, record " + std::to_string(o.record) + ", machine " + id_text(o.machine) +
         " (" + o.match + ")";
}

std::string move_json(const Move& move) {
  JsonLine json;
  json.begin_object().key("schema").number(kSchemaVersion);
  json.key("record").number(static_cast<std::int64_t>(move.record));
  json.key("from");
  optional_id(json, move.from);
  json.key("to");
  optional_id(json, move.to);
  json.end_object();
  return json.str();
}

std::string move_text(const Move& move) {
  return "record " + std::to_string(move.record) + ": machine " + id_text(move.from) + " -> " +
         id_text(move.to);
}

namespace {

// Every machine, or those with a report keep accepts.
void list_machines(Registry& registry, bool json, const LineSink& out,
                   const std::function<bool(const Identity&)>& keep,
                   std::optional<Id> only = std::nullopt) {
  Store& store = registry.store();
  Transaction snapshot(store, false);
  const auto groups = clone_groups(store);
  std::set<Id> cloned;
  for (const auto& group : groups) cloned.insert(group.begin(), group.end());
  Table table({"MACHINE", "REPORTS", "FIRST", "LAST", "FLAGS", "NAMES"});
  for (const Id id : only ? std::vector<Id>{*only} : store.machine_ids()) {
    const auto reports = store.machine_reports(id);
    if (reports.empty()) continue;
    std::vector<std::string> names;
    bool changed = false;
    bool kept = !keep;
    std::optional<Identity> before;
    for (const StoredReport& stored : reports) {
      const auto report = read_stored(stored);
      if (!report) continue;
      const Identity identity = identity_of(report->parsed, *report->decoded);
      kept = kept || keep(identity);
      if (std::find(names.begin(), names.end(), identity.name) == names.end()) {
        names.push_back(identity.name);
      }
      if (before) changed = changed || hardware(changes_between(*before, identity));
      before = identity;
    }
    if (!kept) continue;
    const bool clone = cloned.count(id) > 0;
    if (json) {
      JsonLine line;
      line.begin_object().key("schema").number(kSchemaVersion);
      line.key("machine").number(static_cast<std::int64_t>(id));
      line.key("records").begin_array();
      for (const StoredReport& r : reports) line.number(static_cast<std::int64_t>(r.id));
      line.end_array();
      line.key("first").begin_object().key("record").number(
          static_cast<std::int64_t>(reports.front().id));
      line.key("received").latin1(utc(reports.front().received)).end_object();
      line.key("last").begin_object().key("record").number(
          static_cast<std::int64_t>(reports.back().id));
      line.key("received").latin1(utc(reports.back().received)).end_object();
      line.key("names").begin_array();
      for (const auto& name : names) line.latin1(name);
      line.end_array();
      line.key("clone").boolean(clone).key("changed").boolean(changed).end_object();
      out(line.str());
    } else {
      std::string flags;
      if (clone) flags += "clone";
      if (changed) flags += flags.empty() ? "changed" : ",changed";
      std::string joined;
      for (const auto& name : names) joined += (joined.empty() ? "" : ", ") + name;
      table.row({std::to_string(id), std::to_string(reports.size()), utc(reports.front().received),
                 utc(reports.back().received), flags.empty() ? "-" : flags, joined});
    }
  }
  if (!json) table.print(out);
}

}  // namespace

void machines(Registry& registry, bool json, const LineSink& out) {
  list_machines(registry, json, out, {});
}

bool history(Registry& registry, Id machine, bool json, const LineSink& out) {
  Store& store = registry.store();
  Transaction snapshot(store, false);
  const auto reports = store.machine_reports(machine);
  if (reports.empty()) return false;
  Table table({"RECORD", "RECEIVED", "MATCH", "FILE", "NOTE", "CHANGED"});
  std::optional<Identity> before;
  for (const StoredReport& stored : reports) {
    const auto report = read_stored(stored);
    std::vector<Change> changes;
    if (report) {
      const Identity identity = identity_of(report->parsed, *report->decoded);
      if (before) changes = changes_between(*before, identity);
      before = identity;
    }
    if (json) {
      JsonLine line;
      line.begin_object().key("schema").number(kSchemaVersion);
      line.key("machine").number(static_cast<std::int64_t>(machine));
      line.key("record").number(static_cast<std::int64_t>(stored.id));
      line.key("file").text(stored.file).key("received").latin1(utc(stored.received));
      line.key("note").text(stored.note).key("match").latin1(stored.match);
      changes_json(line, changes);
      line.end_object();
      out(line.str());
    } else {
      table.row({std::to_string(stored.id), utc(stored.received), stored.match, stored.file,
                 stored.note.empty() ? "-" : stored.note,
                 changes.empty() ? "-" : changes_text(changes)});
    }
  }
  if (!json) table.print(out);
  return true;
}

void placeholders(Registry& registry, bool json, const LineSink& out) {
  Store& store = registry.store();
  Transaction snapshot(store, false);
  // Listed values as they were seen, with the machines that showed them.
  std::map<std::pair<Key, std::string>, std::set<Id>> listed;
  for (Id after = 0;;) {
    const auto page = store.reports_after(after, kPage, true);
    if (page.empty()) break;
    for (const StoredReport& stored : page) {
      after = stored.id;
      if (!stored.machine) continue;
      const auto report = read_stored(stored);
      if (!report) continue;
      const std::pair<Key, reader::SerialState> serials[] = {
          {Key::kBiosSerial, report->decoded->bios},
          {Key::kMotherboardSerial, report->decoded->board}};
      for (const auto& [key, state] : serials) {
        if (state != reader::SerialState::kPlaceholder) continue;
        const std::string value(reader::trim_spaces(report->parsed.value(key)));
        listed[{key, value}].insert(*stored.machine);
      }
    }
  }
  Table table({"FIELD", "SOURCE", "MACHINES", "VALUE"});
  const auto emit = [&](const char* field, const std::string& value, const char* source,
                        std::size_t machines) {
    if (json) {
      JsonLine line;
      line.begin_object().key("schema").number(kSchemaVersion);
      line.key("field").latin1(field).key("value").latin1(value).key("source").latin1(source);
      line.key("machines").number(static_cast<std::uint64_t>(machines)).end_object();
      out(line.str());
    } else {
      table.row({field, source, std::to_string(machines), value});
    }
  };
  for (const auto& [key, machines] : listed) {
    emit(kKeyNames[static_cast<std::size_t>(key.first)], key.second, "listed", machines.size());
  }
  for (const Store::Learned& learned : store.learned_all()) {
    emit(field_of(learned.key.kind), display(learned.key), "learned",
         static_cast<std::size_t>(learned.machines));
  }
  if (!json) table.print(out);
}

void clones(Registry& registry, bool json, const LineSink& out) {
  Store& store = registry.store();
  Transaction snapshot(store, false);
  Table table({"MACHINES", "SHARED"});
  for (const auto& group : clone_groups(store)) {
    // What every machine of the group reports alike, from their latest reports.
    std::optional<std::array<std::string, kKeyCount>> shared;
    std::array<bool, kKeyCount> same{};
    same.fill(true);
    for (const Id id : group) {
      const auto latest = store.latest_report(id);
      if (!latest) continue;
      const reader::FileReport report = reader::report_of({}, latest->second);
      if (!report.decoded) continue;
      std::array<std::string, kKeyCount> values;
      for (std::size_t i = 0; i < kKeyCount; ++i) {
        values[i] = report.parsed.value(static_cast<Key>(i));
      }
      if (!shared) {
        shared = values;
      } else {
        for (std::size_t i = 0; i < kKeyCount; ++i) same[i] = same[i] && (*shared)[i] == values[i];
      }
    }
    const Key keys[] = {Key::kBiosSerial, Key::kMotherboardSerial, Key::kMachineName};
    if (json) {
      JsonLine line;
      line.begin_object().key("schema").number(kSchemaVersion).key("machines").begin_array();
      for (const Id id : group) line.number(static_cast<std::int64_t>(id));
      line.end_array().key("shared").begin_object();
      for (const Key key : keys) {
        const auto k = static_cast<std::size_t>(key);
        if (shared && same[k]) line.key(kKeyNames[k]).latin1((*shared)[k]);
      }
      line.end_object().end_object();
      out(line.str());
    } else {
      std::string ids;
      for (const Id id : group) ids += (ids.empty() ? "" : ",") + std::to_string(id);
      std::string text;
      for (const Key key : keys) {
        const auto k = static_cast<std::size_t>(key);
        if (!shared || !same[k]) continue;
        text += (text.empty() ? "" : "; ") + std::string(kKeyNames[k]) + " " + (*shared)[k];
      }
      table.row({ids, text.empty() ? "-" : text});
    }
  }
  if (!json) table.print(out);
}

void rejected(Registry& registry, bool json, const LineSink& out) {
  Store& store = registry.store();
  Transaction snapshot(store, false);
  Table table({"RECORD", "RECEIVED", "FILE", "REASON"});
  for (Id after = 0;;) {
    const auto page = store.reports_after(after, kPage, true);
    if (page.empty()) break;
    for (const StoredReport& stored : page) {
      after = stored.id;
      if (stored.machine) continue;
      if (json) {
        JsonLine line;
        line.begin_object().key("schema").number(kSchemaVersion);
        line.key("record").number(static_cast<std::int64_t>(stored.id));
        line.key("file").text(stored.file).key("received").latin1(utc(stored.received));
        line.key("note").text(stored.note).key("reason").latin1(stored.reason);
        line.key("size").number(static_cast<std::uint64_t>(stored.bytes.size()));
        line.key("digest").latin1(hex(stored.digest)).end_object();
        out(line.str());
      } else {
        table.row({std::to_string(stored.id), utc(stored.received), stored.file, stored.reason});
      }
    }
  }
  if (!json) table.print(out);
}

// Search by text: the web page's machine list.
namespace {

std::string folded(std::string_view text, bool drop_separators) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (drop_separators && (c == ':' || c == '-' || c == '.')) continue;
    out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

bool identity_holds(const Identity& identity, const std::string& text, const std::string& hex) {
  const auto holds = [](const std::string& value, const std::string& part) {
    return !part.empty() && value.find(part) != std::string::npos;
  };
  if (holds(folded(identity.name, false), text)) return true;
  if (identity.bios && holds(folded(*identity.bios, false), text)) return true;
  if (identity.board && holds(folded(*identity.board, false), text)) return true;
  return std::any_of(identity.addresses.begin(), identity.addresses.end(), [&](const auto& a) {
    std::string value;
    for (const std::uint8_t b : a) {
      value += "0123456789abcdef"[b >> 4];
      value += "0123456789abcdef"[b & 15];
    }
    return holds(value, hex);
  });
}

}  // namespace

bool machine(Registry& registry, Id id, const LineSink& out) {
  bool found = false;
  list_machines(
      registry, true,
      [&](const std::string& line) {
        found = true;
        out(line);
      },
      {}, id);
  return found;
}

void search_machines(Registry& registry, const std::string& text, const LineSink& out) {
  const std::string query = folded(text, false);
  const std::string hex = folded(text, true);
  if (query.empty()) {
    list_machines(registry, true, out, {});
    return;
  }
  list_machines(registry, true, out,
                [&](const Identity& identity) { return identity_holds(identity, query, hex); });
}

}  // namespace zavro::registry
