// The registry's own vocabulary, below everything else in registry/: ids,
// what became of a report, and the rows the store keeps.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/digest.hpp"

namespace zavro::registry {

// A report's id, in receipt order; a machine is named by its first report's.
using Id = std::int64_t;

// Rows a listing reads at a time: memory stays flat however large the registry.
inline constexpr int kPage = 4096;

// A registry that cannot be opened, read or written; the message names the
// cause and where. The command exits 2 and the registry is as it was before
// the batch.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request the registry turns down as it stands (no such machine, a
// record on another one): the command exits 1 and nothing is changed.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message a report came in, when it came by mail: the message read from
// the mailbox, also for what messages attached to it hold.
struct MailOrigin {
  std::string sender;                // the first From address ("a@b"), else Sender's
  std::string message_id;            // without its angle brackets
  std::optional<std::int64_t> date;  // Date, in seconds since the epoch
  std::string subject;               // decoded, UTF-8
};

// Where collect left a mail folder: its UIDVALIDITY then, the last UID whose
// reports are committed, and the last UID moved where it belongs (or left,
// when there is nowhere to move it). Between the two, messages were stored
// but perhaps not moved: the next run moves them without storing them again.
struct CollectMark {
  std::uint32_t uidvalidity = 0;
  std::uint32_t last_uid = 0;
  std::uint32_t settled_uid = 0;
};

enum class Status { kStored, kDuplicate, kRejected };
const char* name_of(Status status);

// What became of one report.
struct Outcome {
  std::string file;
  Status status = Status::kRejected;
  Id record = 0;                // the stored report (for a duplicate, the earlier one)
  std::optional<Id> machine;    // unset when rejected
  std::string name;             // the machine's latest name
  std::string match;            // "new", "same", "changed" or "clone"; empty when rejected
  std::string changed;          // changed: what changed, as history writes it
  std::string evidence = "{}";  // the decision's evidence, one JSON object
  std::string reason;           // rejected (or a duplicate of a rejected report): why
  Digest digest{};
  // The message it came in (this one's, for a duplicate too), and whether
  // it stands for a message that held no report.
  std::optional<MailOrigin> mail;
  bool no_report = false;
};

// One report's place after rebuild, when it differs from before.
struct Move {
  Id record = 0;
  std::optional<Id> from;
  std::optional<Id> to;
};

struct Assignment {
  Id record = 0;
  std::optional<Id> machine;  // unset for a rejected report
};

// What a person decided against the registry's own ties.
enum class Action { kMerge, kSplit, kVoid, kLabel, kUndo };
const char* name_of(Action action);
std::optional<Action> action_named(std::string_view name);

// One decision, as stored: who made it, when, what, and why.
struct Correction {
  Id id = 0;
  std::string who;
  std::int64_t when = 0;  // Unix seconds
  Action action = Action::kLabel;
  std::optional<Id> machine;  // merge: the one kept; split, void, label: the one acted on
  std::vector<Id> others;     // merge: the machines that joined it
  std::vector<Id> records;    // split: the reports that left; void: the report
  std::vector<std::pair<std::string, std::string>> set;  // label: names and values set
  std::vector<std::string> remove;                       // label: names removed
  std::optional<Id> undoes;                              // undo: the decision reversed
  std::string reason;
  Id position = 0;              // the latest report when it was made
  std::optional<Id> formed;     // split: the machine made
  std::optional<Id> undone_by;  // the undo that reversed it, while that one stands
};

// A report as stored; bytes exactly as received.
struct StoredReport {
  Id id = 0;
  Digest digest{};
  std::string file;
  std::int64_t received = 0;  // Unix seconds
  std::string note;
  std::string bytes;
  std::string reason;         // rejected: why; empty when tied
  std::optional<Id> machine;  // unset when rejected
  std::optional<Id> prev;     // the machine's report before this one
  std::string match;          // "new", "same", "changed", "clone"
  int rules = 0;              // rules version of the decision
  std::string evidence;       // JSON object
  // Set where it was read with its mail (Store::attach_mail): the message it
  // came in, and whether it stands for a message without a report.
  std::optional<MailOrigin> mail;
  bool no_report = false;
};

// A stored report's name and bytes alone, seen in a block its reader keeps.
struct ReportText {
  Id id = 0;
  std::string_view file;
  std::string_view bytes;
};

// Reports' names and bytes read at once: one block, and the reports in id
// order seen in it (a block moved keeps its place).
struct ReportTexts {
  std::vector<char> block;
  std::vector<ReportText> reports;
};

// A machine: what its ties weigh (its latest report's identity) and what its
// listings show, kept up to date by every batch that gives it a report.
struct MachineRow {
  Id id = 0;             // the id of its first report
  Id latest = 0;         // its latest report
  std::string identity;  // that report's identity, encoded (registry/identity.hpp)
  std::int64_t reports = 0;
  std::int64_t first_received = 0;
  std::int64_t last_received = 0;
  // An address, serial or name changed from one report to the next.
  bool changed = false;
  // The smallest machine of the copies it belongs to; unset when it has none.
  std::optional<Id> clone_group;
  std::string names;    // every name reported, first seen first (registry/summary.hpp)
  std::string records;  // its reports' ids
  std::string seen;     // what it is found by: hashes of every value it reported
};

// A report already stored with the same bytes.
struct Known {
  Id record = 0;
  std::optional<Id> machine;  // unset: it was rejected
  std::string reason;         // rejected: why
};

}  // namespace zavro::registry
