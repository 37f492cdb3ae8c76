#include "registry/accounts.hpp"

#include <argon2.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "registry/audit.hpp"
#include "registry/sql.hpp"
#include "registry/store.hpp"
#include "registry/types.hpp"

namespace zavro::registry {
namespace {

using sql::Params;
using sql::Statement;

// Statement ids 1100 to 1199.
const Statement kAnyUser{1100, "SELECT count(*) FROM account"};
const Statement kUsers{1101, "SELECT name, role, hash, created FROM account ORDER BY name"};
const Statement kUser{1102, "SELECT name, role, hash, created FROM account WHERE name = $1"};
const Statement kAddUser{1103,
                         "INSERT INTO account (name, role, hash, created) VALUES ($1, $2, $3, $4)"
                         " ON CONFLICT DO NOTHING RETURNING name"};
const Statement kRemoveUser{1104, "DELETE FROM account WHERE name = $1 RETURNING role"};
const Statement kSetRole{1105, "UPDATE account SET role = $2 WHERE name = $1 RETURNING name"};
const Statement kAdmins{1106, "SELECT count(*) FROM account WHERE role = 'admin'"};
const Statement kTokens{1107,
                        "SELECT name, scope, digest, created, expires, last_used FROM token"
                        " ORDER BY name"};
const Statement kAddToken{1108,
                          "INSERT INTO token (name, digest, scope, created, expires)"
                          " VALUES ($1, $2, $3, $4, $5) ON CONFLICT DO NOTHING RETURNING name"};
const Statement kRevokeToken{1109, "DELETE FROM token WHERE name = $1 RETURNING name"};
const Statement kTouchToken{1110,
                            "UPDATE token SET last_used = $2 WHERE name = $1 AND"
                            " (last_used IS NULL OR last_used < $2)"};

// Costs: about 20 MiB and a few tens of milliseconds a hash, so that a
// server hashing for several sign-ins at once stays small.
constexpr std::uint32_t kPasses = 2;
constexpr std::uint32_t kMemoryKiB = 19456;
constexpr std::uint32_t kLanes = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

// A transaction on the accounts' tables alone: the registry's change counter
// is left as it is, since no report, machine or listing changed.
// None when the caller holds one (a copy, in its own transaction).
class Tx {
 public:
  Tx(sql::Database& db, bool write, bool held) : db_(db), write_(write), done_(held) {
    if (!held) write ? db.begin_write() : db.begin_read();
  }
  ~Tx() {
    if (done_) return;
    write_ ? db_.rollback() : db_.end_read();
  }
  Tx(const Tx&) = delete;
  Tx& operator=(const Tx&) = delete;
  void done() {
    if (done_) return;
    done_ = true;
    write_ ? db_.commit() : db_.end_read();
  }

