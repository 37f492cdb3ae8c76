#include "registry/collect.hpp"

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "registry/mail.hpp"

namespace zavro::registry {
namespace {

// A batch also ends once its messages gave this many items (looked at after
// each window of messages), so that its transaction opens only when it is
// tied, not while messages are fetched.
constexpr std::size_t kBatchItems = 1024;

// The messages of a batch; outcomes come in the order their items went in,
// and each is counted to its message.
struct Batch {
  std::vector<CollectedMessage> messages;
  std::size_t items = 0;
  std::size_t told = 0;  // outcomes told of the message at next
  std::size_t next = 0;

  void tell(const Outcome& outcome) {
    while (told == messages[next].reports) {
      ++next;
      told = 0;
    }
    ++told;
    // A report rejected, or known as one, or no report at all.
    if (outcome.no_report || !outcome.machine) messages[next].refused = true;
  }
};

// Messages fetched and read a window at a time: one request for their
// sizes and one for the messages, not a round trip (or two) for each.
constexpr std::size_t kFetchWindow = 128;

// The messages with uids fetched (only the head of one too large) and their
// items handed to reader's sink; those gone since the listing are passed over.
void fetch_into(ImapFolder& folder, std::uint32_t validity, const std::uint32_t* uids,
                std::size_t count, const CollectOptions& options, MessageReader& reader,
                Batch& batch) {
  folder.fetch(std::vector<std::uint32_t>(uids, uids + count), validity, options.max_message,
               reader::kMaxFileSize + 1, [&](ImapFolder::Message& fetched) {
                 CollectedMessage& message = batch.messages.emplace_back();
                 message.uid = fetched.uid;
                 message.name = folder.name() + ':' + std::to_string(fetched.uid);
                 reader.clear();
                 reader.append(fetched.bytes);
                 if (!fetched.whole && fetched.size > fetched.bytes.size()) {
                   reader.skip(static_cast<std::size_t>(fetched.size - fetched.bytes.size()));
                 }
                 reader.read(message.name);
               });
}

// Each item read goes to adder, counted to the batch's last message.
MessageReader reader_into(Registry::Adder& adder, Batch& batch, std::size_t max_message) {
  return MessageReader(
      [&adder, &batch](Item& item) {
        ++batch.messages.back().reports;
        ++batch.items;
        adder.push(std::move(item));
        return true;
      },
      max_message);
}

// Each message of the batch moved by what became of it: the done ones in
// one command, the refused ones in another; then each told.
void move_all(ImapFolder& folder, const Batch& batch, const CollectOptions& options,
              CollectCounts& counts,
              const std::function<void(const CollectedMessage& message)>& each_message) {
  std::vector<std::uint32_t> done;
  std::vector<std::uint32_t> refused;
  for (const CollectedMessage& message : batch.messages) {
    (message.refused ? refused : done).push_back(message.uid);
  }
  if (!options.done.empty()) folder.move(done, options.done);
  if (!options.refused.empty()) folder.move(refused, options.refused);
  for (const CollectedMessage& message : batch.messages) {
    ++counts.messages;
    if (message.refused) ++counts.refused;
    if (each_message) each_message(message);
  }
}

}  // namespace

CollectCounts collect_once(ImapFolder& folder, Registry& registry, CollectState& state,
                           const CollectOptions& options, const OutcomeSink& each_outcome,
                           const std::function<void(const CollectedMessage& message)>& each_message,
                           const std::function<bool()>& stop) {
  CollectCounts counts;
  const std::string& name = folder.name();
  const std::uint32_t validity = folder.uidvalidity();
  const std::optional<CollectMark> mark = state.mark(name);
  const bool moving = !options.done.empty() || !options.refused.empty();
  std::uint32_t last = 0;
  std::uint32_t settled = 0;
  if (mark && mark->uidvalidity == validity) {
    last = mark->last_uid;
    settled = std::min(mark->settled_uid, last);
  } else if (mark) {
    counts.uidvalidity_changed = true;
  }
  std::vector<std::uint32_t> uids = folder.uids_after(moving ? settled : last);
  // Stored by a run that stopped before it moved them: found (stored no
  // second time) to tell where each goes, a window at a time.
  std::size_t fresh = 0;
  while (fresh < uids.size() && uids[fresh] <= last) ++fresh;
  for (std::size_t i = 0; i < fresh; i += kFetchWindow) {
    Batch batch;
    auto finder = registry.finder([&batch](const Outcome& outcome) { batch.tell(outcome); });
    MessageReader reader = reader_into(*finder, batch, options.max_message);
    fetch_into(folder, validity, &uids[i], std::min(kFetchWindow, fresh - i), options, reader,
               batch);
    finder->finish();
    move_all(folder, batch, options, counts, each_message);
  }
  if (settled < last || (!mark || mark->uidvalidity != validity)) {
    state.set_mark(name, {validity, last, last});
  }
  const std::size_t most = options.batch == 0 ? 1 : options.batch;
  for (std::size_t start = fresh; start < uids.size();) {
    if (stop && stop()) break;
    Batch batch;
    auto adder = registry.adder(
        options.note,
        [&](const Outcome& outcome) {
          batch.tell(outcome);
          if (each_outcome) each_outcome(outcome);
        },
        options.evidence, true);
    MessageReader reader = reader_into(*adder, batch, options.max_message);
    std::size_t end = start;
    while (end < uids.size() && end - start < most && batch.items < kBatchItems) {
      const std::size_t count = std::min({kFetchWindow, most - (end - start), uids.size() - end});
      fetch_into(folder, validity, &uids[end], count, options, reader, batch);
      end += count;
    }
    // Past every UID of the batch, those gone since the listing too.
    const std::uint32_t through = uids[end - 1];
    state.commit(*adder, name, {validity, through, moving ? last : through});
    // Committed: only now is each message moved, and then the mark settled.
    move_all(folder, batch, options, counts, each_message);
    if (moving) state.set_mark(name, {validity, through, through});
    last = through;
    start = end;
  }
  return counts;
}

CollectCounts collect(ImapFolder& folder, Registry& registry, CollectState& state,
                      const CollectOptions& options, std::optional<std::chrono::seconds> watch,
                      const std::function<bool()>& stop, const OutcomeSink& each_outcome,
                      const std::function<void(const CollectedMessage& message)>& each_message) {
  CollectCounts total;
  for (;;) {
    const CollectCounts pass =
        collect_once(folder, registry, state, options, each_outcome, each_message, stop);
    total.messages += pass.messages;
    total.refused += pass.refused;
    total.uidvalidity_changed = total.uidvalidity_changed || pass.uidvalidity_changed;
    if (!watch || (stop && stop())) return total;
    const std::optional<CollectMark> mark = state.mark(folder.name());
    if (!folder.wait(mark ? mark->last_uid : 0, *watch, stop)) {
      // No IDLE: a poll every watch seconds, still stopping within a second.
      const auto until = std::chrono::steady_clock::now() + *watch;
      while (std::chrono::steady_clock::now() < until && !(stop && stop())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
    if (stop && stop()) return total;
  }
}

}  // namespace zavro::registry
