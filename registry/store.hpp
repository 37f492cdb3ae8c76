// Where the registry keeps its reports and machines: every question the
// registry asks of its database, answered the same on both engines. The
// matching never speaks SQL: it asks this, and the statements live in
// store.cpp, one text each.
//
// A write batch holds the writers' lock, so what it reads stays true until
// it commits: the store keeps what a batch read and wrote in memory, answers
// from it, and sends the batch's rows in bulk, sorted, when memory asks or
// at commit.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "registry/digest.hpp"
#include "registry/identity.hpp"
#include "registry/search.hpp"
#include "registry/sql.hpp"
#include "registry/types.hpp"

namespace zavro::registry {

// A postgresql:// or postgres:// URI (the registry on a server, the URI
// handed to libpq as it is); anything else names a SQLite file.
bool is_postgres_uri(std::string_view location);

class Store {
 public:
  // Opens the registry at location, made (directory 0700, file 0600) when
  // create and it is missing, and brought to this program's schema.
  static std::unique_ptr<Store> open(const std::string& location, bool create);
  // A database at an earlier schema, for tests of the migrations.
  static std::unique_ptr<Store> open_at(const std::string& location, int version);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& location() const { return db_->location(); }
  // A server: a batch's reads go at once and its writes in bulk.
  bool far() const { return far_; }
  // The database itself, for tables outside the batches (registry/accounts.hpp).
  sql::Database& database() { return *db_; }

  // A write batch: one transaction that no other writer interleaves with,
  // so that ties made inside it see every report committed before.
  void begin_write();
  void commit();
  void rollback() noexcept;
  // A consistent snapshot for reading.
  void begin_read();
  void end_read() noexcept;
  // Changes whenever this or another process commits: what was read before
  // may be stale.
  std::int64_t version();

  // --- inside a write batch

  // The reports about to be tied: what they need, read at once.
  void prefetch(const std::vector<Digest>& digests, const std::vector<std::int64_t>& hashes);
  std::optional<Known> find_digest(const Digest& digest);
  // The id the next report gets: ids grow in receipt order.
  Id next_id();
  void insert_report(const StoredReport& report);
  // After rebuild: the report's new tie.
  void retie_report(Id record, std::optional<Id> machine, std::optional<Id> prev,
                    const std::string& match, int rules, const std::string& evidence);

  std::optional<MachineRow> machine(Id id);
  // The same without a copy, valid until the store is next asked anything;
  // its clone group as stored (not resolved).
  const MachineRow* peek_machine(Id id);
  // fresh: a machine made by this batch.
  void put_machine(const MachineRow& row, bool fresh);
  // Every machine of clone group from now belongs to group to.
  void regroup(Id from, Id to);

  // The index of strong keys (key_hash of each): which machines have shown
  // them, as (hash, machine) pairs.
  std::vector<std::pair<std::int64_t, Id>> machines_with(const std::vector<std::int64_t>& hashes);
  // Pairs not indexed before (the caller asks machines_with first).
  void index(const std::vector<std::int64_t>& hashes, Id machine);

  // Placeholders learned: the machines a value was the only agreement of.
  int witness(const ComponentKey& key, Id machine);  // returns their count
  // Learns key, and records every machine indexed with it as one that
  // reported it.
  void learn(const ComponentKey& key);
  std::vector<ComponentKey> learned();
  void link_clone(Id machine, Id other);

  // A value the machine reported for the first time, for search.
  void add_search(Id machine, search::Field field, std::string_view folded);
  // A machine that reported a placeholder (listed or learned).
  void sight(const ComponentKey& key, Id machine);

  // Forgets every tie, machine, index entry, witness, clone link, search
  // entry and sighting, and (when asked) the learned placeholders; reports stay.
  void clear_ties(bool forget_learned);

  // Sends every pending write; what was read stays known.
  void flush();
  // Between two parts of a batch: what was read is let go when it is much,
  // and what is pending sent, so that memory stays flat.
  void settle();
  // Drops every pending write and what was read: the transaction is over.
  void forget() noexcept;

  // --- reading (in a snapshot or a batch)

  std::vector<MachineRow> machines_after(Id after, int limit);
  // The same without what a listing never shows (identity and seen left empty).
  std::vector<MachineRow> listed_after(Id after, int limit);
  // The machines with these ids, in id order; missing ones left out.
  std::vector<MachineRow> machines(std::vector<Id> ids);
  std::vector<StoredReport> reports_after(Id after, int limit, bool with_bytes);
  // The reports with these ids, in id order; missing ones left out.
  std::vector<StoredReport> reports(std::vector<Id> ids, bool with_bytes);
  // Their names and bytes alone (what a listing shows of a latest report).
  ReportTexts report_bytes(std::vector<Id> ids);
  // Rejected reports, without those that stand for a message with no report.
  std::vector<StoredReport> rejected_after(Id after, int limit);
  // Those messages, with their mail.
  std::vector<StoredReport> no_report_after(Id after, int limit);
  // Each report's mail, where it came by mail.
  void attach_mail(std::vector<StoredReport>& reports);
  // Every machine after `after` with a value holding the query, in id order,
  // each once; only the first `enough` of them when that is not 0.
  std::vector<Id> search(const search::Query& query, Id after = 0, std::size_t enough = 0);
  // Clone groups (each named by its smallest machine) after the one given.
  std::vector<Id> clone_groups_after(Id after, int limit);
  std::vector<Id> clone_group(Id group);
  // The machines of these groups as (group, machine), in that order.
  std::vector<std::pair<Id, Id>> clone_members(std::vector<Id> groups);
  struct Placeholder {
    ComponentKey key;  // a listed one as reported; a learned one as indexed
    bool learned = false;
    std::int64_t machines = 0;
  };
  // In key order, listed and learned together.
  std::vector<Placeholder> placeholders();