 private:
  sql::Database& db_;
  bool write_;
  bool done_ = false;
};

Account account_of(const sql::Rows& rows) {
  Account a;
  a.name = rows.bytes(0);
  a.role = role_named(rows.view(1)).value_or(Role::kViewer);
  a.hash = rows.bytes(2);
  a.created = rows.integer(3);
  return a;
}

std::int64_t count(sql::Database& db, const Statement& statement) {
  sql::Rows rows = db.query(statement);
  return rows.next() ? rows.integer(0) : 0;
}

}  // namespace

unsigned rights_of(Role role) {
  switch (role) {
    case Role::kViewer:
      return kSignedIn | kRead | kFind;
    case Role::kDesk:
      return kSignedIn | kRead | kFind | kAdd | kCorrect;
    case Role::kAdmin:
      return kSignedIn | kRead | kFind | kAdd | kCorrect | kManage;
  }
  return 0;
}

unsigned rights_of(Scope scope) {
  switch (scope) {
    case Scope::kIntake:
      return kSignedIn | kAdd | kFind;
    case Scope::kRead:
      return kSignedIn | kRead;
    case Scope::kDesk:
      return rights_of(Role::kDesk);
  }
  return 0;
}

const char* name_of(Role role) {
  return role == Role::kAdmin ? "admin" : role == Role::kDesk ? "desk" : "viewer";
}

const char* name_of(Scope scope) {
  return scope == Scope::kIntake ? "intake" : scope == Scope::kDesk ? "desk" : "read";
}

std::optional<Role> role_named(std::string_view name) {
  for (const Role r : {Role::kViewer, Role::kDesk, Role::kAdmin}) {
    if (name == name_of(r)) return r;
  }
  return std::nullopt;
}

std::optional<Scope> scope_named(std::string_view name) {
  for (const Scope s : {Scope::kIntake, Scope::kRead, Scope::kDesk}) {
    if (name == name_of(s)) return s;
  }
  return std::nullopt;
}

Actor person_actor(const std::string& name, Role role) {
  return {name, name_of(role), rights_of(role)};
}

Actor token_actor(const std::string& name, Scope scope) {
  return {"token:" + name, name_of(scope), rights_of(scope)};
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  const auto alnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  if (!alnum(name.front())) return false;
  for (const char c : name) {
    if (!alnum(c) && c != '.' && c != '_' && c != '-' && c != '@') return false;
  }
  return true;
}

void Accounts::note(bool user, std::string detail) {
  if (held_) return;  // a copy carries the rows it has
  std::vector<AuditEntry> audit(1);
  audit.front().who = who_;
  audit.front().when = unix_now();
  audit.front().action = user ? AuditAction::kUser : AuditAction::kToken;
  audit.front().detail = std::move(detail);
  append_audit(store_.database(), audit);
}

bool Accounts::any_users() {
  sql::Database& db = store_.database();
  Tx tx(db, false, held_);
  const bool any = count(db, kAnyUser) > 0;
  tx.done();
  return any;
}

std::vector<Account> Accounts::users() {
  sql::Database& db = store_.database();
  Tx tx(db, false, held_);
  std::vector<Account> out;
  sql::Rows rows = db.query(kUsers);
  while (rows.next()) out.push_back(account_of(rows));
  tx.done();
  return out;
}

std::optional<Account> Accounts::user(const std::string& name) {
  sql::Database& db = store_.database();
  Tx tx(db, false, held_);
  std::optional<Account> out;
  {
    sql::Rows rows = db.query(kUser, Params().text(name));
    if (rows.next()) out = account_of(rows);
  }
  tx.done();
  return out;
}

void Accounts::add_user(const Account& account) {
  sql::Database& db = store_.database();
  Tx tx(db, true, held_);
  bool added = false;
  {
    sql::Rows rows = db.query(kAddUser, Params()
                                            .text(account.name)
                                            .text(name_of(account.role))
                                            .text(account.hash)
                                            .integer(account.created));
    added = rows.next();
  }
  if (!added) throw AccountRefused("user " + account.name + " exists already");
  note(true, "add " + account.name + " " + name_of(account.role));
  tx.done();
}

bool Accounts::remove_user(const std::string& name) {
  sql::Database& db = store_.database();
  Tx tx(db, true, held_);
  bool removed = false;
  {
    sql::Rows rows = db.query(kRemoveUser, Params().text(name));
    removed = rows.next();
  }
  // Not even when no one is left: a registry without users is open to anyone.
  if (removed && count(db, kAdmins) == 0) {
    throw AccountRefused("user " + name + " is the last admin: make another admin first");
  }
  if (removed) note(true, "remove " + name);
  tx.done();
  return removed;
}

bool Accounts::set_role(const std::string& name, Role role) {
  sql::Database& db = store_.database();
  Tx tx(db, true, held_);
  bool found = false;
  {
    sql::Rows rows = db.query(kSetRole, Params().text(name).text(name_of(role)));
    found = rows.next();
  }
  if (found && count(db, kAdmins) == 0) {
    throw AccountRefused("user " + name + " is the last admin: make another admin first");
  }
  if (found) note(true, "role " + name + " " + name_of(role));
  tx.done();
  return found;
}

std::vector<RobotToken> Accounts::tokens() {
  sql::Database& db = store_.database();
  Tx tx(db, false, held_);
  std::vector<RobotToken> out;
  {
    sql::Rows rows = db.query(kTokens);
    while (rows.next()) {
      RobotToken t;
      t.name = rows.bytes(0);
      // An unknown scope (a newer release's) grants the least.
      t.scope = scope_named(rows.view(1)).value_or(Scope::kRead);
      const std::string_view digest = rows.view(2);
      if (digest.size() == t.digest.size())
        std::memcpy(t.digest.data(), digest.data(), digest.size());
      t.created = rows.integer(3);
      t.expires = rows.optional(4);
      t.last_used = rows.optional(5);
      out.push_back(std::move(t));
    }
  }
  tx.done();
  return out;
}

void Accounts::add_token(const RobotToken& token) {
  sql::Database& db = store_.database();
  Tx tx(db, true, held_);
  bool added = false;
  {
    const std::string_view digest(reinterpret_cast<const char*>(token.digest.data()),
                                  token.digest.size());
    sql::Rows rows = db.query(kAddToken, Params()
                                             .text(token.name)
                                             .bytes(digest)
                                             .text(name_of(token.scope))
                                             .integer(token.created)
                                             .optional(token.expires));
    added = rows.next();
  }
  if (!added) throw AccountRefused("token " + token.name + " exists already");
  note(false, "add " + token.name + " " + name_of(token.scope) +
                  (token.expires ? " until " + utc_time(*token.expires) : std::string()));
  tx.done();
}

bool Accounts::revoke_token(const std::string& name) {
  sql::Database& db = store_.database();
  Tx tx(db, true, held_);
  bool removed = false;
  {
    sql::Rows rows = db.query(kRevokeToken, Params().text(name));
    removed = rows.next();
  }
  if (removed) note(false, "revoke " + name);
  tx.done();
  return removed;
}

void Accounts::touch_tokens(const std::vector<std::pair<std::string, std::int64_t>>& used) {
  if (used.empty()) return;
  sql::Database& db = store_.database();
  Tx tx(db, true, held_);
  for (const auto& [name, when] : used) db.run(kTouchToken, Params().text(name).integer(when));
  tx.done();
}

std::string hash_password(std::string_view password) {
  const std::string salt = random_bytes(kSaltBytes);
  std::string encoded(
      argon2_encodedlen(kPasses, kMemoryKiB, kLanes, kSaltBytes, kHashBytes, Argon2_id), '\0');
  const int result =
      argon2id_hash_encoded(kPasses, kMemoryKiB, kLanes, password.data(), password.size(),
                            salt.data(), salt.size(), kHashBytes, encoded.data(), encoded.size());
  if (result != ARGON2_OK) {
    throw Error(std::string("cannot hash the password: ") + argon2_error_message(result));
  }
  encoded.resize(std::strlen(encoded.c_str()));
  return encoded;
}

bool verify_password(std::string_view password, const std::string& hash) {
  return argon2id_verify(hash.c_str(), password.data(), password.size()) == ARGON2_OK;
}

std::string random_bytes(std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::getrandom(out.data() + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw Error(std::string("no random bytes: ") + std::strerror(errno));
    got += static_cast<std::size_t>(r);
  }
  return out;
}

std::string new_password() {
  // 32 signs: each byte's low five bits pick one evenly.
  static const char kSigns[] = "abcdefghjkmnpqrstuvwxyz23456789X";
  std::string out;
  for (const char b : random_bytes(20)) out += kSigns[static_cast<unsigned char>(b) & 31];
  return out;
}

std::string new_token() {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : random_bytes(32)) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::int64_t unix_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string utc_time(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%MZ", &tm);
  return text;
}

}  // namespace zavro::registry
