#include "registry/registry.hpp"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "reader/read.hpp"
#include "reader/rules.hpp"
#include "registry/accounts.hpp"
#include "registry/corrections.hpp"
#include "registry/summary.hpp"
#include "registry/tie.hpp"
#include "registry/tier.hpp"

namespace zavro::registry {
namespace {

// A batch is one transaction, bounded so that memory stays flat and another
// writer waits a few seconds at most.
constexpr std::size_t kBatchReports = 10000;
// In a file, each batch rewrites most pages of the tables that every report
// touches (machines, digests, keys): at a million reports, twice as many
// reports a batch wrote a quarter less. A server writes rows, not pages,
// and would only hold more in memory.
constexpr std::size_t kNearBatchReports = 20000;
constexpr std::size_t kBatchBytes = 16 << 20;
constexpr std::chrono::milliseconds kBatchTime{2000};
// Reports read and parsed on the caller's thread while the ones before are
// tied on the adder's own: what one round trip to the database prefetches.
constexpr std::size_t kChunk = 2048;
// With neither a thread nor a round trip to share it, a chunk only holds
// memory (about 3 KiB a report before its bytes).
constexpr std::size_t kNearChunk = 512;
// Reading a chunk beside tying the last pays only with a second processor
// to run on (a process pinned to one just switches between the two).
const bool kTwoCpus = [] {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 1;
}();
// Machines a listing reads at a time.
constexpr std::size_t kListPage = 1000;

// Why a report cannot be tied, or nothing when it can.
std::optional<std::string> rejection(const reader::FileReport& report) {
  std::string problem = reader::problem_of(report);
  if (problem.empty()) return std::nullopt;
  return problem;
}

// A machine's latest name, from its row.
std::string name_of(const std::optional<MachineRow>& row) {
  if (!row) return {};
  const auto identity = decode_identity(row->identity);
  return identity ? identity->name : std::string();
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
  std::optional<std::int64_t> version;
  std::set<ComponentKey> learned;
};

// Reports pushed, read, parsed and digested on the caller's thread, outside
// any transaction; a chunk of them is then tied on the intake's own thread,
// so that the next chunk is read while this one is tied. An add ties them
// inside an open batch and tells what became of each only once its batch
// is committed; a find ties each chunk in a snapshot and stores nothing.
class Intake final : public Registry::Adder {
 public:
  enum class Mode { kAdd, kFind };
  Intake(Store& store, Registry::FindState& find_state, Mode mode, std::string note,
         OutcomeSink each, bool evidence, bool whole, std::string who = {}, std::string how = {})
      : store_(store),
        find_state_(find_state),
        mode_(mode),
        note_(std::move(note)),
        who_(std::move(who)),
        how_(std::move(how)),
        each_(std::move(each)),
        evidence_(evidence),
        whole_(whole) {}

  void push(Item item) override {
    // Room for the chunk at once: a report's Pending is past the size the
    // heap keeps small blocks for, and one allocation each cost a heap
    // consolidation each.
    const std::size_t chunk = kTwoCpus || store_.far() ? kChunk : kNearChunk;
    if (reading_.capacity() < chunk) reading_.reserve(chunk);
    Pending& p = reading_.emplace_back();
    p.digest = sha256(item.bytes);
    p.report = item.unreadable ? reader::unreadable_report(item.name, *item.unreadable)
                               : reader::report_of(item.name, item.bytes);
    p.reason = rejection(p.report);
    // Empty bytes, or what was had of a report that could not be read,
    // identify nothing: never the duplicate of anything. A message without a
    // report is its own bytes.
    p.identifies = !item.bytes.empty() && (!item.unreadable || item.no_report);
    if (!p.reason) {
      p.identity = identity_of(p.report.parsed, *p.report.decoded);
      p.shown = shown_values(p.report.parsed, *p.report.decoded);
      if (item.mail && !item.mail->sender.empty()) {
        p.shown.push_back(sender_value(item.mail->sender));
      }
    }
    p.item = std::move(item);
    if (reading_.size() >= chunk) hand_over(false);
  }

  void finish() override { hand_over(true); }

  void finish_marked(const std::string& folder, const CollectMark& mark) override {
    // Read by the tying thread only after hand_over passes it the last chunk.
    mark_.emplace(folder, mark);
    hand_over(true);
  }

