// serve: who the registry's accounts say may come in, kept in memory, and
// how often a sign-in may fail.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "registry/accounts.hpp"

namespace zavro::registry {
class Registry;
}

namespace zavro::server {

// The people and robot tokens, read from the registry every second on a
// thread of their own, so that no request waits on the database to be let
// in; a change (a token revoked, a role changed, a person removed) holds
// within about a second. When each token was last used is written back at
// most once a minute per token.
class Directory {
 public:
  // file_token: the token file's, an admin robot's.
  Directory(std::string location, std::string file_token);
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Reads the accounts once (registry::Error when it cannot), then keeps
  // them current.
  void start();

  // The actor a bearer token stands for; nobody (empty who) when none.
  registry::Actor bearer(std::string_view token);
  // A signed-in person as the accounts say now; nobody when removed.
  registry::Actor person(const std::string& name) const;
  bool has_users() const;
  // A person's password hash; nullopt when there is no such person.
  std::optional<std::string> hash_of(const std::string& name) const;
  bool file_token_matches(std::string_view text) const;
  // Whoever holds the token file: an admin robot.
  static registry::Actor file_holder() {
    return {"token-file", "admin", registry::rights_of(registry::Role::kAdmin)};
  }

 private:
  struct Snapshot {
    std::map<std::string, registry::Account> people;
    std::map<std::string, registry::RobotToken> tokens;  // by digest
  };
  void load(registry::Accounts& accounts);
  void run(std::unique_ptr<registry::Registry> registry);

  std::string location_;
  std::string file_token_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Snapshot> snapshot_;
  std::map<std::string, std::int64_t> used_;     // by token name: last use seen
  std::map<std::string, std::int64_t> written_;  // and last written
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// Failed sign-ins, by account name and by address: past kSignInFailures of
// either within kSignInWindow, sign-ins are refused, right password or not.
class SignInLimits {
 public:
  // Counts an attempt as failed before it is checked (so that attempts at
  // once cannot pass the limit together); false when it is refused.
  bool attempt(const std::string& name, const std::string& address);
  // The attempt succeeded: it no longer counts.
  void forgive(const std::string& name, const std::string& address);

 private:
  using Clock = std::chrono::steady_clock;
  bool over(const std::string& key, Clock::time_point now);
  std::mutex mutex_;
  std::map<std::string, std::deque<Clock::time_point>> failures_;
};

// At most a few passwords are hashed at once, whatever the workers: each
// hash holds tens of MiB.
class HashGate {
 public:
  explicit HashGate(int slots) : free_(slots) {}
  void enter();
  void leave();

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  int free_;
};

}  // namespace zavro::server
