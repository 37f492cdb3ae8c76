// Where the registry keeps its reports and machines. The matching never
// speaks SQL: it asks this interface, and each engine answers it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/digest.hpp"
#include "registry/identity.hpp"
#include "registry/registry.hpp"

namespace zavro::registry {

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
};

struct MachineRow {
  Id id = 0;             // the id of its first report
  Id latest = 0;         // its latest report
  std::string identity;  // that report's identity, encoded
};

class Store {
 public:
  virtual ~Store() = default;

  // A write batch: one transaction that no other writer interleaves with,
  // so that ties made inside it see every report committed before.
  virtual void begin_write() = 0;
  virtual void commit() = 0;
  virtual void rollback() noexcept = 0;
  // Changes whenever this or another process commits: what was read before
  // may be stale.
  virtual std::uint64_t version() = 0;
  // A consistent snapshot for reading.
  virtual void begin_read() = 0;
  virtual void end_read() noexcept = 0;

  // The reports about to be tied in this write batch: an engine a round trip
  // away reads what they need at once.
  virtual void prefetch(const std::vector<Digest>& digests,
                        const std::vector<std::int64_t>& hashes) {
    (void)digests;
    (void)hashes;
  }
  // Reports per write batch: another writer waits this long for its turn.
  virtual std::size_t batch_reports() const = 0;
  // Reports read and parsed ahead of their ties, on another thread than the
  // one that ties them: what one prefetch covers. 1: each tied as it comes.
  virtual std::size_t read_ahead() const { return 1; }

  // The stored report with these bytes: its id and machine.
  virtual std::optional<std::pair<Id, std::optional<Id>>> find_digest(const Digest& digest) = 0;
  // The id the next report gets (inside a write batch): ids grow in receipt order.
  virtual Id next_id() = 0;
  virtual void insert_report(const StoredReport& report) = 0;
  // After rebuild: the report's new tie.
  virtual void retie_report(Id record, std::optional<Id> machine, std::optional<Id> prev,
                            const std::string& match, int rules, const std::string& evidence) = 0;
  // A machine's latest report: its id and bytes.
  virtual std::optional<std::pair<Id, std::string>> latest_report(Id machine) = 0;

  virtual void insert_machine(const MachineRow& machine) = 0;
  virtual void set_latest(Id machine, Id record, const std::string& identity) = 0;
  virtual std::optional<MachineRow> machine(Id id) = 0;

  // The index of strong keys (key_hash of each): which machines have shown
  // them, as (hash, machine) pairs; one round trip for all of a report's keys.
  virtual std::vector<std::pair<std::int64_t, Id>> machines_with(
      const std::vector<std::int64_t>& hashes) = 0;
  virtual void index(const std::vector<std::int64_t>& hashes, Id machine) = 0;

  // Placeholders learned: the machines a value was the only agreement of.
  virtual int witness(const ComponentKey& key, Id machine) = 0;  // returns their count
  virtual void learn(const ComponentKey& key) = 0;
  struct Learned {
    ComponentKey key;
    int machines = 0;
  };
  virtual std::vector<Learned> learned_all() = 0;

  virtual void link_clone(Id machine, Id other) = 0;
  virtual std::vector<std::pair<Id, Id>> clone_links() = 0;

  // Reports in receipt order from after the given id, a page at a time;
  // bytes only when asked.
  virtual std::vector<StoredReport> reports_after(Id after, int limit, bool with_bytes) = 0;
  // Reports of one machine in receipt order.
  virtual std::vector<StoredReport> machine_reports(Id machine) = 0;
  virtual std::vector<Id> machine_ids() = 0;

  // Everything else, a page at a time in key order, for a copy.
  virtual std::vector<MachineRow> machines_after(Id after, int limit) = 0;
  virtual std::vector<std::pair<std::int64_t, Id>> index_after(std::pair<std::int64_t, Id> after,
                                                               int limit) = 0;
  virtual std::vector<std::pair<ComponentKey, Id>> witnesses() = 0;

  // Forgets every tie, machine, index entry, witness and clone link, and (when
  // asked) the learned placeholders; reports stay.
  virtual void clear_ties(bool forget_learned) = 0;

  // Where it is, for messages.
  virtual const std::string& location() const = 0;
};

// Rolls back a read or write that did not finish.
class Transaction {
 public:
  Transaction(Store& store, bool write) : store_(store), write_(write) {
    if (write) {
      store.begin_write();
    } else {
      store.begin_read();
    }
  }
  ~Transaction() {
    if (!done_) {
      if (write_) {
        store_.rollback();
      } else {
        store_.end_read();
      }
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    if (write_) {
      store_.commit();
    } else {
      store_.end_read();
    }
    done_ = true;
  }

 private:
  Store& store_;
  bool write_;
  bool done_ = false;
};

// Opens or creates the SQLite registry at path.
std::unique_ptr<Store> open_sqlite(const std::string& path, bool create);
std::unique_ptr<Store> open_postgres(const std::string& uri, bool create);

}  // namespace zavro::registry
