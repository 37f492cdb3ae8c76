#include "registry/registry.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "reader/read.hpp"
#include "reader/rules.hpp"
#include "registry/store.hpp"
#include "registry/tie.hpp"

namespace zavro::registry {
namespace {

// A batch is one transaction, of as many reports as its engine asks, bounded
// so that memory stays flat and a second writer waits a few seconds at most.
constexpr std::size_t kBatchBytes = 16 << 20;
// Another writer waits for the batch: well within its busy timeout, however
// slow this machine is.
constexpr std::chrono::milliseconds kBatchTime{2000};
constexpr int kPage = 4096;

// Why a report cannot be tied, or nothing when it can.
std::optional<std::string> rejection(const reader::FileReport& report) {
  std::string problem = reader::problem_of(report);
  if (problem.empty()) return std::nullopt;
  return problem;
}

// Ties reports against a store: the lookups and writes around the pure rules.
class Tier {
 public:
  // The learned placeholders are few: read once per batch, kept in memory.
  explicit Tier(Store& store) : store_(store) {
    for (const Store::Learned& learned : store.learned_all()) learned_.insert(learned.key);
  }

  bool placeholder(const ComponentKey& key) const { return learned_.count(key) > 0; }

  Identity without_placeholders(Identity identity) {
    drop_placeholders(identity, [this](const ComponentKey& key) { return placeholder(key); });
    return identity;
  }

  Decision decide(const Identity& identity) {
    hashes_.clear();
    for (const ComponentKey& key : keys_of(identity)) hashes_.push_back(key_hash(key));
    indexed_ = hashes_.empty() ? decltype(indexed_)() : store_.machines_with(hashes_);
    std::vector<Id> machines;
    machines.reserve(indexed_.size());
    for (const auto& entry : indexed_) machines.push_back(entry.second);
    std::sort(machines.begin(), machines.end());
    machines.erase(std::unique(machines.begin(), machines.end()), machines.end());
    std::vector<Candidate> candidates;
    candidates.reserve(machines.size());
    for (const Id id : machines) {
      const auto row = store_.machine(id);
      if (!row) continue;
      auto known = decode_identity(row->identity);
      if (!known)
        throw Error("registry " + store_.location() + ": damaged (machine " + std::to_string(id) +
                    ")");
      drop_placeholders(*known, [this](const ComponentKey& key) { return placeholder(key); });
      candidates.push_back({id, row->latest, std::move(*known)});
    }
    return tie_report(identity, candidates);
  }

  // Records the decision for report id, whose identity decide() saw last;
  // returns its machine.
  Id record(Id id, const Identity& identity, const Decision& decision) {
    const Id machine = decision.machine.value_or(id);
    if (decision.machine) {
      store_.set_latest(machine, id, encode(identity));
    } else {
      store_.insert_machine({machine, id, encode(identity)});
      for (const Id other : decision.clone_of) store_.link_clone(machine, other);
    }
    // Most reports come from a known machine that showed the same keys before.
    std::vector<std::int64_t> fresh;
    for (const std::int64_t hash : hashes_) {
      if (std::find(indexed_.begin(), indexed_.end(), std::make_pair(hash, machine)) ==
          indexed_.end()) {
        fresh.push_back(hash);
      }
    }
    if (!fresh.empty()) store_.index(fresh, machine);
    for (const auto& [key, other] : decision.witnesses) {
      store_.witness(key, other);
      if (store_.witness(key, machine) >= reader::kLearnAfterMachines &&
          learned_.insert(key).second) {
        store_.learn(key);
      }
    }
    return machine;
  }

 private:
  Store& store_;
  std::set<ComponentKey> learned_;
  // The last decided report's key hashes, and what the index held for them.
  std::vector<std::int64_t> hashes_;
  std::vector<std::pair<std::int64_t, Id>> indexed_;
};

class StoreAdder final : public Registry::Adder {
 public:
  StoreAdder(Store& store, std::string note, OutcomeSink each, bool evidence)
      : store_(store),
        note_(std::move(note)),
        each_(std::move(each)),
        evidence_(evidence),
        chunk_(store.read_ahead()) {}