  ~Intake() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    // An add that ends by an exception leaves nothing of its open batch.
    if (tier_) store_.rollback();
  }
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;

 private:
  struct Pending {
    Item item;
    Digest digest{};
    bool identifies = true;
    reader::FileReport report;
    std::optional<std::string> reason;  // rejected: why
    Identity identity;                  // with every value, placeholders too
    std::vector<ShownValue> shown;
  };

  // Gives the chunk read to the tying thread, waiting while it still has one
  // waiting; last: and waits for it to tie and commit everything.
  void hand_over(bool last) {
    if (!worker_.joinable() && (last || !kTwoCpus)) {
      // All of it fits one chunk (one report posted, a small add), or one
      // processor would only take turns between two threads: no thread.
      tie_chunk(reading_);
      reading_.clear();
      if (last) flush(true);
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
      std::vector<Pending> chunk;
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
        tie_chunk(chunk);
        if (last) flush(true);
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

  void keys(const std::vector<Pending>& chunk, std::vector<Digest>& digests,
            std::vector<std::int64_t>& hashes) const {
    for (const Pending& p : chunk) {
      if (p.identifies) digests.push_back(p.digest);
      for (const ComponentKey& key : keys_of(p.identity)) hashes.push_back(key_hash(key));
    }
  }

  void tie_chunk(std::vector<Pending>& chunk) {
    if (chunk.empty()) return;
    if (mode_ == Mode::kFind) {
      find_chunk(chunk);
      return;
    }
    std::vector<Digest> digests;
    std::vector<std::int64_t> hashes;
    keys(chunk, digests, hashes);
    bool fetched = false;
    for (Pending& p : chunk) {
      try {
        if (!tier_) {
          store_.begin_write();
          tier_.emplace(store_);
          tier_->steer();
          opened_ = std::chrono::steady_clock::now();
        }
        if (!fetched) store_.prefetch(digests, hashes);
        fetched = true;
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        outcomes_.push_back(add(*tier_, p, now));
      } catch (...) {
        abandon();
        throw;
      }
      held_ += outcomes_.back().evidence.size() + outcomes_.back().file.size();
      const bool long_open =
          outcomes_.size() % 256 == 0 && std::chrono::steady_clock::now() - opened_ >= kBatchTime;
      const std::size_t most = store_.far() ? kBatchReports : kNearBatchReports;
      if (!whole_ && (outcomes_.size() >= most || held_ >= kBatchBytes || long_open)) {
        flush();
        fetched = false;
      }
    }
    if (tier_) store_.settle();
  }

  // Each report tied in one snapshot; the learned placeholders read again
  // only when the registry changed since the last.
  void find_chunk(std::vector<Pending>& chunk) {
    std::vector<Digest> digests;
    std::vector<std::int64_t> hashes;
    keys(chunk, digests, hashes);
    Transaction read(store_, false);
    const std::int64_t version = store_.version();
    if (find_state_.version != version) {
      const std::vector<ComponentKey> learned = store_.learned();
      find_state_.learned = {learned.begin(), learned.end()};
      find_state_.version = version;
    }
    Tier tier(store_, find_state_.learned);
    tier.steer();
    store_.prefetch(digests, hashes);
    std::deque<Outcome> outcomes;
    for (Pending& p : chunk) outcomes.push_back(find(tier, p));
    read.commit();
    for (const Outcome& outcome : outcomes) each_(outcome);
  }

  void abandon() {
    store_.rollback();
    tier_.reset();
    outcomes_.clear();
    audit_.clear();
    held_ = 0;
  }

  // The batch's audit rows, one per sender, in its transaction: no report
  // is ever stored without the row that names it.
  void write_audit() {
    if (audit_.empty()) return;
    std::vector<AuditEntry> entries;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (auto& [who, entry] : audit_) {
      entry.who = who;
      entry.when = now;
      entry.action = AuditAction::kAdd;
      entry.detail = how_;
      std::sort(entry.machines.begin(), entry.machines.end());
      entry.machines.erase(std::unique(entry.machines.begin(), entry.machines.end()),
                           entry.machines.end());
      entry.machine_count = static_cast<std::int64_t>(entry.machines.size());
      entries.push_back(std::move(entry));
    }
    audit_.clear();
    append_audit(store_.database(), entries);
  }

  // last: the add's end, where a folder's mark goes in with the reports.
  void flush(bool last = false) {
    const bool marking = last && mark_;
    if (!tier_ && !marking) return;
    try {
      if (!tier_) store_.begin_write();
      if (marking) store_.set_collect_mark(mark_->first, mark_->second);
      write_audit();
      store_.commit();
    } catch (...) {
      abandon();
      throw;
    }
    mark_.reset();
    tier_.reset();
    std::deque<Outcome> outcomes;
    outcomes.swap(outcomes_);
    held_ = 0;
    for (const Outcome& outcome : outcomes) each_(outcome);
  }

  // The outcome of an item so far: what it is and where it came from (its
  // mail where outcomes are told whole, or for a message without a report).
  Outcome outcome_of(const Pending& p) const {
    Outcome outcome;
    outcome.file = p.item.name;
    outcome.digest = p.digest;
    if (evidence_ || p.item.no_report) outcome.mail = p.item.mail;
    outcome.no_report = p.item.no_report;
    return outcome;
  }

  // A report stored with the same bytes: its outcome, or nothing.
  std::optional<Outcome> known(const Pending& p) {
    if (!p.identifies) return std::nullopt;
    const auto earlier = store_.find_digest(p.digest);
    if (!earlier) return std::nullopt;
    Outcome outcome = outcome_of(p);
    outcome.status = Status::kDuplicate;
    outcome.record = earlier->record;
    outcome.machine = earlier->machine;
    outcome.reason = earlier->reason;
    if (earlier->machine) outcome.name = name_of(store_.machine(*earlier->machine));
    return outcome;
  }

  Outcome add(Tier& tier, Pending& p, std::int64_t now) {
    if (auto duplicate = known(p)) return std::move(*duplicate);
    Outcome outcome = outcome_of(p);
    StoredReport stored;
    stored.id = store_.next_id();
    stored.digest = outcome.digest;
    // The item is spent here: what it holds is moved, not copied.
    stored.file = std::move(p.item.name);
    stored.received = now;
    stored.note = p.item.note.value_or(note_);
    stored.rules = reader::kRegistryRulesVersion;
    stored.bytes = std::move(p.item.bytes);
    // A message without a report keeps its mail even when its head gave none.
    if (p.item.mail) {
      stored.mail = std::move(p.item.mail);
    } else if (p.item.no_report) {
      stored.mail = MailOrigin{};
    }
    stored.no_report = p.item.no_report;
    outcome.record = stored.id;
    AuditEntry& audit = audit_[p.item.who.value_or(who_)];
    audit.add_record(stored.id);
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
    audit.machines.push_back(*stored.machine);
    tier.record(stored.id, now, identity, decision, p.shown);
    outcome.status = Status::kStored;
    outcome.machine = stored.machine;
    outcome.match = stored.match;
    outcome.name = identity.name;
    if (decision.match == Match::kChanged) outcome.changed = changes_text(decision.changes);
    if (evidence_) outcome.evidence = std::move(stored.evidence);
    return outcome;
  }

  Outcome find(Tier& tier, Pending& p) {
    if (auto duplicate = known(p)) return std::move(*duplicate);
    Outcome outcome = outcome_of(p);
    if (p.reason) {
      outcome.status = Status::kRejected;
      outcome.reason = *p.reason;
      return outcome;
    }
    const Decision decision = tier.decide(tier.without_placeholders(std::move(p.identity)));
    outcome.status = Status::kStored;
    outcome.machine = decision.machine;
    outcome.match = name_of(decision.match);
    if (decision.machine) outcome.name = name_of(store_.machine(*decision.machine));
    if (decision.match == Match::kChanged) outcome.changed = changes_text(decision.changes);
    outcome.evidence = evidence_json(decision);
    return outcome;
  }

  Store& store_;
  Registry::FindState& find_state_;
  Mode mode_;
  std::string note_;
  std::string who_;
  std::string how_;
  // What this batch stored, by sender: written with it.
  std::map<std::string, AuditEntry> audit_;
  OutcomeSink each_;
  bool evidence_;
  bool whole_;
  std::optional<std::pair<std::string, CollectMark>> mark_;
  std::vector<Pending> reading_;  // the caller's
  // Between the two threads, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Pending> waiting_;
  bool ended_ = false;  // waiting_ is the last chunk
  bool done_ = false;   // the tying thread has ended
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread worker_;        // last but two: the members it uses outlive it
  std::optional<Tier> tier_;  // set while a batch is open
  std::chrono::steady_clock::time_point opened_;
  // A deque: no doubling copy of the whole batch as it grows.
  std::deque<Outcome> outcomes_;
  std::size_t held_ = 0;
};

namespace {

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
  Replay decisions(store);
  std::vector<std::optional<Identity>> identities;
  std::vector<std::vector<ShownValue>> shown;
  std::vector<std::int64_t> hashes;
  for (Id after = 0;;) {
    auto page = store.reports_after(after, kPage, true);
    if (page.empty()) break;
    store.attach_mail(page);
    // The page read first: its keys' machines asked for at once.
    identities.assign(page.size(), std::nullopt);
    shown.assign(page.size(), {});
    hashes.clear();
    for (std::size_t i = 0; i < page.size(); ++i) {
      const StoredReport& stored = page[i];
      // Rejected or void: nothing to tie. (A report void until now has no
      // machine either, but no reason.)
      if (!stored.reason.empty() || decisions.voided(stored.id)) continue;
      auto read = shown_of(stored);
      if (!read) continue;
      identities[i] = std::move(read->identity);
      shown[i] = std::move(read->values);
      for (const ComponentKey& key : keys_of(*identities[i])) hashes.push_back(key_hash(key));
    }
    store.prefetch({}, hashes);
    for (std::size_t i = 0; i < page.size(); ++i) {
      const StoredReport& stored = page[i];
      after = stored.id;
      if (!identities[i]) continue;
      decisions.before(stored.id, tier);
      const Identity identity = tier.without_placeholders(std::move(*identities[i]));
      const Decision decision = tier.decide(identity);
      const Id machine = tier.record(stored.id, stored.received, identity, decision, shown[i]);
      decisions.tied(stored.id, machine);
      if (retie) {
        store.retie_report(stored.id, machine,
                           decision.machine ? std::optional<Id>(decision.previous) : std::nullopt,
                           name_of(decision.match), reader::kRegistryRulesVersion,
                           evidence_json(decision));
      }
      if (tick) tick();
    }
    store.settle();
  }
  decisions.finish(tier);
}

// Calls each for up to limit of items (none: all); true when more remained.
template <typename T, typename Each>
bool take(std::vector<T>& items, std::size_t left, Each&& each) {
  const bool more = items.size() > left;
  if (more) items.resize(left);
  for (const T& item : items) each(item);
  return more;
}

// Reads pages of fetch(after, n) in key order until limit items (none: all)
// went to each; true when more remained past the limit.
template <typename Fetch, typename KeyOf, typename Each>
bool paged(Id after, std::optional<std::size_t> limit, std::size_t page, Fetch&& fetch,
           KeyOf&& key_of, Each&& each) {
  std::size_t left = limit.value_or(std::numeric_limits<std::size_t>::max());
  while (left > 0) {
    const std::size_t want = std::min(left, page);
    auto items = fetch(after, static_cast<int>(want + 1));
    const bool fuller = items.size() > want;
    if (fuller) items.resize(want);
    if (items.empty()) return false;
    after = key_of(items.back());
    left -= items.size();
    each(items);
    if (!fuller) return false;
  }
  return true;
}

// Pages made on a thread of their own while the caller's thread shows the
// ones before: a long listing costs the larger of reading and showing rather
// than their sum. make(give) runs on the new thread and hands each page to
// give(), which waits while two are not yet shown. An exception on either
// side ends both and reaches the caller, after the pages made before it.
template <typename Page>
void made_ahead(const std::function<void(const std::function<void(Page)>&)>& make,
                const std::function<void(Page&)>& show) {
  struct Stopped {};
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Page> ready;
  bool ended = false;
  bool stop = false;
  std::exception_ptr error;
  std::thread maker([&] {
    try {
      make([&](Page page) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return ready.size() < 2 || stop; });
        if (stop) throw Stopped{};
        ready.push_back(std::move(page));
        changed.notify_all();
      });
    } catch (const Stopped&) {  // the caller has stopped showing
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex);
      error = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    changed.notify_all();
  });
  try {
    for (;;) {
      Page page;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !ready.empty() || ended; });
        if (ready.empty()) break;
        page = std::move(ready.front());
        ready.pop_front();
        changed.notify_all();
      }
      show(page);
    }
  } catch (...) {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      stop = true;
      changed.notify_all();
    }
    maker.join();
    throw;
  }
  maker.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace

Registry::Registry(std::unique_ptr<Store> store)
    : store_(std::move(store)), find_state_(std::make_unique<FindState>()) {}
Registry::~Registry() = default;

std::unique_ptr<Registry> Registry::open(const std::string& location, bool create) {
  return std::unique_ptr<Registry>(new Registry(Store::open(location, create)));
}

const std::string& Registry::location() const { return store_->location(); }

std::unique_ptr<Registry::Adder> Registry::adder(std::string note, OutcomeSink each, bool evidence,
                                                 bool whole) {
  return std::make_unique<Intake>(*store_, *find_state_, Intake::Mode::kAdd, std::move(note),
                                  std::move(each), evidence, whole, who_, how_);
}

std::unique_ptr<Registry::Adder> Registry::finder(OutcomeSink each) {
  return std::make_unique<Intake>(*store_, *find_state_, Intake::Mode::kFind, std::string(),
                                  std::move(each), true, false);
}

Outcome Registry::find(Item item) {
  Outcome found;
  auto one = finder([&found](const Outcome& outcome) { found = outcome; });
  one->push(std::move(item));
  one->finish();
  return found;
}

void tie_again(Store& store, const std::function<void()>& tick) {
  // First pass: learn every placeholder the reports show, from nothing, so
  // that a second rebuild learns the same. Second pass: tie with all of them
  // known from the start.
  store.clear_ties(true);
  replay(store, false, tick);
  store.clear_ties(false);
  replay(store, true, tick);
}