  // Everything else, a page at a time in key order, for a copy.
  std::vector<std::pair<std::int64_t, Id>> index_after(std::pair<std::int64_t, Id> after,
                                                       int limit);
  std::vector<std::pair<ComponentKey, Id>> witnesses();
  std::vector<std::pair<Id, Id>> clone_links();
  std::vector<std::pair<ComponentKey, Id>> sightings();
  std::vector<std::pair<Id, std::string>> search_chunks_after(Id after, int limit);
  void insert_search_chunk(Id id, const std::string& entries);
  // Every search chunk written again in today's form, under new ids.
  void repack_search();

  // --- decisions and labels (registry/corrections.hpp)

  Id next_correction_id();
  void insert_correction(const Correction& correction);
  void set_undone(Id decision, std::optional<Id> by);
  // In id order, after one, at most limit of them; and all of them (they are few).
  std::vector<Correction> corrections_after(Id after, int limit);
  std::vector<Correction> corrections();
  // A report set aside by a void decision counts in no machine; clear_voided
  // takes every one back (rebuild sets them again).
  void set_voided(Id record, Id decision);
  std::optional<Id> voided(Id record);
  void clear_voided();
  // Forgets these machines' rows, index entries, sightings, clone links and
  // search entries, so that they can be made again from their reports.
  void drop_machines(const std::vector<Id>& ids);
  void set_label(Id machine, const std::string& name, const std::string& value);
  void remove_label(Id machine, const std::string& name);
  // Every label of from onto to, where to has none of that name.
  void move_labels(Id from, Id to);
  void clear_labels();
  // Each machine's labels, by name, for the machines given.
  std::map<Id, std::vector<std::pair<std::string, std::string>>> labels_of(std::vector<Id> ids);
  // The machines labelled name=value, in id order.
  std::vector<Id> labelled(const std::string& name, const std::string& value, Id after, int limit);
  struct LabelCount {
    std::string name;
    std::string value;
    std::int64_t machines = 0;
  };
  // By name and value; only name's when given.
  std::vector<LabelCount> label_counts(const std::optional<std::string>& name);
  // Everything, for a copy: (report, decision) and (machine, name, value).
  std::vector<std::pair<Id, Id>> voided_all();
  std::vector<std::tuple<Id, std::string, std::string>> labels_all();

  // Where collect left a folder (registry/collect.hpp); set in the open write batch.
  std::optional<CollectMark> collect_mark(const std::string& folder);
  void set_collect_mark(const std::string& folder, const CollectMark& mark);
  std::vector<std::pair<std::string, CollectMark>> collect_marks();

 private:
  explicit Store(std::unique_ptr<sql::Database> db);
  void fetch(const std::vector<Digest>& digests, const std::vector<std::int64_t>& hashes);
  void flush_rows();
  void write_search(bool all = true);
  void flush_when_large();
  void load_keys(const std::vector<std::int64_t>& hashes);
  void remember_machine(const sql::Rows& rows, int first);
  std::optional<Id> resolve(std::optional<Id> group) const;

  std::unique_ptr<sql::Database> db_;
  const bool far_;

  struct MachineEntry {
    MachineRow row;
    bool known = true;   // the database has a row (or this batch made one)
    bool dirty = false;  // to be written
    bool fresh = false;  // made by this batch: inserted, not updated
    // The clone group the database holds, when this store read or wrote it.
    bool group_known = false;
    std::optional<Id> stored_group;
    // A row as read from the database.
    static MachineEntry stored(MachineRow row) {
      MachineEntry entry;
      entry.group_known = true;
      entry.stored_group = row.clone_group;
      entry.row = std::move(row);
      return entry;
    }
  };
  struct DigestHash {
    std::size_t operator()(const Digest& d) const;
  };
  // What this batch read or wrote, by key.
  std::unordered_map<Digest, std::optional<Known>, DigestHash> digests_;
  std::unordered_map<std::int64_t, std::vector<Id>> keys_;
  std::unordered_map<Id, MachineEntry> machines_;
  std::vector<Id> dirty_;      // machines to write, each once
  std::map<Id, Id> regroups_;  // clone groups merged by this batch, applied at flush
  std::optional<Id> next_id_;

  // Writes not yet sent.
  sql::RowBuffer reports_;
  sql::RowBuffer mails_;
  sql::RowBuffer ties_;
  sql::RowBuffer components_;
  sql::RowBuffer clones_;
  sql::RowBuffer sightings_;
  search::RangedBuilder search_;
  std::vector<std::pair<Id, Id>> regroup_order_;
  // Index entries pending for keys not read: read none before they are sent.
  bool unread_keys_ = false;
  std::optional<std::int64_t> read_version_;
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
    done_ = true;
    if (write_) {
      store_.commit();
    } else {
      store_.end_read();
    }
  }

 private:
  Store& store_;
  bool write_;
  bool done_ = false;
};

}  // namespace zavro::registry
