// Any bytes as an IMAP server's answers, one per command the client sends
// (split at "\n====\n"; "@@" in an answer stands for the command's tag). The
// first byte picks the flow and how many bytes each read gets. Either a whole
// collect into a registry that lives for the whole run, or the folder's calls
// one by one: UIDs ascending above the one asked for, messages within their
// caps and in UID order; errors are ImapErrors holding no control byte.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.hpp"
#include "fuzz/temp_tree.hpp"
#include "registry/collect.hpp"
#include "registry/imap.hpp"
#include "registry/registry.hpp"

namespace {

namespace rg = zavro::registry;

constexpr std::size_t kMax = 4096;
constexpr std::size_t kHead = 100;

// The answers, shared by every link the folder opens.
struct Script {
  std::vector<std::string> answers;
  std::size_t next = 0;
  std::string pending;  // sent, not yet read
  std::size_t chunk = 0;
  std::string tag = "*";
};

class ScriptLink final : public rg::ImapLink {
 public:
  explicit ScriptLink(Script& script) : script_(script) {}

  void send(std::string_view text) override {
    const std::size_t space = text.find(' ');
    // DONE ends IDLE: its answer is still the IDLE command's.
    if (space != std::string_view::npos && text.find("\r\n") > space) {
      script_.tag = std::string(text.substr(0, space));
    }
    if (script_.next >= script_.answers.size()) return;
    const std::string& answer = script_.answers[script_.next++];
    for (std::size_t i = 0; i < answer.size(); ++i) {
      if (answer.compare(i, 2, "@@") == 0) {
        script_.pending += script_.tag;
        ++i;
      } else {
        script_.pending += answer[i];
      }
    }
  }

  bool receive(std::string& in, const std::function<bool()>& stop) override {
    if (script_.pending.empty()) {
      if (stop && stop()) return false;
      throw rg::ImapError("the server closed the connection");
    }
    const std::size_t n = std::min(script_.pending.size(), script_.chunk);
    in.append(script_.pending, 0, n);
    script_.pending.erase(0, n);
    return true;
  }

 private:
  Script& script_;
};

class MemoryState final : public rg::CollectState {
 public:
  std::optional<rg::CollectMark> mark(const std::string& folder) override {
    const auto found = marks_.find(folder);
    if (found == marks_.end()) return std::nullopt;
    return found->second;
  }
  void set_mark(const std::string& folder, const rg::CollectMark& mark) override {
    marks_[folder] = mark;
  }

 private:
  std::map<std::string, rg::CollectMark> marks_;
};

void check_error(const rg::ImapError& error) {
  const std::string_view text = error.what();
  ZAVRO_FUZZ_CHECK(text.rfind("imaps://fuzz@example/INBOX: ", 0) == 0);
  ZAVRO_FUZZ_CHECK(std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  }));
}

void calls(rg::ImapFolder& folder) {
  const std::uint32_t validity = folder.uidvalidity();
  ZAVRO_FUZZ_CHECK(validity != 0);
  const std::uint32_t after = 2;
  const std::vector<std::uint32_t> uids = folder.uids_after(after);
  for (std::size_t i = 0; i < uids.size(); ++i) {
    ZAVRO_FUZZ_CHECK(uids[i] > after);
    ZAVRO_FUZZ_CHECK(i == 0 || uids[i] > uids[i - 1]);
  }
  std::optional<std::uint32_t> last;
  folder.fetch(uids, validity, kMax, kHead, [&](rg::ImapFolder::Message& message) {
    ZAVRO_FUZZ_CHECK(std::binary_search(uids.begin(), uids.end(), message.uid));
    ZAVRO_FUZZ_CHECK(!last || message.uid > *last);
    ZAVRO_FUZZ_CHECK(message.bytes.size() <= (message.whole ? kMax : kHead));
    last = message.uid;
  });
  folder.move(uids, "Done");
  folder.wait(0, std::chrono::seconds(60), [] { return true; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zavro::fuzz::TempDir tree;
  static const std::unique_ptr<rg::Registry> registry =
      rg::Registry::open(tree / "registry.sqlite", true);
  if (size == 0) return 0;
  Script script;
  script.chunk = data[0] >> 1 == 0 ? SIZE_MAX : data[0] >> 1;
  const bool whole_collect = (data[0] & 1) == 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  constexpr std::string_view kSplit = "\n====\n";
  for (std::size_t at = 0;;) {
    const std::size_t end = bytes.find(kSplit, at);
    script.answers.emplace_back(bytes.substr(at, end - at));
    if (end == std::string_view::npos) break;
    at = end + kSplit.size();
  }

  rg::ImapFolder folder("imaps://fuzz@example/INBOX", "INBOX",
                        [&script] { return std::make_unique<ScriptLink>(script); });
  try {
    if (whole_collect) {
      MemoryState state;
      rg::CollectOptions options;
      options.done = "Done";
      options.refused = "Refused";
      options.max_message = kMax;
      options.batch = 3;
      const rg::CollectCounts counts = rg::collect_once(folder, *registry, state, options, {}, {});
      ZAVRO_FUZZ_CHECK(counts.refused <= counts.messages);
    } else {
      calls(folder);
    }
  } catch (const rg::ImapError& error) {
    check_error(error);
  }
  return 0;
}