void Registry::rebuild(const std::function<void(const Move& move)>& each,
                       const std::function<void()>& tick) {
  Transaction write(*store_, true);
  const std::vector<Assignment> before = assignments_of(*store_);
  tie_again(*store_, tick);
  // The same reports in the same order: rebuild adds and removes none.
  const std::vector<Assignment> after = assignments_of(*store_);
  std::vector<Move> moves;
  std::vector<AuditEntry> audit(1);
  AuditEntry& entry = audit.front();
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (before[i].machine != after[i].machine) {
      moves.push_back({after[i].record, before[i].machine, after[i].machine});
      entry.add_record(after[i].record);
      for (const auto& m : {before[i].machine, after[i].machine}) {
        if (m) entry.machines.push_back(*m);
      }
    }
  }
  std::sort(entry.machines.begin(), entry.machines.end());
  entry.machines.erase(std::unique(entry.machines.begin(), entry.machines.end()),
                       entry.machines.end());
  entry.machine_count = static_cast<std::int64_t>(entry.machines.size());
  entry.who = who_;
  entry.when = static_cast<std::int64_t>(std::time(nullptr));
  entry.action = AuditAction::kRebuild;
  entry.detail = std::to_string(moves.size()) + " reports moved";
  append_audit(store_->database(), audit);
  write.commit();
  for (const Move& move : moves) each(move);
}

