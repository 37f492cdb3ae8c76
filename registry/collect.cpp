#include "registry/collect.hpp"

#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "registry/mail.hpp"

namespace zavro::registry {

CollectCounts collect_once(
    ImapFolder& folder, Registry& registry, CollectState& state, const CollectOptions& options,
    const CollectOutcomeSink& each_outcome,
    const std::function<void(const CollectedMessage& message)>& each_message) {
  CollectCounts counts;
  const std::uint32_t validity = folder.uidvalidity();
  const std::optional<CollectMark> mark = state.mark(folder.name());
  std::uint32_t last = 0;
  if (mark && mark->uidvalidity == validity) {
    last = mark->last_uid;
  } else if (mark) {
    counts.uidvalidity_changed = true;
  }
  const std::vector<std::uint32_t> uids = folder.uids_after(last);
  if (uids.empty() && (!mark || mark->uidvalidity != validity)) {
    state.set_mark(folder.name(), {validity, 0});
  }
  const std::size_t batch = options.batch == 0 ? 1 : options.batch;
  for (std::size_t start = 0; start < uids.size(); start += batch) {
    std::vector<CollectedMessage> messages;
    // Per item pushed, in order: no_report and origin, for its outcome.
    std::deque<std::pair<bool, std::optional<MailOrigin>>> items;
    std::size_t told = 0;  // outcomes told of the message at next
    std::size_t next = 0;  // the message the next outcome belongs to
    auto adder = registry.adder(
        options.note,
        [&](const Outcome& outcome) {
          while (told == messages[next].reports) {
            ++next;
            told = 0;
          }
          ++told;
          const auto [no_report, origin] = std::move(items.front());
          items.pop_front();
          if (no_report || outcome.status == Status::kRejected) messages[next].refused = true;
          if (each_outcome) each_outcome(outcome, no_report, origin);
        },
        false);
    MessageReader reader(
        [&](Item& item) {
          ++messages.back().reports;
          items.emplace_back(item.no_report, item.mail);
          adder->push(std::move(item));
          return true;
        },
        options.max_message);
    for (std::size_t i = start; i < uids.size() && i < start + batch; ++i) {
      const auto fetched =
          folder.fetch(uids[i], validity, options.max_message, reader::kMaxFileSize + 1);
      if (!fetched) continue;  // gone since the listing
      CollectedMessage& message = messages.emplace_back();
      message.uid = uids[i];
      message.name = folder.name() + ':' + std::to_string(uids[i]);
      reader.clear();
      reader.append(fetched->bytes);
      if (!fetched->whole && fetched->size > fetched->bytes.size()) {
        reader.skip(static_cast<std::size_t>(fetched->size - fetched->bytes.size()));
      }
      reader.read(message.name);
    }
    adder->finish();
    // Committed: only now is each message moved and the mark moved past it.
    for (const CollectedMessage& message : messages) {
      const std::string& to = message.refused ? options.refused : options.done;
      if (!to.empty()) folder.move(message.uid, to);
      state.set_mark(folder.name(), {validity, message.uid});
      ++counts.messages;
      if (message.refused) ++counts.refused;
      if (each_message) each_message(message);
    }
  }
  return counts;
}

CollectCounts collect(ImapFolder& folder, Registry& registry, CollectState& state,
                      const CollectOptions& options, std::optional<std::chrono::seconds> watch,
                      const std::function<bool()>& stop, const CollectOutcomeSink& each_outcome,
                      const std::function<void(const CollectedMessage& message)>& each_message) {
  CollectCounts total;
  for (;;) {
    const CollectCounts pass =
        collect_once(folder, registry, state, options, each_outcome, each_message);
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
