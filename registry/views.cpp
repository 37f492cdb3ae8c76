#include "registry/views.hpp"

#include <algorithm>
#include <ctime>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/json.hpp"
#include "reader/output.hpp"
#include "reader/read.hpp"
#include "reader/rules.hpp"
#include "reader/text.hpp"
#include "registry/summary.hpp"
#include "registry/tie.hpp"

namespace zavro::registry {
namespace {

using reader::JsonLine;
using reader::terminal_safe;

}  // namespace

std::string utc(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

namespace {

std::string id_text(const std::optional<Id>& id) { return id ? std::to_string(*id) : "-"; }

// What a message without a report says, in place of a reason.
constexpr const char* kNoReportReason = "no report in this message";

// "mail": the message a report came in; absent for one that did not come by mail.
void mail_json(JsonLine& json, const std::optional<MailOrigin>& mail) {
  if (!mail) return;
  json.key("mail").begin_object().key("sender").text(mail->sender);
  json.key("message_id").text(mail->message_id).key("date");
  if (mail->date) {
    json.latin1(utc(*mail->date));
  } else {
    json.null();
  }
  json.key("subject").text(mail->subject).end_object();
}

// The same on one line of text, each part terminal-safe.
std::string mail_text(const MailOrigin& mail) {
  std::string text = mail.sender.empty() ? "-" : terminal_safe(mail.sender);
  if (mail.date) text += ", " + utc(*mail.date);
  if (!mail.message_id.empty()) text += ", <" + terminal_safe(mail.message_id) + ">";
  if (!mail.subject.empty()) text += ", \"" + terminal_safe(mail.subject) + '"';
  return text;
}

void optional_id(JsonLine& json, const std::optional<Id>& id) {
  if (id) {
    json.number(static_cast<std::int64_t>(*id));
  } else {
    json.null();
  }
}

JsonLine& begin_line(JsonLine& json) {
  return json.begin_object().key("schema").number(kLineSchema);
}

// Rows of cells, each column as wide as its widest cell, two spaces apart.
// Cells are kept packed: a listing of every machine holds one string a row.
class Table {
 public:
  explicit Table(const std::vector<std::string>& header) { row(header, false); }
  void row(const std::vector<std::string>& cells, bool escape = true) {
    std::string packed;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::string cell = escape ? terminal_safe(cells[i]) : cells[i];
      if (width_.size() <= i) width_.push_back(0);
      width_[i] = std::max(width_[i], cell.size());
      packed += cell;
      packed += '\0';
    }
    rows_.push_back(std::move(packed));
  }
  void print(const LineSink& out) const {
    for (const std::string& packed : rows_) {
      std::string line;
      std::size_t column = 0;
      for (std::size_t start = 0, end = packed.find('\0'); end != std::string::npos;
           start = end + 1, end = packed.find('\0', start), ++column) {
        line.append(packed, start, end - start);
        if (end + 1 < packed.size()) line.append(width_[column] + 2 - (end - start), ' ');
      }
      out(line);
    }
  }

 private:
  std::vector<std::string> rows_;
  std::vector<std::size_t> width_;
};

std::string csv_line(const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += ',';
    line += csv_cell(cells[i]);
  }
  // RFC 4180 ends records with CR LF; the sink adds the LF.
  return line + '\r';
}

std::optional<reader::FileReport> read_stored(std::string_view file, std::string_view bytes) {
  reader::FileReport report = reader::report_of(std::string(file), bytes);
  if (!report.decoded) return std::nullopt;
  return report;
}
std::optional<reader::FileReport> read_stored(const StoredReport& stored) {
  return read_stored(stored.file, stored.bytes);
}
std::optional<reader::FileReport> read_stored(const ReportText& stored) {
  return read_stored(stored.file, stored.bytes);
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

// "labels": {NAME: VALUE, ...}.
void labels_json(JsonLine& json, const std::vector<std::pair<std::string, std::string>>& labels) {
  json.key("labels").begin_object();
  for (const auto& [name, value] : labels) json.key(terminal_safe(name)).text(value);
  json.end_object();
}

std::string labels_text(const std::vector<std::pair<std::string, std::string>>& labels) {
  std::string text;
  for (const auto& [name, value] : labels) {
    text += (text.empty() ? "" : ", ") + terminal_safe(name) + "=" + terminal_safe(value);
  }
  return text.empty() ? "-" : text;
}

std::string ids_joined(const std::vector<Id>& ids) {
  std::string text;
  for (const Id id : ids) text += (text.empty() ? "" : ", ") + std::to_string(id);
  return text;
}

// What a decision did, in words.
std::string correction_what(const Correction& c) {
  const std::string machine = id_text(c.machine);
  switch (c.action) {
    case Action::kMerge:
      return "machines " + ids_joined(c.others) + " joined machine " + machine +
             (c.formed ? " (now machine " + std::to_string(*c.formed) + ")" : "");
    case Action::kSplit:
      return "records " + ids_joined(c.records) + " left machine " + machine +
             (c.formed ? " as machine " + std::to_string(*c.formed) : "");
    case Action::kVoid:
      return "record " + ids_joined(c.records) + " of machine " + machine + " set aside";
    case Action::kLabel: {
      std::string text = "machine " + machine;
      for (const auto& [name, value] : c.set)
        text.append(" ").append(name).append("=").append(value);
      for (const std::string& name : c.remove) text.append(" -").append(name);
      return text;
    }
    case Action::kUndo:
      break;
  }
  return "decision " + id_text(c.undoes) + " undone";
}

// " NAME" when the machine has one.
std::string named(const std::string& name) {
  return name.empty() ? std::string() : " " + terminal_safe(name);
}

std::string match_text(const Outcome& o) {
  if (o.match == "changed" && !o.changed.empty())
    return "(changed: " + terminal_safe(o.changed) + ")";
  return "(" + o.match + ")";
}

// The latest report's serials and first address, for a listing's row.
struct LatestCells {
  std::string bios;
  std::string board;
  std::string address;
};
LatestCells latest_cells(const std::optional<reader::FileReport>& report) {
  LatestCells cells;
  if (!report) return cells;
  cells.bios = std::string(report->parsed.value(Key::kBiosSerial));
  cells.board = std::string(report->parsed.value(Key::kMotherboardSerial));
  const auto& addresses = report->decoded->addresses.addresses;
  if (!addresses.empty()) {
    cells.address = std::string(addresses.front().text());
    if (addresses.size() > 1) cells.address += " +" + std::to_string(addresses.size() - 1);
  }
  return cells;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string flags_of(const MachineRow& row) {
  std::string flags;
  if (row.clone_group) flags += "clone";
  if (row.changed) flags += flags.empty() ? "changed" : ",changed";
  return flags;
}

}  // namespace

std::string csv_cell(std::string_view text) {
  std::string cell(text);
  // A spreadsheet runs a cell that starts so as a formula.
  if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@')) {
    cell.insert(0, 1, '\'');
  }
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (const char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string outcome_json(const Outcome& o, bool find) {
  JsonLine json;
  begin_line(json);
  json.key("file").text(o.file);
  if (o.no_report) {
    // Kept, so that the same message again is known, yet no report.
    json.key("status").latin1("no-report").key("record");
    optional_id(json, find ? std::nullopt : std::optional<Id>(o.record));
    json.key("machine").null().key("match").null().key("reason").latin1(kNoReportReason);
    mail_json(json, o.mail);
    json.key("digest").latin1(hex(o.digest)).end_object();
    return json.str();
  }
  const bool read = o.status == Status::kStored;
  json.key("status").latin1(find && read ? "ok" : name_of(o.status));
  json.key("record");
  optional_id(json, find && read ? std::nullopt : std::optional<Id>(o.record));
  json.key("machine");
  optional_id(json, o.machine);
  if (o.machine) json.key("name").latin1(o.name);
  json.key("match");
  if (o.match.empty()) {
    json.null();
  } else {
    json.latin1(o.match);
  }
  if (!o.reason.empty()) json.key("reason").latin1(o.reason);
  mail_json(json, o.mail);
  json.key("evidence").raw(o.evidence);
  json.key("digest").latin1(hex(o.digest)).end_object();
  return json.str();
}

std::string outcome_text(const Outcome& o, bool find) {
  std::string line = terminal_safe(o.file) + ": ";
  if (o.no_report) {
    line += kNoReportReason;
    if (!find) line += ", record " + std::to_string(o.record);
    if (o.mail) {
      line += " (from " + (o.mail->sender.empty() ? "-" : terminal_safe(o.mail->sender));
      if (!o.mail->subject.empty()) line += ", subject \"" + terminal_safe(o.mail->subject) + '"';
      line += ')';
    }
    return line;
  }
  switch (o.status) {
    case Status::kRejected:
      return line + "rejected: " + terminal_safe(o.reason);
    case Status::kDuplicate:
      if (!o.machine) {
        return line +
               (find ? "known, record " + std::to_string(o.record) + ", rejected: "
                     : "duplicate of rejected record " + std::to_string(o.record) + ": ") +
               terminal_safe(o.reason);
      }
      return line + (find ? "known" : "duplicate") + ", record " + std::to_string(o.record) +
             ", machine " + std::to_string(*o.machine) + named(o.name);
    case Status::kStored:
      break;
  }
  if (find) {
    return line + (o.machine ? "machine " + std::to_string(*o.machine) + named(o.name) + " " +
                                   match_text(o)
                             : "no known machine (" + o.match + ")");
  }
  return line + "stored, record " + std::to_string(o.record) + ", machine " + id_text(o.machine) +
         named(o.name) + " " + match_text(o);
}

std::string move_json(const Move& move) {
  JsonLine json;
  begin_line(json);
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

// What the listing and the machine view both say of a machine's summary.
void summary_json(JsonLine& line, const MachineRow& row) {
  line.key("first").begin_object().key("record").number(static_cast<std::int64_t>(row.id));
  line.key("received").latin1(utc(row.first_received)).end_object();
  line.key("last").begin_object().key("record").number(static_cast<std::int64_t>(row.latest));
  line.key("received").latin1(utc(row.last_received)).end_object();
  line.key("names").begin_array();
  for (const auto& name : names_of(row.names)) line.latin1(name);
  line.end_array();
  line.key("clone").boolean(row.clone_group.has_value());
  line.key("changed").boolean(row.changed);
}

}  // namespace

std::string machine_json(const MachineListing& listing) {
  const MachineRow& row = listing.row;
  const std::vector<Id> records = records_of(row.records);
  JsonLine line;
  begin_line(line);
  line.key("machine").number(static_cast<std::int64_t>(row.id));
  line.key("records").begin_array();
  for (const Id r : records) line.number(static_cast<std::int64_t>(r));
  line.end_array();
  summary_json(line, row);
  line.key("identity");
  const auto report = read_stored(listing.latest);
  if (report) {
    reader::fields_json(line, report->parsed, *report->decoded);
  } else {
    line.null();
  }
  labels_json(line, listing.labels);
  line.end_object();
  return line.str();
}

bool machines(Registry& registry, const MachineQuery& query, Format format, const LineSink& out) {
  const std::vector<std::string> header = {"MACHINE", "REPORTS", "FIRST",   "LAST", "FLAGS",
                                           "BIOS",    "BOARD",   "ADDRESS", "NAMES"};
  Table table(header);
  if (format == Format::kCsv) out(csv_line(header));
  const bool more = registry.machines(query, [&](const MachineListing& listing) {
    if (format == Format::kJson) {
      out(machine_json(listing));
      return;
    }
    const MachineRow& row = listing.row;
    const LatestCells latest = latest_cells(read_stored(listing.latest));
    const std::vector<std::string> cells = {std::to_string(row.id),
                                            std::to_string(row.reports),
                                            utc(row.first_received),
                                            utc(row.last_received),
                                            flags_of(row),
                                            latest.bios,
                                            latest.board,
                                            latest.address,
                                            joined(names_of(row.names))};
    if (format == Format::kCsv) {
      std::vector<std::string> safe;
      safe.reserve(cells.size());
      for (const std::string& cell : cells) safe.push_back(terminal_safe(cell));
      out(csv_line(safe));
      return;
    }
    std::vector<std::string> shown = cells;
    for (std::size_t i = 4; i < shown.size(); ++i) {
      if (shown[i].empty()) shown[i] = "-";
    }
    table.row(shown);
  });
  if (format == Format::kTable) table.print(out);
  return more;
}

namespace {

// Every value a machine reported, with the first and last report that did.
struct Seen {
  Key field;
  std::string value;
  Id first = 0;
  Id last = 0;
};

std::vector<Seen> values_seen(const std::vector<StoredReport>& reports) {
  std::vector<Seen> seen;
  std::map<std::pair<Key, std::string>, std::size_t> at;
  const auto saw = [&](Key field, std::string value, Id record) {
    const auto [it, fresh] = at.try_emplace({field, value}, seen.size());
    if (fresh) {
      seen.push_back({field, std::move(value), record, record});
    } else {
      seen[it->second].last = record;
    }
  };
  for (const StoredReport& stored : reports) {
    const auto report = read_stored(stored);
    if (!report) continue;
    const reader::Parsed& parsed = report->parsed;
    saw(Key::kMachineName, std::string(parsed.value(Key::kMachineName)), stored.id);
    for (const auto& [key, state] : {std::pair{Key::kBiosSerial, report->decoded->bios},
                                     std::pair{Key::kMotherboardSerial, report->decoded->board}}) {
      if (state == reader::SerialState::kValue || state == reader::SerialState::kPlaceholder) {
        saw(key, std::string(reader::trim_spaces(parsed.value(key))), stored.id);
      }
    }
    for (const reader::Address& a : report->decoded->addresses.addresses) {
      saw(Key::kMacAddresses, std::string(a.text()), stored.id);
    }
  }
  std::stable_sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) {
    const auto rank = [](Key k) {
      return k == Key::kMachineName         ? 0
             : k == Key::kBiosSerial        ? 1
             : k == Key::kMotherboardSerial ? 2
                                            : 3;
    };
    return rank(a.field) < rank(b.field);
  });
  return seen;
}

}  // namespace

Vendors vendors_for(const MachineView& view) {
  std::vector<AddressBytes> wanted;
  for (const StoredReport& stored : view.reports) {
    const auto report = read_stored(stored);
    if (!report) continue;
    for (const reader::Address& a : report->decoded->addresses.addresses) wanted.push_back(a.bytes);
  }
  // Nothing wanted would read every block: ask for one that names nobody.
  if (wanted.empty()) wanted.push_back({});
  return Vendors(wanted);
}

std::optional<std::string> machine_view(Registry& registry, Id id, bool json,
                                        const Vendors* vendors) {
  const auto view = registry.machine(id);
  if (!view) return std::nullopt;
  std::optional<Vendors> own;
  if (vendors == nullptr) vendors = &own.emplace(vendors_for(*view));
  const reader::MakerOf maker = [vendors](const reader::Address& a) {
    return vendors->maker(a.bytes);
  };
  const MachineRow& row = view->row;
  const StoredReport* latest = nullptr;
  for (const StoredReport& r : view->reports) {
    if (r.id == row.latest) latest = &r;
  }
  const auto report = latest != nullptr ? read_stored(*latest) : std::nullopt;
  const std::vector<Seen> seen = values_seen(view->reports);
  if (json) {
    JsonLine line;
    begin_line(line);
    line.key("machine").number(static_cast<std::int64_t>(row.id));
    line.key("reports").number(static_cast<std::int64_t>(row.reports));
    summary_json(line, row);
    line.key("twins").begin_array();
    for (const Id twin : view->twins) line.number(static_cast<std::int64_t>(twin));
    line.end_array();
    line.key("identity");
    if (report) {
      reader::fields_json(line, report->parsed, *report->decoded, maker);
    } else {
      line.null();
    }
    line.key("values").begin_array();
    for (const Seen& s : seen) {
      line.begin_object().key("field").latin1(kKeyNames[static_cast<std::size_t>(s.field)]);
      line.key("value").latin1(s.value);
      line.key("first").number(static_cast<std::int64_t>(s.first));
      line.key("last").number(static_cast<std::int64_t>(s.last)).end_object();
    }
    line.end_array();
    line.key("by_mail").begin_array();
    for (const StoredReport& r : view->reports) {
      if (!r.mail) continue;
      line.begin_object().key("record").number(static_cast<std::int64_t>(r.id));
      mail_json(line, r.mail);
      line.end_object();
    }
    line.end_array();
    labels_json(line, view->labels);
    line.end_object();
    return line.str();
  }
  std::string text = "machine " + std::to_string(row.id) + "\n";
  Table facts({"reports", std::to_string(row.reports)});
  facts.row({"first", utc(row.first_received) + " (record " + std::to_string(row.id) + ")"});
  facts.row({"last", utc(row.last_received) + " (record " + std::to_string(row.latest) + ")"});
  const std::string flags = flags_of(row);
  facts.row({"flags", flags.empty() ? "-" : flags});
  std::string twins;
  for (const Id twin : view->twins) twins += (twins.empty() ? "" : ", ") + std::to_string(twin);
  facts.row({"twins", twins.empty() ? "-" : twins});
  facts.row({"labels", labels_text(view->labels)}, false);
  facts.print([&text](const std::string& l) { text += l + "\n"; });
  text += "\nlatest report (record " + std::to_string(row.latest) + ")\n";
  if (report) text += reader::fields_text(report->parsed, *report->decoded, maker);
  text += "\n";
  Table values({"FIELD", "FIRST", "LAST", "VALUE"});
  for (const Seen& s : seen) {
    std::string value = s.value;
    if (s.field == Key::kMacAddresses && s.value.size() == 17) {
      AddressBytes bytes{};
      for (std::size_t i = 0; i < 6; ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::stoi(s.value.substr(i * 3, 2), nullptr, 16));
      }
      const std::string name = vendors->maker(bytes);
      if (!name.empty()) value += "  " + name;
    }
    values.row({kKeyNames[static_cast<std::size_t>(s.field)], std::to_string(s.first),
                std::to_string(s.last), value});
  }
  values.print([&text](const std::string& l) { text += l + "\n"; });
  Table mail({"RECORD", "MAIL"});
  bool by_mail = false;
  for (const StoredReport& r : view->reports) {
    if (!r.mail) continue;
    by_mail = true;
    mail.row({std::to_string(r.id), mail_text(*r.mail)}, false);
  }
  if (by_mail) {
    text += "\nby mail\n";
    mail.print([&text](const std::string& l) { text += l + "\n"; });
  }
  return text;
}