std::vector<Assignment> Registry::assignments() {
  Transaction read(*store_, false);
  return assignments_of(*store_);
}

void Registry::copy_from(Registry& from, const std::function<void()>& tick) {
  Store& src = *from.store_;
  Store& dst = *store_;
  Transaction read(src, false);
  Transaction write(dst, true);
  if (!dst.reports_after(0, 1, false).empty()) {
    throw Error("registry " + dst.location() + ": holds reports already; copy needs an empty one");
  }
  for (Id after = 0;;) {
    auto page = src.reports_after(after, kPage, true);
    if (page.empty()) break;
    src.attach_mail(page);
    for (const StoredReport& report : page) {
      dst.insert_report(report);
      if (tick) tick();
    }
    after = page.back().id;
  }
  for (Id after = 0;;) {
    const auto page = src.machines_after(after, kPage);
    if (page.empty()) break;
    for (const MachineRow& machine : page) dst.put_machine(machine, true);
    after = page.back().id;
  }
  for (std::pair<std::int64_t, Id> after{INT64_MIN, 0};;) {
    const auto page = src.index_after(after, kPage);
    if (page.empty()) break;
    for (const auto& [hash, machine] : page) dst.index({hash}, machine);
    after = page.back();
  }
  for (const auto& [key, machine] : src.witnesses()) dst.witness(key, machine);
  for (const ComponentKey& key : src.learned()) dst.learn(key);
  for (const auto& [machine, other] : src.clone_links()) dst.link_clone(machine, other);
  for (const auto& [key, machine] : src.sightings()) dst.sight(key, machine);
  for (Id after = 0;;) {
    const auto page = src.search_chunks_after(after, 64);
    if (page.empty()) break;
    for (const auto& [id, entries] : page) dst.insert_search_chunk(id, entries);
    after = page.back().first;
  }
  for (const auto& [folder, mark] : src.collect_marks()) dst.set_collect_mark(folder, mark);
  for (const Correction& c : src.corrections()) dst.insert_correction(c);
  for (const auto& [record, decision] : src.voided_all()) dst.set_voided(record, decision);
  for (const auto& [machine, name, value] : src.labels_all()) dst.set_label(machine, name, value);
  // People and robots go too: a copy without them would be open to anyone.
  Accounts from_accounts(src, {}, true);
  Accounts to_accounts(dst, {}, true);
  for (const Account& user : from_accounts.users()) to_accounts.add_user(user);
  for (const RobotToken& token : from_accounts.tokens()) to_accounts.add_token(token);
  copy_audit(src.database(), dst.database());
  write.commit();
  read.commit();
}