  // A report is read, parsed and digested as it arrives, on the caller's
  // thread and outside any transaction; a chunk of them is then tied inside
  // the open batch on the adder's own thread, so that the next chunk is read
  // while this one is tied and written. What became of each is told, from
  // that thread, only once its batch is committed.
  void push(Item item) override {
    Pending& p = reading_.emplace_back();
    p.digest = sha256(item.bytes);
    p.report = item.unreadable ? reader::unreadable_report(item.name, *item.unreadable)
                               : reader::report_of(item.name, item.bytes);
    p.reason = rejection(p.report);
    if (!p.reason) p.identity = identity_of(p.report.parsed, *p.report.decoded);
    p.item = std::move(item);
    if (chunk_ <= 1) {
      // An engine in this process: each report tied as it comes, no thread.
      tie_pending(reading_);
      reading_.clear();
    } else if (reading_.size() >= chunk_) {
      hand_over(false);
    }
  }

  void finish() override { hand_over(true); }

  ~StoreAdder() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    // An add that ends by an exception leaves nothing of its open batch.
    if (tier_) store_.rollback();
  }

 private:
  // Gives the chunk read to the tying thread, waiting while it still has one
  // waiting; last: and waits for it to tie and commit everything.
  void hand_over(bool last) {
    if (!worker_.joinable() && last) {
      // All of it fits one chunk (one report posted, a small add): no thread.
      tie_pending(reading_);
      reading_.clear();
      flush();
      return;
    }
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.empty() || error_; });
    if (error_) std::rethrow_exception(error_);
    waiting_.swap(reading_);
    ended_ = last;
    changed_.notify_all();
    if (!last) return;
    changed_.wait(lock, [this] { return done_; });
    if (error_) std::rethrow_exception(error_);
  }

  void work() {
    for (;;) {
      std::deque<Pending> chunk;
      bool last = false;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !waiting_.empty() || ended_ || stop_; });
        if (stop_) return;
        chunk.swap(waiting_);
        last = ended_;
        changed_.notify_all();
      }
      try {
        tie_pending(chunk);
        if (last) flush();
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
        done_ = true;
        changed_.notify_all();
        return;
      }
      if (last) {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        changed_.notify_all();
        return;
      }
    }
  }

  struct Pending {
    Item item;
    Digest digest{};
    reader::FileReport report;
    std::optional<std::string> reason;  // rejected: why
    Identity identity;                  // with every value, placeholders too
  };

  void tie_pending(std::deque<Pending>& pending) {
    std::vector<Digest> digests;
    std::vector<std::int64_t> hashes;
    for (const Pending& p : pending) {
      digests.push_back(p.digest);
      for (const ComponentKey& key : keys_of(p.identity)) hashes.push_back(key_hash(key));
    }
    bool fetched = false;
    for (Pending& p : pending) {
      try {
        if (!tier_) {
          store_.begin_write();
          tier_.emplace(store_);
          next_ = store_.next_id();
          opened_ = std::chrono::steady_clock::now();
        }
        if (!fetched) store_.prefetch(digests, hashes);
        fetched = true;
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        outcomes_.push_back(add(*tier_, p, next_, now));
      } catch (...) {
        abandon();
        throw;
      }
      held_ += outcomes_.back().evidence.size() + outcomes_.back().file.size();
      const bool long_open =
          outcomes_.size() % 256 == 0 && std::chrono::steady_clock::now() - opened_ >= kBatchTime;
      if (outcomes_.size() >= store_.batch_reports() || held_ >= kBatchBytes || long_open) {
        flush();
      }
    }
  }

  void abandon() {
    store_.rollback();
    tier_.reset();
    outcomes_.clear();
    held_ = 0;
  }

  void flush() {
    if (!tier_) return;
    try {
      store_.commit();
    } catch (...) {
      abandon();
      throw;
    }
    tier_.reset();
    std::deque<Outcome> outcomes;
    outcomes.swap(outcomes_);
    held_ = 0;
    for (const Outcome& outcome : outcomes) each_(outcome);
  }

  Outcome add(Tier& tier, Pending& p, Id& next, std::int64_t now) {
    Outcome outcome;
    outcome.file = p.item.name;
    outcome.digest = p.digest;
    if (const auto earlier = store_.find_digest(outcome.digest)) {
      outcome.status = Status::kDuplicate;
      outcome.record = earlier->first;
      outcome.machine = earlier->second;
      return outcome;
    }
    StoredReport stored;
    stored.id = next++;
    stored.digest = outcome.digest;
    stored.file = p.item.name;
    stored.received = now;
    stored.note = note_;
    stored.rules = reader::kRegistryRulesVersion;
    stored.bytes = std::move(p.item.bytes);
    outcome.record = stored.id;
    if (p.reason) {
      outcome.status = Status::kRejected;
      outcome.reason = *p.reason;
      stored.reason = *p.reason;
      store_.insert_report(stored);
      return outcome;
    }
    const Identity identity = tier.without_placeholders(std::move(p.identity));
    const Decision decision = tier.decide(identity);
    stored.machine = decision.machine.value_or(stored.id);
    if (decision.machine) stored.prev = decision.previous;
    stored.match = name_of(decision.match);
    stored.evidence = evidence_json(decision);
    store_.insert_report(stored);
    tier.record(stored.id, identity, decision);
    outcome.status = Status::kStored;
    outcome.machine = stored.machine;
    outcome.match = stored.match;
    if (evidence_) outcome.evidence = std::move(stored.evidence);
    return outcome;
  }

  Store& store_;
  std::string note_;
  OutcomeSink each_;
  bool evidence_;
  std::size_t chunk_;
  std::deque<Pending> reading_;  // the caller's
  // Between the two threads, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Pending> waiting_;
  bool ended_ = false;  // waiting_ is the last chunk
  bool done_ = false;   // the tying thread has ended
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread worker_;        // last: the members it uses outlive it
  std::optional<Tier> tier_;  // set while a batch is open
  std::chrono::steady_clock::time_point opened_;
  Id next_ = 0;
  // A deque: no doubling copy of the whole batch as it grows.
  std::deque<Outcome> outcomes_;
  std::size_t held_ = 0;
};

