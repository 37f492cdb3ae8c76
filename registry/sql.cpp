#include "registry/sql.hpp"

#include <array>
#include <cstring>
#include <stdexcept>

namespace zavro::registry::sql {
namespace {

// Every difference between the engines' SQL that a statement can meet.
struct Spelling {
  std::string_view token;
  std::string_view sqlite;
  std::string_view postgres;
};
constexpr std::array<Spelling, 3> kSpellings = {{
    {"{int}", "INTEGER", "BIGINT"},
    {"{bytes}", "BLOB", "BYTEA"},
    // SQLite keeps a table with a rowid and a separate index for its key
    // unless told; PostgreSQL has no such thing.
    {" {without_rowid}", " WITHOUT ROWID", ""},
}};
// {in $N}: SQLite has no arrays, so the list is bound as a JSON array.
constexpr std::string_view kIn = "{in ";
// A statement only one engine runs: storage settings SQLite has no word
// for, and triggers, which the two write in different languages.
constexpr std::string_view kPostgresOnly = "{postgres_only} ";
constexpr std::string_view kSqliteOnly = "{sqlite_only} ";

enum Cell : char { kNull = 0, kInteger = 1, kBytes = 2 };

}  // namespace

std::string expand(std::string_view text, Dialect dialect) {
  if (text.substr(0, kPostgresOnly.size()) == kPostgresOnly) {
    if (dialect == Dialect::kSqlite) return {};
    text.remove_prefix(kPostgresOnly.size());
  }
  if (text.substr(0, kSqliteOnly.size()) == kSqliteOnly) {
    if (dialect == Dialect::kPostgres) return {};
    text.remove_prefix(kSqliteOnly.size());
  }
  std::string out;
  out.reserve(text.size() + 16);
  for (std::size_t at = 0; at < text.size();) {
    bool replaced = false;
    for (const Spelling& s : kSpellings) {
      if (text.substr(at, s.token.size()) == s.token) {
        out += dialect == Dialect::kSqlite ? s.sqlite : s.postgres;
        at += s.token.size();
        replaced = true;
        break;
      }
    }
    if (replaced) continue;
    if (text.substr(at, kIn.size()) == kIn) {
      const std::size_t end = text.find('}', at);
      if (end == std::string_view::npos)
        throw std::logic_error("unclosed {in: " + std::string(text));
      const std::string_view param = text.substr(at + kIn.size(), end - at - kIn.size());
      if (dialect == Dialect::kSqlite) {
        out.append("IN (SELECT value FROM json_each(").append(param).append("))");
      } else {
        out.append("= ANY(").append(param).append(")");
      }
      at = end + 1;
      continue;
    }
    out += text[at++];
  }
  return out;
}

Params& Params::integer(std::int64_t value) {
  Value& v = values_.emplace_back();
  v.integer = value;
  return *this;
}
Params& Params::optional(const std::optional<std::int64_t>& value) {
  Value& v = values_.emplace_back();
  v.null = !value;
  v.integer = value.value_or(0);
  return *this;
}
Params& Params::bytes(std::string_view value) {
  Value& v = values_.emplace_back();
  v.type = Type::kBytes;
  v.bytes = value;
  return *this;
}
Params& Params::text(std::string_view value) {
  Value& v = values_.emplace_back();
  v.type = Type::kText;
  v.bytes = value;
  return *this;
}
Params& Params::integers(std::vector<std::int64_t> values) {
  Value& v = values_.emplace_back();
  v.type = Type::kIntList;
  v.list = std::move(values);
  return *this;
}

RowBuffer& RowBuffer::integer(std::int64_t value) {
  data_ += static_cast<char>(kInteger);
  char bytes[8];
  std::memcpy(bytes, &value, sizeof bytes);
  data_.append(bytes, sizeof bytes);
  return *this;
}
RowBuffer& RowBuffer::null() {
  data_ += static_cast<char>(kNull);
  return *this;
}
RowBuffer& RowBuffer::optional(const std::optional<std::int64_t>& value) {
  return value ? integer(*value) : null();
}
RowBuffer& RowBuffer::bytes(std::string_view value) {
  data_ += static_cast<char>(kBytes);
  const auto size = static_cast<std::uint32_t>(value.size());
  char bytes[4];
  std::memcpy(bytes, &size, sizeof bytes);
  data_.append(bytes, sizeof bytes).append(value);
  return *this;
}

bool RowBuffer::Reader::null() const { return data_[at_] == kNull; }
void RowBuffer::Reader::skip_null() { ++at_; }
std::int64_t RowBuffer::Reader::integer() {
  std::int64_t value = 0;
  std::memcpy(&value, data_.data() + at_ + 1, sizeof value);
  at_ += 1 + sizeof value;
  return value;
}
std::string_view RowBuffer::Reader::bytes() {
  std::uint32_t size = 0;
  std::memcpy(&size, data_.data() + at_ + 1, sizeof size);
  const std::string_view value = data_.substr(at_ + 1 + sizeof size, size);
  at_ += 1 + sizeof size + size;
  return value;
}

}  // namespace zavro::registry::sql