bool Registry::machines(const MachineQuery& query,
                        const std::function<void(const MachineListing&)>& each) {
  Store& store = *store_;
  Transaction read(store, false);
  const std::size_t left = query.limit.value_or(std::numeric_limits<std::size_t>::max());
  // A page of rows with their latest reports and labels, read at once; the
  // listings see the reports in the page's own block.
  struct Page {
    ReportTexts texts;
    std::vector<MachineListing> listings;
  };
  const auto listings_of = [&store](std::vector<MachineRow> rows) {
    std::vector<Id> ids;
    ids.reserve(rows.size());
    for (const MachineRow& row : rows) ids.push_back(row.latest);
    Page page;
    page.texts = store.report_bytes(std::move(ids));
    const std::vector<ReportText>& reports = page.texts.reports;
    ids.clear();
    for (const MachineRow& row : rows) ids.push_back(row.id);
    auto labels = store.labels_of(ids);
    page.listings.reserve(rows.size());
    for (MachineRow& row : rows) {
      MachineListing& listing = page.listings.emplace_back();
      const auto it = std::lower_bound(reports.begin(), reports.end(), row.latest,
                                       [](const ReportText& r, Id id) { return r.id < id; });
      if (it != reports.end() && it->id == row.latest) listing.latest = *it;
      if (const auto at = labels.find(row.id); at != labels.end()) listing.labels = at->second;
      listing.row = std::move(row);
    }
    return page;
  };
  const auto show = [&](Page& page) {
    for (const MachineListing& listing : page.listings) each(listing);
  };
  bool more = false;
  const search::Query text = search::query_of(query.text);
  if (text.empty() && !query.label_name) {
    const auto list = [&](const std::function<void(Page)>& give) {
      more = paged(
          query.after, query.limit, kListPage,
          [&](Id after, int n) { return store.listed_after(after, n); },
          [](const MachineRow& row) { return row.id; },
          [&](std::vector<MachineRow>& rows) { give(listings_of(std::move(rows))); });
    };
    if (left > kListPage && kTwoCpus) {
      made_ahead<Page>(list, show);
    } else {
      list([&](Page page) { show(page); });
    }
  } else {
    std::vector<Id> ids;
    // Without a label, a page needs the text's first hits and one more.
    const std::size_t enough =
        query.label_name || left == std::numeric_limits<std::size_t>::max() ? 0 : left + 1;
    if (!text.empty()) ids = store.search(text, query.after, enough);
    if (query.label_name) {
      // Labelled machines are few: all of them, then the text's among them.
      std::vector<Id> labelled;
      for (Id from = query.after;;) {
        const auto page = store.labelled(*query.label_name, query.label_value, from, kPage);
        if (page.empty()) break;
        from = page.back();
        labelled.insert(labelled.end(), page.begin(), page.end());
      }
      if (!text.empty()) {
        std::vector<Id> both;
        std::set_intersection(ids.begin(), ids.end(), labelled.begin(), labelled.end(),
                              std::back_inserter(both));
        labelled.swap(both);
      }
      ids.swap(labelled);
    }
    ids.erase(ids.begin(), std::upper_bound(ids.begin(), ids.end(), query.after));
    more = ids.size() > left;
    if (more) ids.resize(left);
    for (std::size_t at = 0; at < ids.size(); at += kListPage) {
      const std::size_t end = std::min(ids.size(), at + kListPage);
      auto page = listings_of(store.machines({ids.begin() + static_cast<std::ptrdiff_t>(at),
                                              ids.begin() + static_cast<std::ptrdiff_t>(end)}));
      show(page);
    }
  }
  read.commit();
  return more;
}