std::optional<bool> history(Registry& registry, Id machine, const Page& page, bool json,
                            const LineSink& out) {
  const auto found = registry.history(machine, page.after, page.limit);
  if (!found) return std::nullopt;
  // The mail column only where a report on the page came by mail.
  const bool by_mail = std::any_of(found->reports.begin(), found->reports.end(),
                                   [](const StoredReport& r) { return r.mail.has_value(); });
  std::vector<std::string> header = {"RECORD", "RECEIVED", "MATCH", "FILE", "NOTE", "CHANGED"};
  if (by_mail) header.emplace_back("MAIL");
  Table table(header);
  std::optional<Identity> before;
  if (found->before) {
    if (const auto report = read_stored(*found->before)) {
      before = identity_of(report->parsed, *report->decoded);
    }
  }
  // The decisions that touched the machine, each before the first report
  // that came after it was made.
  const std::vector<Correction> decided = registry.corrections_of(machine);
  std::size_t next_decision = 0;
  const auto decisions_before = [&](Id record) {
    for (; next_decision < decided.size() && decided[next_decision].position < record;
         ++next_decision) {
      const Correction& c = decided[next_decision];
      if (c.position < page.after) continue;
      if (json) {
        out(correction_json(c));
      } else {
        table.row({"decision " + std::to_string(c.id), utc(c.when), name_of(c.action), "-",
                   "by " + c.who, correction_what(c) + ": " + c.reason});
      }
    }
  };
  for (const StoredReport& stored : found->reports) {
    decisions_before(stored.id);
    const auto report = read_stored(stored);
    std::vector<Change> changes;
    if (report) {
      const Identity identity = identity_of(report->parsed, *report->decoded);
      if (before) changes = changes_between(*before, identity);
      before = identity;
    }
    if (json) {
      JsonLine line;
      begin_line(line);
      line.key("machine").number(static_cast<std::int64_t>(machine));
      line.key("record").number(static_cast<std::int64_t>(stored.id));
      line.key("file").text(stored.file).key("received").latin1(utc(stored.received));
      line.key("note").text(stored.note).key("match").latin1(stored.match);
      changes_json(line, changes);
      mail_json(line, stored.mail);
      line.end_object();
      out(line.str());
    } else {
      std::vector<std::string> cells = {
          std::to_string(stored.id),
          utc(stored.received),
          terminal_safe(stored.match),
          terminal_safe(stored.file),
          stored.note.empty() ? "-" : terminal_safe(stored.note),
          changes.empty() ? "-" : terminal_safe(changes_text(changes))};
      if (by_mail) cells.push_back(stored.mail ? mail_text(*stored.mail) : "-");
      table.row(cells, false);
    }
  }
  if (!found->more) decisions_before(INT64_MAX);
  if (!json) table.print(out);
  return found->more;
}

