// collect: what is new in an IMAP folder added to the registry, a batch of
// messages at a time, each moved away only once its reports are committed.
// Where the run left off (the folder's UIDVALIDITY and the last UID done) is
// kept by a CollectState, so that the next run reads only what came since.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "registry/imap.hpp"
#include "registry/registry.hpp"

namespace zavro::registry {

// Where a folder was left: CollectMark (registry/types.hpp).
class CollectState {
 public:
  virtual ~CollectState() = default;
  // folder: ImapFolder::name(), which names the server, the user and the folder.
  virtual std::optional<CollectMark> mark(const std::string& folder) = 0;
  virtual void set_mark(const std::string& folder, const CollectMark& mark) = 0;
  // Ends adder, committing its reports, and sets mark: one after the other
  // here; a state kept in the registry commits the mark with the reports.
  virtual void commit(Registry::Adder& adder, const std::string& folder, const CollectMark& mark) {
    adder.finish();
    set_mark(folder, mark);
  }
};

// The marks kept in the registry the reports go to (collect's registry must
// be this one), each committed in the transaction that stores what it covers.
class RegistryCollectState final : public CollectState {
 public:
  explicit RegistryCollectState(Registry& registry) : registry_(registry) {}
  std::optional<CollectMark> mark(const std::string& folder) override {
    return registry_.collect_mark(folder);
  }
  void set_mark(const std::string& folder, const CollectMark& mark) override {
    registry_.set_collect_mark(folder, mark);
  }
  void commit(Registry::Adder& adder, const std::string& folder, const CollectMark& mark) override {
    adder.finish_marked(folder, mark);
  }

 private:
  Registry& registry_;
};

struct CollectOptions {
  std::string done;     // folder for a message whose reports were stored or known; empty: left
  std::string refused;  // folder for one without a report, or with one rejected; empty: left
  std::string note;     // stored with each report
  std::size_t max_message = std::size_t{64} << 20;
  std::size_t batch = 256;  // messages committed together before they are moved
  bool evidence = false;    // outcomes whole, evidence and mail (Registry::adder)
};

// What became of one message, told once it is committed and moved.
struct CollectedMessage {
  std::uint32_t uid = 0;
  std::string name;  // "FOLDER-URL:UID"
  bool refused = false;
  std::size_t reports = 0;  // items it yielded, the no-report one included
};

struct CollectCounts {
  std::size_t messages = 0;
  std::size_t refused = 0;
  bool uidvalidity_changed = false;  // read again from the start
};

// One pass: first the messages a run before stored but did not move (found
// again by their digests, stored no second time, and moved); then every
// message above the mark, in UID order, a batch at a time: its items added
// and committed with the mark past it (last_uid; settled_uid where nothing is
// to be moved), then each message moved (done or refused) and the mark
// settled. A changed UIDVALIDITY reads the folder again from the start (what
// was stored is known by its digest). each_outcome is told of every item
// stored, once committed. stop() is asked between batches. Throws ImapError
// or Error; what was committed and moved before stays so, and the mark says so.
CollectCounts collect_once(ImapFolder& folder, Registry& registry, CollectState& state,
                           const CollectOptions& options, const OutcomeSink& each_outcome,
                           const std::function<void(const CollectedMessage& message)>& each_message,
                           const std::function<bool()>& stop = {});

// collect_once, and with watch set, again each time the folder may hold new
// mail (IDLE where the server offers it, otherwise every watch seconds) until
// stop() turns true (asked about every second). Returns the sums of all passes.
CollectCounts collect(ImapFolder& folder, Registry& registry, CollectState& state,
                      const CollectOptions& options, std::optional<std::chrono::seconds> watch,
                      const std::function<bool()>& stop, const OutcomeSink& each_outcome,
                      const std::function<void(const CollectedMessage& message)>& each_message);

}  // namespace zavro::registry