std::optional<MachineView> Registry::machine(Id id) {
  Store& store = *store_;
  Transaction read(store, false);
  auto row = store.machine(id);
  if (!row) return std::nullopt;
  MachineView view{*row, {}, {}, {}};
  // Read a page at a time: a machine may have sent a great many.
  const std::vector<Id> records = records_of(row->records);
  for (std::size_t at = 0; at < records.size(); at += kPage) {
    const std::size_t end = std::min(records.size(), at + kPage);
    auto page = store.reports({records.begin() + static_cast<std::ptrdiff_t>(at),
                               records.begin() + static_cast<std::ptrdiff_t>(end)},
                              true);
    store.attach_mail(page);
    for (StoredReport& r : page) view.reports.push_back(std::move(r));
  }
  if (row->clone_group) {
    for (const Id twin : store.clone_group(*row->clone_group)) {
      if (twin != id) view.twins.push_back(twin);
    }
  }
  if (auto labels = store.labels_of({id}); !labels.empty()) view.labels = labels.begin()->second;
  read.commit();
  return view;
}

std::optional<Assignment> Registry::assignment_of(Id record) {
  Transaction read(*store_, false);
  const auto reports = store_->reports({record}, false);
  read.commit();
  if (reports.empty()) return std::nullopt;
  return Assignment{record, reports.front().machine};
}

std::optional<HistoryPage> Registry::history(Id machine, Id after,
                                             std::optional<std::size_t> limit) {
  Store& store = *store_;
  Transaction read(store, false);
  const auto row = store.machine(machine);
  if (!row) return std::nullopt;
  const std::vector<Id> records = records_of(row->records);
  const auto first = std::upper_bound(records.begin(), records.end(), after);
  const std::size_t left = limit.value_or(std::numeric_limits<std::size_t>::max());
  const auto count = static_cast<std::size_t>(records.end() - first);
  HistoryPage page;
  page.more = count > left;
  std::vector<Id> ids(first, first + static_cast<std::ptrdiff_t>(std::min(count, left)));
  std::optional<Id> before;
  if (first != records.begin()) before = *(first - 1);
  for (std::size_t at = 0; at < ids.size(); at += kPage) {
    const std::size_t end = std::min(ids.size(), at + kPage);
    auto reports = store.reports({ids.begin() + static_cast<std::ptrdiff_t>(at),
                                  ids.begin() + static_cast<std::ptrdiff_t>(end)},
                                 true);
    store.attach_mail(reports);
    for (StoredReport& r : reports) page.reports.push_back(std::move(r));
  }
  if (before) {
    auto reports = store.reports({*before}, true);
    if (!reports.empty()) page.before = std::move(reports.front());
  }
  read.commit();
  return page;
}