bool placeholders(Registry& registry, const Page& page, bool json, const LineSink& out) {
  Table table({"FIELD", "SOURCE", "MACHINES", "VALUE"});
  const bool more = registry.placeholders(
      static_cast<std::size_t>(std::max<Id>(page.after, 0)), page.limit,
      [&](const Store::Placeholder& p) {
        const std::string field = field_of(p.key.kind);
        const std::string value = p.learned ? display(p.key) : p.key.value;
        const char* source = p.learned ? "learned" : "listed";
        if (json) {
          JsonLine line;
          begin_line(line);
          line.key("field").latin1(field).key("value").latin1(value).key("source").latin1(source);
          line.key("machines").number(static_cast<std::int64_t>(p.machines)).end_object();
          out(line.str());
        } else {
          table.row({field, source, std::to_string(p.machines), value});
        }
      });
  if (!json) table.print(out);
  return more;
}

bool clones(Registry& registry, const Page& page, bool json, const LineSink& out) {
  Table table({"MACHINES", "SHARED"});
  const bool more = registry.clones(page.after, page.limit, [&](const CloneGroup& group) {
    // What every machine of the group reports alike, from their latest reports.
    std::optional<std::array<std::string, kKeyCount>> shared;
    std::array<bool, kKeyCount> same{};
    same.fill(true);
    for (const StoredReport& latest : group.latest) {
      const reader::FileReport report = reader::report_of({}, latest.bytes);
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
      begin_line(line).key("machines").begin_array();
      for (const Id id : group.machines) line.number(static_cast<std::int64_t>(id));
      line.end_array().key("shared").begin_object();
      for (const Key key : keys) {
        const auto k = static_cast<std::size_t>(key);
        if (shared && same[k]) line.key(kKeyNames[k]).latin1((*shared)[k]);
      }
      line.end_object().end_object();
      out(line.str());
    } else {
      std::string ids;
      for (const Id id : group.machines) ids += (ids.empty() ? "" : ",") + std::to_string(id);
      std::string text;
      for (const Key key : keys) {
        const auto k = static_cast<std::size_t>(key);
        if (!shared || !same[k]) continue;
        text += (text.empty() ? "" : "; ") + std::string(kKeyNames[k]) + " " + (*shared)[k];
      }
      table.row({ids, text.empty() ? "-" : text});
    }
  });
  if (!json) table.print(out);
  return more;
}