std::vector<Assignment> assignments_of(Store& store) {
  std::vector<Assignment> all;
  for (Id after = 0;;) {
    const auto page = store.reports_after(after, kPage, false);
    if (page.empty()) break;
    for (const StoredReport& r : page) all.push_back({r.id, r.machine});
    after = page.back().id;
  }
  return all;
}

// Ties every stored report again, in receipt order; retie: write each tie to
// its report (the learning pass only builds machines and placeholders).
void replay(Store& store, bool retie, const std::function<void()>& tick) {
  Tier tier(store);
  std::vector<std::optional<Identity>> identities;
  std::vector<std::int64_t> hashes;
  for (Id after = 0;;) {
    const auto page = store.reports_after(after, kPage, true);
    if (page.empty()) break;
    // The page read first: its keys' machines asked for at once.
    identities.clear();
    hashes.clear();
    for (const StoredReport& stored : page) {
      identities.emplace_back();
      if (!stored.machine) continue;  // rejected: nothing to tie
      const reader::FileReport report = reader::report_of({}, stored.bytes);
      if (!report.decoded) continue;
      identities.back() = identity_of(report.parsed, *report.decoded);
      for (const ComponentKey& key : keys_of(*identities.back())) hashes.push_back(key_hash(key));
    }
    store.prefetch({}, hashes);
    for (std::size_t i = 0; i < page.size(); ++i) {
      const StoredReport& stored = page[i];
      after = stored.id;
      if (!identities[i]) continue;
      const Identity identity = tier.without_placeholders(std::move(*identities[i]));
      const Decision decision = tier.decide(identity);
      const Id machine = tier.record(stored.id, identity, decision);
      if (retie) {
        store.retie_report(stored.id, machine,
                           decision.machine ? std::optional<Id>(decision.previous) : std::nullopt,
                           name_of(decision.match), reader::kRegistryRulesVersion,
                           evidence_json(decision));
      }
      if (tick) tick();
    }
  }
}

}  // namespace

const char* name_of(Status status) {
  switch (status) {
    case Status::kStored:
      return "stored";
    case Status::kDuplicate:
      return "duplicate";
    case Status::kRejected:
      break;
  }
  return "rejected";
}

struct Registry::FindState {
  std::uint64_t version = 0;
  std::optional<Tier> tier;
};

Registry::Registry(std::unique_ptr<Store> store)
    : store_(std::move(store)), find_state_(std::make_unique<FindState>()) {}
Registry::~Registry() = default;

std::unique_ptr<Registry> Registry::open(const std::string& location, bool create) {
  return std::unique_ptr<Registry>(new Registry(
      is_postgres_uri(location) ? open_postgres(location, create) : open_sqlite(location, create)));
}

