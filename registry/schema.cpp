#include "registry/schema.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "registry/store.hpp"
#include "registry/tier.hpp"
#include "registry/types.hpp"

namespace zavro::registry {
namespace {

// Statement ids 9000 and up: the store's own are below.
// 'ZAVR': tells a registry from any other database.
constexpr std::int64_t kApplication = 0x5A415652;

// Not a statement to prepare: a server prepares no schema change.
constexpr std::string_view kMetaTable =
    "CREATE TABLE IF NOT EXISTS registry_meta (name TEXT PRIMARY KEY, value {int} NOT NULL)";
const sql::Statement kMetaRows{
    9002,
    "INSERT INTO registry_meta (name, value) VALUES ('application', $1), ('schema', 0),"
    " ('changes', 0) ON CONFLICT DO NOTHING"};
const sql::Statement kMetaRead{9003, "SELECT name, value FROM registry_meta"};
const sql::Statement kMetaSchema{9004, "UPDATE registry_meta SET value = $1 WHERE name = 'schema'"};
const sql::Statement kChanges{9005, "SELECT value FROM registry_meta WHERE name = 'changes'"};
const sql::Statement kCountChange{
    9006, "UPDATE registry_meta SET value = value + 1 WHERE name = 'changes'"};

std::string newer(const sql::Database& db, std::int64_t version) {
  return "registry " + db.location() + ": made by a newer zavro-record (schema " +
         std::to_string(version) + ", this one knows " + std::to_string(kDatabaseVersion) + ")";
}

// The database's schema version: 0 for an empty one that may be made.
int current(sql::Database& db, bool create) {
  const std::string other =
      "registry " + db.location() + ": not a registry (a database of something else)";
  // Looked up by name first: listing the tables costs a new PostgreSQL
  // connection far more. A lookup by name can miss a table another process
  // made since (PostgreSQL's catalogue cache), or find one whose rows this
  // read's snapshot does not see yet: the listing then decides, as it does
  // for any database without the table.
  std::optional<std::vector<std::string>> tables;
  bool meta = db.has_table("registry_meta");
  if (!meta) {
    tables = db.tables();
    meta = std::find(tables->begin(), tables->end(), "registry_meta") != tables->end();
  }
  std::int64_t application = 0;
  std::int64_t schema = -1;
  if (meta) {
    meta = false;
    sql::Rows rows = db.query(kMetaRead);
    while (rows.next()) {
      meta = true;
      if (rows.view(0) == "application") application = rows.integer(1);
      if (rows.view(0) == "schema") schema = rows.integer(1);
    }
  }
  if (meta) {
    if (application != kApplication || schema < 0) throw Error(other);
    // Where the engine keeps a copy for earlier releases, a copy ahead of the
    // table was written by a newer one.
    if (const auto legacy = db.legacy_version(); legacy && *legacy > schema) schema = *legacy;
    if (schema > kDatabaseVersion) throw Error(newer(db, schema));
    return static_cast<int>(schema);
  }
  if (const auto legacy = db.legacy_version(); legacy && *legacy > 0) {
    if (*legacy > kDatabaseVersion) throw Error(newer(db, *legacy));
    return *legacy;
  }
  if (!tables) tables = db.tables();
  if (!tables->empty()) throw Error(other);
  if (!create) throw Error("no registry at " + db.location());
  return 0;
}

}  // namespace

// Every step, in order. A step's statements are written once: the engines'
// differences are the tokens sql::expand knows.
const std::vector<Migration>& migrations() {
  static const std::vector<Migration> kMigrations = {
      {1,
       {
           // One row per report received, rejected ones included; ids grow in
           // receipt order and a machine is named by the id of its first report.
           // tag: the digest's first eight bytes, what the index holds (a quarter
           // of the digest's size); the whole digest is compared in the row.
           // prev: the machine's report before this one. evidence: packed
           // (registry/evidence_pack.hpp); text written before reads the same.
           // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement, several lines
           "CREATE TABLE report (id {int} PRIMARY KEY, tag {int} NOT NULL, digest {bytes} NOT NULL,"
           " file {bytes} NOT NULL, received {int} NOT NULL, note {bytes} NOT NULL,"
           " bytes {bytes} NOT NULL, reason {bytes}, machine {int}, prev {int}, match TEXT,"
           " rules {int} NOT NULL, evidence TEXT NOT NULL)",
           "CREATE INDEX report_tag ON report (tag)",
           // identity: what the latest report says, encoded (registry/identity.hpp).
           "CREATE TABLE machine (id {int} PRIMARY KEY, latest {int} NOT NULL,"
           " identity {bytes} NOT NULL)",
           // Strong keys (serials, addresses), as 64-bit hashes, to the machines
           // that showed them. A collision only adds a candidate the rules then
           // weigh on the values themselves.
           "CREATE TABLE component (key {int} NOT NULL, machine {int} NOT NULL,"
           " PRIMARY KEY (key, machine)) {without_rowid}",
           // Machines a value was the only strong agreement of, set apart all the same.
           "CREATE TABLE witness (kind {int} NOT NULL, value {bytes} NOT NULL,"
           " machine {int} NOT NULL, PRIMARY KEY (kind, value, machine)) {without_rowid}",
           "CREATE TABLE learned (kind {int} NOT NULL, value {bytes} NOT NULL,"
           " PRIMARY KEY (kind, value)) {without_rowid}",
           "CREATE TABLE clone (machine {int} NOT NULL, other {int} NOT NULL,"
           " PRIMARY KEY (machine, other)) {without_rowid}",
           "CREATE INDEX clone_other ON clone (other)",
       },
       nullptr},
      {2,
       {
           // What the listings show of each machine, kept with it by every
           // batch that gives it a report (registry/summary.hpp).
           "ALTER TABLE machine ADD COLUMN reports {int} NOT NULL DEFAULT 0",
           "ALTER TABLE machine ADD COLUMN first_received {int} NOT NULL DEFAULT 0",
           "ALTER TABLE machine ADD COLUMN last_received {int} NOT NULL DEFAULT 0",
           "ALTER TABLE machine ADD COLUMN changed {int} NOT NULL DEFAULT 0",
           "ALTER TABLE machine ADD COLUMN clone_group {int}",
           "ALTER TABLE machine ADD COLUMN names {bytes}",
           "ALTER TABLE machine ADD COLUMN records {bytes}",
           "ALTER TABLE machine ADD COLUMN seen {bytes}",
           // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement, several lines
           "CREATE INDEX machine_clone_group ON machine (clone_group)"
           " WHERE clone_group IS NOT NULL",
           "CREATE INDEX report_rejected ON report (id) WHERE machine IS NULL",
           // Every value a machine reported, folded for search, packed in
           // chunks that one pass reads (registry/search.hpp).
           "CREATE TABLE search (id {int} PRIMARY KEY, entries {bytes} NOT NULL)",
           // Placeholders, listed and learned, and the machines that reported each.
           "CREATE TABLE sighting (kind {int} NOT NULL, value {bytes} NOT NULL,"
           " machine {int} NOT NULL, PRIMARY KEY (kind, value, machine)) {without_rowid}",
       },
       summarize},
      {3,
       {
           // The message each report came in, when it came by mail. no_report:
           // the report stands for a message that held none (its first bytes,
           // kept so that it is known when it comes again).
           "CREATE TABLE mail (report {int} PRIMARY KEY, sender {bytes} NOT NULL,"
           " message_id {bytes} NOT NULL, sent {int}, subject {bytes} NOT NULL,"
           " no_report {int} NOT NULL)",
           "CREATE INDEX mail_no_report ON mail (report) WHERE no_report = 1",
           // Where collect left each folder (registry/collect.hpp), written in
           // the transaction that stores the reports it covers.
           "CREATE TABLE collect_mark (folder {bytes} PRIMARY KEY, uidvalidity {int} NOT NULL,"
           " last_uid {int} NOT NULL, settled_uid {int} NOT NULL)",
       },
       nullptr},
      {4,
       {
           // What people decided against the registry's own ties: merges,
           // splits, voided reports, labels, and undoing any of them. A
           // decision is applied again by rebuild after the report that was
           // the latest when it was made (position). machine and formed are
           // the machines it made or kept; undone_by: the undo that reverses it.
           // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement, several lines
           "CREATE TABLE decision (id {int} PRIMARY KEY, who {bytes} NOT NULL, made {int} NOT NULL,"
           " action TEXT NOT NULL, machine {int}, others TEXT NOT NULL, records TEXT NOT NULL,"
           " labels {bytes} NOT NULL, removes {bytes} NOT NULL, undoes {int},"
           " reason {bytes} NOT NULL, position {int} NOT NULL, formed {int}, undone_by {int})",
           // Free labels of machines (customer, licence, asset tag).
           "CREATE TABLE label (machine {int} NOT NULL, name {bytes} NOT NULL,"
           " value {bytes} NOT NULL, PRIMARY KEY (machine, name)) {without_rowid}",
           "CREATE INDEX label_value ON label (name, value, machine)",
           // Reports set aside by a void decision: each ties and teaches nothing.
           "CREATE TABLE voided (report {int} PRIMARY KEY, decision {int} NOT NULL)",
           // People who sign in (hash: Argon2id, encoded with its salt and
           // costs) and robots' tokens (digest: SHA-256 of the token, which is
           // never kept). role and scope by name; times in Unix seconds.
           "CREATE TABLE account (name TEXT PRIMARY KEY, role TEXT NOT NULL, hash TEXT NOT NULL,"
           " created {int} NOT NULL)",
           // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement, several lines
           "CREATE TABLE token (name TEXT PRIMARY KEY, digest {bytes} NOT NULL UNIQUE,"
           " scope TEXT NOT NULL, created {int} NOT NULL, expires {int}, last_used {int})",
           // Who changed or read what, and when (registry/audit.hpp): only ever
           // appended. machines and records: the first ids (records as ranges),
           // the counts all of them.
           // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement, several lines
           "CREATE TABLE audit (id {int} PRIMARY KEY, who {bytes} NOT NULL, made {int} NOT NULL,"
           " action TEXT NOT NULL, route {bytes}, detail {bytes} NOT NULL, machines TEXT NOT NULL,"
           " machine_count {int} NOT NULL, records TEXT NOT NULL, record_count {int} NOT NULL,"
           " decision {int})",
           // Every machine a row names, so that a search by machine reads its own rows only.
           "CREATE TABLE audit_machine (machine {int} NOT NULL, audit {int} NOT NULL,"
           " PRIMARY KEY (machine, audit)) {without_rowid}",
       },
       nullptr},
      // Search chunks in their compact form (registry/search.hpp): runs of a
      // machine's entries by their bytes, instead of fixed-width runs and
      // every entry's end (a quarter less to read for each search).
      // PostgreSQL keeps them uncompressed: a search read them back through
      // its decompression at half the speed. Step 7 writes them again.
      {5,
       {"{postgres_only} ALTER TABLE search ALTER COLUMN entries SET STORAGE EXTERNAL"},
       nullptr},
      // How many machines reported each placeholder, kept beside the
      // sightings by triggers, so that a listing reads a row a value instead
      // of counting every sighting, and every writer (adds, corrections,
      // rebuild, copy) keeps it without knowing. A server's triggers count
      // each statement's rows at once.
      {6,
       {
           // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement, several lines
           "CREATE TABLE placeholder (kind {int} NOT NULL, value {bytes} NOT NULL,"
           " machines {int} NOT NULL, PRIMARY KEY (kind, value)) {without_rowid}",
           "INSERT INTO placeholder (kind, value, machines)"
           " SELECT kind, value, count(*) FROM sighting GROUP BY kind, value",
           "{sqlite_only} CREATE TRIGGER sighting_added AFTER INSERT ON sighting BEGIN"
           " INSERT INTO placeholder (kind, value, machines) VALUES (new.kind, new.value, 1)"
           " ON CONFLICT (kind, value) DO UPDATE SET machines = machines + 1; END",
           "{sqlite_only} CREATE TRIGGER sighting_dropped AFTER DELETE ON sighting BEGIN"
           " UPDATE placeholder SET machines = machines - 1"
           " WHERE kind = old.kind AND value = old.value;"
           " DELETE FROM placeholder WHERE kind = old.kind AND value = old.value"
           " AND machines <= 0; END",
           "{postgres_only} CREATE FUNCTION sighting_added() RETURNS trigger LANGUAGE plpgsql"
           " AS $$ BEGIN"
           " INSERT INTO placeholder (kind, value, machines)"
           " SELECT kind, value, count(*) FROM added GROUP BY kind, value"
           " ON CONFLICT (kind, value) DO UPDATE"
           " SET machines = placeholder.machines + excluded.machines;"
           " RETURN NULL; END $$",
           "{postgres_only} CREATE FUNCTION sighting_dropped() RETURNS trigger LANGUAGE plpgsql"
           " AS $$ BEGIN"
           " UPDATE placeholder p SET machines = p.machines - d.n"
           " FROM (SELECT kind, value, count(*) AS n FROM dropped GROUP BY kind, value) d"
           " WHERE p.kind = d.kind AND p.value = d.value;"
           " DELETE FROM placeholder WHERE machines <= 0;"
           " RETURN NULL; END $$",
           "{postgres_only} CREATE TRIGGER sighting_added AFTER INSERT ON sighting"
           " REFERENCING NEW TABLE AS added FOR EACH STATEMENT EXECUTE FUNCTION sighting_added()",
           "{postgres_only} CREATE TRIGGER sighting_dropped AFTER DELETE ON sighting"
           " REFERENCING OLD TABLE AS dropped FOR EACH STATEMENT"
           " EXECUTE FUNCTION sighting_dropped()",
       },
       nullptr},
      // Each chunk's lowest and highest machine and where its addresses
      // begin (search::Span), beside it: a search for a first page takes
      // chunks in machine order and stops once it has enough, and a server
      // looks for each form in its own area. The index answers the order
      // without reading a chunk. Every chunk is written again with them, in
      // today's form.
      {7,
       {
           "ALTER TABLE search ADD COLUMN low {int} NOT NULL DEFAULT 0",
           "ALTER TABLE search ADD COLUMN high {int} NOT NULL DEFAULT 0",
           "ALTER TABLE search ADD COLUMN split {int} NOT NULL DEFAULT 0",
           "CREATE INDEX search_span ON search (low, high, split)",
       },
       [](Store& store) { store.repack_search(); }},
  };
  return kMigrations;
}

void migrate(sql::Database& db, Store& store, bool create, int target) {
  db.begin_read();
  int version = 0;
  try {
    version = current(db, create);
  } catch (...) {
    db.end_read();
    throw;
  }
  db.end_read();
  db.accept();
  if (version >= target) return;
  // Under the writers' lock: another process may be making or migrating it.
  db.begin_write();
  try {
    version = current(db, create);
    if (version >= target) {
      db.rollback();
      return;
    }
    if (version == 0) db.mark_ours();
    db.exec(kMetaTable);
    db.run(kMetaRows, sql::Params().integer(kApplication));
    for (const Migration& m : migrations()) {
      if (m.version <= version || m.version > target) continue;
      for (const std::string_view step : m.sql) db.exec(step);
      if (m.code != nullptr) m.code(store);
    }
    store.flush();
    db.run(kMetaSchema, sql::Params().integer(target));
    db.mark_version(target);
    db.commit();
  } catch (...) {
    store.forget();
    db.rollback();
    throw;
  }
}

std::int64_t read_changes(sql::Database& db) {
  sql::Rows rows = db.query(kChanges);
  return rows.next() ? rows.integer(0) : 0;
}

void count_change(sql::Database& db) { db.run(kCountChange); }

}  // namespace zavro::registry