bool rejected_messages(Registry& registry, const Page& page, bool json, const LineSink& out) {
  Table table({"RECORD", "RECEIVED", "FILE", "MAIL"});
  const bool more =
      registry.rejected_messages(page.after, page.limit, [&](const StoredReport& stored) {
        if (json) {
          JsonLine line;
          begin_line(line);
          line.key("record").number(static_cast<std::int64_t>(stored.id));
          line.key("file").text(stored.file).key("received").latin1(utc(stored.received));
          line.key("note").text(stored.note).key("status").latin1("no-report");
          mail_json(line, stored.mail);
          line.key("size").number(static_cast<std::uint64_t>(stored.bytes.size()));
          line.key("digest").latin1(hex(stored.digest)).end_object();
          out(line.str());
        } else {
          table.row({std::to_string(stored.id), utc(stored.received), terminal_safe(stored.file),
                     stored.mail ? mail_text(*stored.mail) : "-"},
                    false);
        }
      });
  if (!json) table.print(out);
  return more;
}

bool rejected(Registry& registry, const Page& page, bool json, const LineSink& out) {
  Table table({"RECORD", "RECEIVED", "FILE", "REASON"});
  const bool more = registry.rejected(page.after, page.limit, [&](const StoredReport& stored) {
    if (json) {
      JsonLine line;
      begin_line(line);
      line.key("record").number(static_cast<std::int64_t>(stored.id));
      line.key("file").text(stored.file).key("received").latin1(utc(stored.received));
      line.key("note").text(stored.note).key("reason").latin1(stored.reason);
      line.key("size").number(static_cast<std::uint64_t>(stored.bytes.size()));
      line.key("digest").latin1(hex(stored.digest)).end_object();
      out(line.str());
    } else {
      table.row({std::to_string(stored.id), utc(stored.received), stored.file, stored.reason});
    }
  });
  if (!json) table.print(out);
  return more;
}

