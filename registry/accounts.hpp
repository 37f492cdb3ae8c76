// Who may use the registry: people (a name, a role, a password kept as an
// Argon2id hash) and robots (a named token with a scope, kept as its SHA-256
// digest), and the actor every request or command acts as.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/digest.hpp"
#include "registry/types.hpp"

namespace zavro::registry {

class Store;

// What an actor may do, each a bit.
enum Right : unsigned {
  kSignedIn = 1U << 0,  // every actor that is someone
  kRead = 1U << 1,      // the listings, machines, history
  kFind = 1U << 2,      // which machine a report is from (stores nothing)
  kAdd = 1U << 3,       // store reports
  kCorrect = 1U << 4,   // change what the registry decided
  kManage = 1U << 5,    // people and tokens
};

enum class Role { kViewer, kDesk, kAdmin };
enum class Scope { kIntake, kRead, kDesk };

unsigned rights_of(Role role);
unsigned rights_of(Scope scope);
const char* name_of(Role role);
const char* name_of(Scope scope);
std::optional<Role> role_named(std::string_view name);
std::optional<Scope> scope_named(std::string_view name);

struct Actor {
  std::string who;   // a person's name, token:NAME, token-file, a login name; empty: nobody
  std::string what;  // the role or scope
  unsigned rights = 0;
  bool may(unsigned need) const { return (rights & need) == need; }
};
Actor person_actor(const std::string& name, Role role);
Actor token_actor(const std::string& name, Scope scope);

// Names of people and tokens: 1 to 64 of A-Z a-z 0-9 . _ - @, not starting
// with a punctuation mark: safe on a terminal, in a log and in a URL.
bool valid_name(std::string_view name);

struct Account {
  std::string name;
  Role role = Role::kViewer;
  std::string hash;  // Argon2id, encoded
  std::int64_t created = 0;
};

struct RobotToken {
  std::string name;
  Scope scope = Scope::kRead;
  Digest digest{};
  std::int64_t created = 0;
  std::optional<std::int64_t> expires;
  std::optional<std::int64_t> last_used;
  bool expired(std::int64_t now) const { return expires && *expires <= now; }
};

// What the accounts' rules refuse: a name taken, leaving no admin.
class AccountRefused : public Error {
 public:
  using Error::Error;
};

// The accounts' tables, each call a transaction of its own; each change
// leaves an audit row naming who (registry/audit.hpp) in that transaction.
class Accounts {
 public:
  // who: the actor its changes' audit rows name. held: inside a transaction
  // the caller holds (a copy, which carries the audit rows as they are).
  explicit Accounts(Store& store, std::string who = {}, bool held = false)
      : store_(store), who_(std::move(who)), held_(held) {}
  void act_as(std::string who) { who_ = std::move(who); }

  bool any_users();
  std::vector<Account> users();  // by name
  std::optional<Account> user(const std::string& name);
  void add_user(const Account& account);  // refused when the name is taken
  // false when there is no such user; refused when it would leave no admin.
  bool remove_user(const std::string& name);
  bool set_role(const std::string& name, Role role);

  std::vector<RobotToken> tokens();  // by name
  void add_token(const RobotToken& token);
  bool revoke_token(const std::string& name);
  // When each token was last used (name, time).
  void touch_tokens(const std::vector<std::pair<std::string, std::int64_t>>& used);

 private:
  void note(bool user, std::string detail);

  Store& store_;
  std::string who_;
  bool held_;
};

// --- secrets

// A password's Argon2id hash (salt and costs encoded in it).
std::string hash_password(std::string_view password);
// Whether the password matches the hash; false for a hash that cannot be read.
bool verify_password(std::string_view password, const std::string& hash);
// n random bytes from the kernel; Error when it gives none.
std::string random_bytes(std::size_t n);
// A new password, 20 letters and digits easy to read aloud (about 100 bits).
std::string new_password();
// A new robot token: 64 hex digits (256 bits).
std::string new_token();
std::int64_t unix_now();
// "2024-05-01 12:00Z"
std::string utc_time(std::int64_t seconds);

}  // namespace zavro::registry
