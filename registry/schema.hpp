// The registry's tables and how a database reaches them: one numbered list
// of migrations, each step written once for both engines, and the version
// kept in the database itself.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "registry/digest.hpp"
#include "registry/sql.hpp"

namespace zavro::registry {

class Store;

// The database schema this program reads and writes: bump with a migration.
inline constexpr int kDatabaseVersion = 7;

struct Migration {
  int version;  // what the database is once this step is done
  std::vector<std::string_view> sql;
  // What the tables alone cannot do, run after the statements in the same
  // transaction.
  void (*code)(Store& store);
};
const std::vector<Migration>& migrations();

// Makes the database current (made from nothing when create and it holds no
// tables), in one transaction: a database is migrated whole or left as it
// was. Refuses a database of something else, or of a newer schema.
void migrate(sql::Database& db, Store& store, bool create, int target = kDatabaseVersion);

// The registry's own row of facts: its schema, and a counter of commits that
// tells a reader when what it read may be stale.
std::int64_t read_changes(sql::Database& db);
void count_change(sql::Database& db);

// report.tag: the digest's first eight bytes, what the index holds.
inline std::int64_t tag_of(const Digest& digest) {
  std::uint64_t tag = 0;
  for (std::size_t i = 0; i < 8; ++i) tag = tag << 8 | digest[i];
  return static_cast<std::int64_t>(tag);
}

}  // namespace zavro::registry