std::unique_ptr<Registry::Adder> Registry::adder(std::string note, OutcomeSink each,
                                                 bool evidence) {
  return std::make_unique<StoreAdder>(*store_, std::move(note), std::move(each), evidence);
}

Outcome Registry::find(const Item& item) {
  Outcome outcome;
  outcome.file = item.name;
  outcome.digest = sha256(item.bytes);
  // Opened first: an engine a round trip away opens it while the report is read.
  Transaction read(*store_, false);
  const reader::FileReport report = item.unreadable
                                        ? reader::unreadable_report(item.name, *item.unreadable)
                                        : reader::report_of(item.name, item.bytes);
  const auto reason = rejection(report);
  Identity identity;
  std::vector<std::int64_t> hashes;
  if (!reason) {
    identity = identity_of(report.parsed, *report.decoded);
    for (const ComponentKey& key : keys_of(identity)) hashes.push_back(key_hash(key));
  }
  store_->prefetch({outcome.digest}, hashes);
  if (const auto earlier = store_->find_digest(outcome.digest)) {
    outcome.status = Status::kDuplicate;
    outcome.record = earlier->first;
    outcome.machine = earlier->second;
    read.commit();
    return outcome;
  }
  if (reason) {
    outcome.status = Status::kRejected;
    outcome.reason = *reason;
    read.commit();
    return outcome;
  }
  // The learned placeholders, read again only when the registry changed.
  const std::uint64_t version = store_->version();
  if (!find_state_->tier || find_state_->version != version) {
    find_state_->tier.emplace(*store_);
    find_state_->version = version;
  }
  Tier& tier = *find_state_->tier;
  const Decision decision = tier.decide(tier.without_placeholders(std::move(identity)));
  read.commit();
  outcome.status = Status::kStored;
  outcome.machine = decision.machine;
  outcome.match = name_of(decision.match);
  outcome.evidence = evidence_json(decision);
  return outcome;
}

void Registry::rebuild(const std::function<void(const Move& move)>& each,
                       const std::function<void()>& tick) {
  Transaction write(*store_, true);
  const std::vector<Assignment> before = assignments_of(*store_);
  // First pass: learn every placeholder the reports show, from nothing, so
  // that a second rebuild learns the same. Second pass: tie with all of them
  // known from the start.
  store_->clear_ties(true);
  replay(*store_, false, tick);
  store_->clear_ties(false);
  replay(*store_, true, tick);
  // The same reports in the same order: rebuild adds and removes none.
  const std::vector<Assignment> after = assignments_of(*store_);
  std::vector<Move> moves;
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (before[i].machine != after[i].machine) {
      moves.push_back({after[i].record, before[i].machine, after[i].machine});
    }
  }
  write.commit();
  for (const Move& move : moves) each(move);
}

void Registry::copy_from(Registry& from, const std::function<void()>& tick) {
  Store& src = *from.store_;
  Store& dst = *store_;
  Transaction read(src, false);
  Transaction write(dst, true);
  if (dst.next_id() != 1) {
    throw Error("registry " + dst.location() + ": holds reports already; copy needs an empty one");
  }
  for (Id after = 0;;) {
    const auto page = src.reports_after(after, kPage, true);
    if (page.empty()) break;
    for (const StoredReport& report : page) {
      dst.insert_report(report);
      if (tick) tick();
    }
    after = page.back().id;
  }
  for (Id after = 0;;) {
    const auto page = src.machines_after(after, kPage);
    if (page.empty()) break;
    for (const MachineRow& machine : page) dst.insert_machine(machine);
    after = page.back().id;
  }
  for (std::pair<std::int64_t, Id> after{INT64_MIN, 0};;) {
    const auto page = src.index_after(after, kPage);
    if (page.empty()) break;
    for (const auto& [hash, machine] : page) dst.index({hash}, machine);
    after = page.back();
  }
  for (const auto& [key, machine] : src.witnesses()) dst.witness(key, machine);
  for (const Store::Learned& learned : src.learned_all()) dst.learn(learned.key);
  for (const auto& [machine, other] : src.clone_links()) dst.link_clone(machine, other);
  write.commit();
  read.commit();
}

std::vector<Assignment> Registry::assignments() {
  Transaction read(*store_, false);
  return assignments_of(*store_);
}

}  // namespace zavro::registry
