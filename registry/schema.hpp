// The registry's tables, one definition. Text that may hold any byte (file
// names, notes, reports) is stored as a blob.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "registry/digest.hpp"

namespace zavro::registry {

// Bump with a migration step in the engine when a table changes.
inline constexpr int kSchemaVersion = 1;

inline constexpr std::array<const char*, 8> kSchema = {
    // One row per report received, rejected ones included; ids grow in
    // receipt order and a machine is named by the id of its first report.
    // tag: the digest's first eight bytes, what the index holds (a quarter
    // of the digest's size); the whole digest is compared in the row.
    // prev: the machine's report before this one. A chain instead of an index
    // on machine: one random index write less for every report received.
    "CREATE TABLE report (id INTEGER PRIMARY KEY, tag INTEGER NOT NULL, digest BLOB NOT NULL,"
    " file BLOB NOT NULL, received INTEGER NOT NULL, note BLOB NOT NULL, bytes BLOB NOT NULL,"
    " reason BLOB, machine INTEGER, prev INTEGER, match TEXT, rules INTEGER NOT NULL,"
    " evidence TEXT NOT NULL)",
    "CREATE INDEX report_tag ON report (tag)",
    // identity: what the latest report says, encoded (registry/identity.hpp).
    "CREATE TABLE machine (id INTEGER PRIMARY KEY, latest INTEGER NOT NULL,"
    " identity BLOB NOT NULL)",
    // Strong keys (serials, addresses), as 64-bit hashes, to the machines
    // that showed them. A collision only adds a candidate the rules then
    // weigh on the values themselves.
    "CREATE TABLE component (key INTEGER NOT NULL, machine INTEGER NOT NULL,"
    " PRIMARY KEY (key, machine)) WITHOUT ROWID",
    // Machines a value was the only strong agreement of, set apart all the same.
    "CREATE TABLE witness (kind INTEGER NOT NULL, value BLOB NOT NULL, machine INTEGER NOT NULL,"
    " PRIMARY KEY (kind, value, machine)) WITHOUT ROWID",
    "CREATE TABLE learned (kind INTEGER NOT NULL, value BLOB NOT NULL, PRIMARY KEY (kind, value))"
    " WITHOUT ROWID",
    "CREATE TABLE clone (machine INTEGER NOT NULL, other INTEGER NOT NULL,"
    " PRIMARY KEY (machine, other)) WITHOUT ROWID",
    "CREATE INDEX clone_other ON clone (other)",
};

// report.tag: the digest's first eight bytes, what the index holds.
inline std::int64_t tag_of(const Digest& digest) {
  std::uint64_t tag = 0;
  for (std::size_t i = 0; i < 8; ++i) tag = tag << 8 | digest[i];
  return static_cast<std::int64_t>(tag);
}

// The same tables on PostgreSQL: the differences between the engines' SQL
// are these three words.
inline std::string postgres_sql(std::string_view sqlite) {
  std::string sql;
  for (std::size_t at = 0; at < sqlite.size();) {
    const auto starts = [&](std::string_view word) {
      return sqlite.substr(at, word.size()) == word;
    };
    if (starts("INTEGER")) {
      sql += "BIGINT";
      at += 7;
    } else if (starts("BLOB")) {
      sql += "BYTEA";
      at += 4;
    } else if (starts(" WITHOUT ROWID")) {
      at += 14;
    } else {
      sql += sqlite[at++];
    }
  }
  return sql;
}

}  // namespace zavro::registry