std::string correction_json(const Correction& c) {
  JsonLine line;
  begin_line(line);
  line.key("decision").number(static_cast<std::int64_t>(c.id));
  line.key("who").text(c.who).key("when").latin1(utc(c.when));
  line.key("action").latin1(name_of(c.action)).key("machine");
  optional_id(line, c.machine);
  line.key("others").begin_array();
  for (const Id id : c.others) line.number(static_cast<std::int64_t>(id));
  line.end_array().key("records").begin_array();
  for (const Id id : c.records) line.number(static_cast<std::int64_t>(id));
  line.end_array();
  line.key("set").begin_object();
  for (const auto& [name, value] : c.set) line.key(terminal_safe(name)).text(value);
  line.end_object().key("remove").begin_array();
  for (const std::string& name : c.remove) line.text(name);
  line.end_array().key("undoes");
  optional_id(line, c.undoes);
  line.key("reason").text(c.reason).end_object();
  return line.str();
}

std::string correction_text(const Correction& c) {
  std::string text = "decision " + std::to_string(c.id) + ": " + correction_what(c);
  return terminal_safe(text);
}

bool decisions(Registry& registry, const Page& page, bool json, const LineSink& out) {
  Table table({"DECISION", "WHEN", "WHO", "ACTION", "WHAT", "REASON"});
  const bool more = registry.corrections(page.after, page.limit, [&](const Correction& c) {
    if (json) {
      out(correction_json(c));
      return;
    }
    std::string what = correction_what(c);
    if (c.undone_by) what += " [undone by decision " + std::to_string(*c.undone_by) + "]";
    table.row({std::to_string(c.id), utc(c.when), c.who, name_of(c.action), what, c.reason});
  });
  if (!json) table.print(out);
  return more;
}

void labels(Registry& registry, const std::optional<std::string>& name, bool json,
            const LineSink& out) {
  Table table({"LABEL", "VALUE", "MACHINES"});
  for (const Store::LabelCount& count : registry.labels(name)) {
    if (json) {
      JsonLine line;
      begin_line(line);
      line.key("key").text(count.name).key("value").text(count.value);
      line.key("machines").number(static_cast<std::int64_t>(count.machines)).end_object();
      out(line.str());
    } else {
      table.row({count.name, count.value, std::to_string(count.machines)});
    }
  }
  if (!json) table.print(out);
}

}  // namespace zavro::registry
