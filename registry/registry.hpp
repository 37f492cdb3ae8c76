// The registry: every report received, stored once and tied to the machine
// that sent it. Storage sits behind registry/store.hpp; the rules that tie a
// report live in registry/tie.hpp and reader/rules.hpp.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "registry/audit.hpp"
#include "registry/input.hpp"
#include "registry/store.hpp"
#include "registry/types.hpp"

namespace zavro::registry {

using OutcomeSink = std::function<void(const Outcome& outcome)>;

// What a listing of machines asks for: those with a value holding text (all
// when empty), in id order, after a machine, at most limit of them.
struct MachineQuery {
  std::string text;
  Id after = 0;
  std::optional<std::size_t> limit;
  // Only machines labelled so, when label_name is set.
  std::optional<std::string> label_name;
  std::string label_value;
};

// A machine as listings show it: its summary and its latest report.
struct MachineListing {
  MachineRow row;     // without its identity and seen values
  ReportText latest;  // held by the listing's page while it is shown
  std::vector<std::pair<std::string, std::string>> labels;
};

// One machine whole: every report (with bytes and mail) and its clone twins.
struct MachineView {
  MachineRow row;
  std::vector<StoredReport> reports;
  std::vector<Id> twins;
  std::vector<std::pair<std::string, std::string>> labels;
};

// A page of a machine's history, and the report before it (what the first
// one changed is told against it).
struct HistoryPage {
  std::vector<StoredReport> reports;  // with bytes and mail
  std::optional<StoredReport> before;
  bool more = false;
};

struct CloneGroup {
  std::vector<Id> machines;
  std::vector<StoredReport> latest;  // each machine's latest report, with bytes
};

class Registry {
 public:
  // Opens the registry at location; create makes it (directory 0700, file
  // 0600) when it is missing, otherwise a missing registry is an Error.
  static std::unique_ptr<Registry> open(const std::string& location, bool create);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const std::string& location() const;
  // For tables outside the reports' batches (registry/accounts.hpp).
  Store& store() { return *store_; }

  // Who the adds and rebuilds from here on are by, for the audit log, and
  // how they came (a command's name, a route).
  void set_actor(std::string who, std::string how) {
    who_ = std::move(who);
    how_ = std::move(how);
  }

  // Reports pushed in input order and told, in that order, what became of
  // each. An adder stores them in batches, each batch one transaction, and
  // tells each outcome once its batch is committed; a finder ties each as
  // an adder would and stores nothing.
  class Adder {
   public:
    virtual ~Adder() = default;
    virtual void push(Item item) = 0;
    virtual void finish() = 0;
    // finish, with where collect left folder written in the transaction that
    // commits the last reports (alone when there are none).
    virtual void finish_marked(const std::string& folder, const CollectMark& mark) = 0;
  };
  // Without evidence, outcomes carry "{}" and their mail only for a message
  // without a report, and a batch holds less in memory.
  // whole: every report in one transaction, however many (collect commits a
  // batch of messages with its mark, so that none is stored twice).
  std::unique_ptr<Adder> adder(std::string note, OutcomeSink each, bool evidence = true,
                               bool whole = false);
  std::unique_ptr<Adder> finder(OutcomeSink each);
  // One report, found.
  Outcome find(Item item);

  // Every stored report tied again, in receipt order, with the placeholders
  // learned from all of them; each report that moved reaches the sink.
  // tick, when given, is called for each report tied (twice per report: the
  // first pass learns placeholders).
  void rebuild(const std::function<void(const Move& move)>& each,
               const std::function<void()>& tick = {});

  // Every report and its machine, in receipt order.
  std::vector<Assignment> assignments();

  // Every report, tie, machine and placeholder of from, in receipt order, into
  // this registry, which must be empty; one transaction on each side. tick,
  // when given, is called for each report.
  void copy_from(Registry& from, const std::function<void()>& tick = {});

  // --- what the views show, each read in one snapshot

  // Each machine the query finds; true when more remain past the limit.
  bool machines(const MachineQuery& query, const std::function<void(const MachineListing&)>& each);
  std::optional<MachineView> machine(Id id);
  // Where a report is: its machine, none when rejected; nothing when there
  // is no such report.
  std::optional<Assignment> assignment_of(Id record);
  std::optional<HistoryPage> history(Id machine, Id after, std::optional<std::size_t> limit);
  bool clones(Id after, std::optional<std::size_t> limit,
              const std::function<void(const CloneGroup&)>& each);
  // Listed ones first, then learned ones, each in key order; after: how many to pass over.
  bool placeholders(std::size_t after, std::optional<std::size_t> limit,
                    const std::function<void(const Store::Placeholder&)>& each);
  // Rejected reports, messages without a report left out.
  bool rejected(Id after, std::optional<std::size_t> limit,
                const std::function<void(const StoredReport&)>& each);
  // Messages that held no report, with their mail.
  bool rejected_messages(Id after, std::optional<std::size_t> limit,
                         const std::function<void(const StoredReport&)>& each);

  // --- people's decisions (registry/corrections.cpp): each checked, stored
  // and applied in one transaction; a Refused names what is wrong with it.
  struct Act {
    std::string who;
    std::string reason;
  };
  // The others' reports join machine; the lowest id of all names the result.
  Correction merge(const Act& act, Id machine, const std::vector<Id>& others);
  // The records leave machine and form a machine of their own.
  Correction split(const Act& act, Id machine, const std::vector<Id>& records);
  // The report stays stored, set aside: it ties and counts nowhere.
  Correction void_record(const Act& act, Id record);
  Correction label(const Act& act, Id machine,
                   const std::vector<std::pair<std::string, std::string>>& set,
                   const std::vector<std::string>& remove);
  // Reverses a decision: the machines become what they would be without it.
  Correction undo(const Act& act, Id decision);
  bool corrections(Id after, std::optional<std::size_t> limit,
                   const std::function<void(const Correction&)>& each);
  // The decisions that made, kept or changed a machine, in order.
  std::vector<Correction> corrections_of(Id machine);
  std::vector<Store::LabelCount> labels(const std::optional<std::string>& name);
  // The void decision a report is set aside by, if any.
  std::optional<Id> voided_by(Id record);

  // --- the audit log (registry/audit.hpp)
  // Rows in id order after query.after, read in one snapshot.
  std::vector<AuditEntry> audit(const AuditQuery& query);
  // Appends entries (reads) in a transaction of their own.
  void log(std::vector<AuditEntry>& entries);

  // Where collect left a folder, and a new mark in a transaction of its own.
  std::optional<CollectMark> collect_mark(const std::string& folder);
  void set_collect_mark(const std::string& folder, const CollectMark& mark);

 private:
  explicit Registry(std::unique_ptr<Store> store);
  friend class Intake;
  std::unique_ptr<Store> store_;
  // What find keeps from one report to the next while the registry is unchanged.
  struct FindState;
  std::unique_ptr<FindState> find_state_;
  std::string who_;
  std::string how_;
};

}  // namespace zavro::registry
