#include "app/serve_accounts.hpp"

#include <iostream>
#include <utility>
#include <vector>

#include "app/serve_limits.hpp"
#include "app/serve_token.hpp"
#include "reader/output.hpp"
#include "registry/digest.hpp"
#include "registry/registry.hpp"

namespace zavro::server {

Directory::Directory(std::string location, std::string file_token)
    : location_(std::move(location)),
      file_token_(std::move(file_token)),
      snapshot_(std::make_shared<Snapshot>()) {}

Directory::~Directory() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Directory::load(registry::Accounts& accounts) {
  auto fresh = std::make_shared<Snapshot>();
  for (registry::Account& a : accounts.users()) {
    const std::string name = a.name;
    fresh->people.emplace(name, std::move(a));
  }
  for (registry::RobotToken& t : accounts.tokens()) {
    const std::string digest(reinterpret_cast<const char*>(t.digest.data()), t.digest.size());
    fresh->tokens.emplace(digest, std::move(t));
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  snapshot_ = std::move(fresh);
}

void Directory::start() {
  auto registry = registry::Registry::open(location_, false);
  registry::Accounts accounts(registry->store());
  load(accounts);
  thread_ = std::thread(&Directory::run, this, std::move(registry));
}

void Directory::run(std::unique_ptr<registry::Registry> registry) {
  std::string last_error;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kAccountsRefresh, [this] { return stop_; })) {
    // Tokens used since their last write a minute or more ago.
    std::vector<std::pair<std::string, std::int64_t>> due;
    for (const auto& [name, when] : used_) {
      const auto written = written_.find(name);
      if (written == written_.end() || when - written->second >= kLastUsedEvery) {
        due.emplace_back(name, when);
      }
    }
    lock.unlock();
    try {
      if (!registry) registry = registry::Registry::open(location_, false);
      registry::Accounts accounts(registry->store());
      accounts.touch_tokens(due);
      load(accounts);
      lock.lock();
      for (const auto& [name, when] : due) written_[name] = when;
      last_error.clear();
    } catch (const registry::Error& e) {
      registry.reset();
      // Told once, not every second: what was known stays in force.
      if (last_error != e.what()) {
        last_error = e.what();
        std::cerr << "zavro-record: accounts not read again: " << reader::terminal_safe(last_error)
                  << '\n';
      }
      lock.lock();
    }
  }
}

bool Directory::file_token_matches(std::string_view text) const {
  return same_secret(text, file_token_);
}

registry::Actor Directory::bearer(std::string_view token) {
  if (file_token_matches(token)) return file_holder();
  const registry::Digest d = registry::sha256(token);
  const std::string digest(reinterpret_cast<const char*>(d.data()), d.size());
  const std::int64_t now = registry::unix_now();
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = snapshot_->tokens.find(digest);
  if (it == snapshot_->tokens.end() || it->second.expired(now)) return {};
  used_[it->second.name] = now;
  return registry::token_actor(it->second.name, it->second.scope);
}

registry::Actor Directory::person(const std::string& name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = snapshot_->people.find(name);
  if (it == snapshot_->people.end()) return {};
  return registry::person_actor(name, it->second.role);
}

bool Directory::has_users() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return !snapshot_->people.empty();
}

std::optional<std::string> Directory::hash_of(const std::string& name) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = snapshot_->people.find(name);
  if (it == snapshot_->people.end()) return std::nullopt;
  return it->second.hash;
}

bool SignInLimits::over(const std::string& key, Clock::time_point now) {
  auto& times = failures_[key];
  while (!times.empty() && now - times.front() >= kSignInWindow) times.pop_front();
  return times.size() >= kSignInFailures;
}

bool SignInLimits::attempt(const std::string& name, const std::string& address) {
  const auto now = Clock::now();
  const std::lock_guard<std::mutex> lock(mutex_);
  if (failures_.size() + 2 > kSignInKeys) {
    for (auto it = failures_.begin(); it != failures_.end();) {
      it = !it->second.empty() && now - it->second.back() < kSignInWindow ? std::next(it)
                                                                          : failures_.erase(it);
    }
    if (failures_.size() + 2 > kSignInKeys) return false;
  }
  const std::string by_name = "n:" + name;
  const std::string by_address = "a:" + address;
  const bool name_over = over(by_name, now);
  if (over(by_address, now) || name_over) return false;
  failures_[by_name].push_back(now);
  failures_[by_address].push_back(now);
  return true;
}

void SignInLimits::forgive(const std::string& name, const std::string& address) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& key : {"n:" + name, "a:" + address}) {
    const auto it = failures_.find(key);
    if (it == failures_.end()) continue;
    if (!it->second.empty()) it->second.pop_back();
    if (it->second.empty()) failures_.erase(it);
  }
}

void HashGate::enter() {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait(lock, [this] { return free_ > 0; });
  --free_;
}

void HashGate::leave() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++free_;
  }
  freed_.notify_one();
}

}  // namespace zavro::server