bool Registry::clones(Id after, std::optional<std::size_t> limit,
                      const std::function<void(const CloneGroup&)>& each) {
  Store& store = *store_;
  Transaction read(store, false);
  const bool more = paged(
      after, limit, kListPage, [&](Id from, int n) { return store.clone_groups_after(from, n); },
      [](Id group) { return group; },
      [&](const std::vector<Id>& groups) {
        // Three reads for groups of a thousand machines or so, not three a group.
        const std::vector<std::pair<Id, Id>> members = store.clone_members(groups);
        std::size_t at = 0;
        while (at < members.size()) {
          std::size_t end = at;
          while (end < members.size() &&
                 (end - at < kListPage || members[end].first == members[end - 1].first)) {
            ++end;
          }
          std::vector<Id> machines;
          for (std::size_t i = at; i < end; ++i) machines.push_back(members[i].second);
          std::map<Id, Id> latest_of;
          std::vector<Id> latest;
          for (const MachineRow& row : store.machines(machines)) {
            latest_of.emplace(row.id, row.latest);
            latest.push_back(row.latest);
          }
          std::map<Id, StoredReport> reports;
          for (StoredReport& r : store.reports(std::move(latest), true)) {
            const Id id = r.id;
            reports.emplace(id, std::move(r));
          }
          while (at < end) {
            CloneGroup g;
            const Id group = members[at].first;
            std::vector<Id> ids;
            for (; at < end && members[at].first == group; ++at) {
              g.machines.push_back(members[at].second);
              if (const auto it = latest_of.find(members[at].second); it != latest_of.end()) {
                ids.push_back(it->second);
              }
            }
            std::sort(ids.begin(), ids.end());
            for (const Id id : ids) {
              if (const auto it = reports.find(id); it != reports.end()) {
                g.latest.push_back(it->second);
              }
            }
            each(g);
          }
        }
      });
  read.commit();
  return more;
}

bool Registry::placeholders(std::size_t after, std::optional<std::size_t> limit,
                            const std::function<void(const Store::Placeholder&)>& each) {
  Transaction read(*store_, false);
  std::vector<Store::Placeholder> all = store_->placeholders();
  read.commit();
  std::stable_partition(all.begin(), all.end(),
                        [](const Store::Placeholder& p) { return !p.learned; });
  all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(after, all.size())));
  return take(all, limit.value_or(std::numeric_limits<std::size_t>::max()), each);
}

bool Registry::rejected(Id after, std::optional<std::size_t> limit,
                        const std::function<void(const StoredReport&)>& each) {
  Store& store = *store_;
  Transaction read(store, false);
  const bool more = paged(
      after, limit, static_cast<std::size_t>(kPage),
      [&](Id from, int n) { return store.rejected_after(from, n); },
      [](const StoredReport& r) { return r.id; },
      [&](const std::vector<StoredReport>& page) {
        for (const StoredReport& r : page) each(r);
      });
  read.commit();
  return more;
}

bool Registry::rejected_messages(Id after, std::optional<std::size_t> limit,
                                 const std::function<void(const StoredReport&)>& each) {
  Store& store = *store_;
  Transaction read(store, false);
  const bool more = paged(
      after, limit, static_cast<std::size_t>(kPage),
      [&](Id from, int n) { return store.no_report_after(from, n); },
      [](const StoredReport& r) { return r.id; },
      [&](const std::vector<StoredReport>& page) {
        for (const StoredReport& r : page) each(r);
      });
  read.commit();
  return more;
}

std::vector<AuditEntry> Registry::audit(const AuditQuery& query) {
  Transaction read(*store_, false);
  auto rows = audit_rows(store_->database(), query);
  read.commit();
  return rows;
}

void Registry::log(std::vector<AuditEntry>& entries) {
  if (entries.empty()) return;
  // Outside the store's batches, and no change to what the listings show.
  sql::Database& db = store_->database();
  db.begin_write();
  try {
    append_audit(db, entries);
    db.commit();
  } catch (...) {
    db.rollback();
    throw;
  }
}

std::optional<CollectMark> Registry::collect_mark(const std::string& folder) {
  Transaction read(*store_, false);
  auto mark = store_->collect_mark(folder);
  read.commit();
  return mark;
}

void Registry::set_collect_mark(const std::string& folder, const CollectMark& mark) {
  Transaction write(*store_, true);
  store_->set_collect_mark(folder, mark);
  write.commit();
}

}  // namespace zavro::registry
