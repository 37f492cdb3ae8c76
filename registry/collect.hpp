// collect: what is new in an IMAP folder added to the registry, a message at
// a time, each moved away only once its reports are committed. Where the run
// left off (the folder's UIDVALIDITY and the last UID done) is kept by a
// CollectState, so that the next run reads only what came since.
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

// Where a folder was left: its UIDVALIDITY then, and the last UID done.
struct CollectMark {
  std::uint32_t uidvalidity = 0;
  std::uint32_t last_uid = 0;
};

class CollectState {
 public:
  virtual ~CollectState() = default;
  // folder: ImapFolder::name(), which names the server, the user and the folder.
  virtual std::optional<CollectMark> mark(const std::string& folder) = 0;
  // Called once a message's reports are committed and it has been moved.
  virtual void set_mark(const std::string& folder, const CollectMark& mark) = 0;
};

struct CollectOptions {
  std::string done;     // folder for a message whose reports were stored or known; empty: left
  std::string refused;  // folder for one without a report, or with one rejected; empty: left
  std::string note;     // stored with each report
  std::size_t max_message = std::size_t{64} << 20;
  std::size_t batch = 256;  // messages committed together before they are moved
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

// Told for each item once committed: its outcome, whether it stands for a
// message without a report, and its message's origin.
using CollectOutcomeSink = std::function<void(const Outcome& outcome, bool no_report,
                                              const std::optional<MailOrigin>& origin)>;

// One pass: every message above the mark, in UID order, a batch at a time:
// its items added, the batch committed, then each message moved (done or
// refused) and the mark moved past it. A changed UIDVALIDITY reads the folder
// again from the start (what was stored is known by its digest). Throws
// ImapError or Error; what was committed and moved before stays so, and the
// mark says so.
CollectCounts collect_once(
    ImapFolder& folder, Registry& registry, CollectState& state, const CollectOptions& options,
    const CollectOutcomeSink& each_outcome,
    const std::function<void(const CollectedMessage& message)>& each_message);

// collect_once, and with watch set, again each time the folder may hold new
// mail (IDLE where the server offers it, otherwise every watch seconds) until
// stop() turns true (asked about every second). Returns the sums of all passes.
CollectCounts collect(ImapFolder& folder, Registry& registry, CollectState& state,
                      const CollectOptions& options, std::optional<std::chrono::seconds> watch,
                      const std::function<bool()>& stop, const CollectOutcomeSink& each_outcome,
                      const std::function<void(const CollectedMessage& message)>& each_message);

}  // namespace zavro::registry
