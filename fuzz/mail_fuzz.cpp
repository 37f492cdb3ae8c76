// Any bytes as a mail message, in memory and as an mbox, then added to one
// registry that lives for the whole run: every message yields at least one
// item, each within the read limit and named after its message; a message
// without a report says so; every item ends stored, duplicate or rejected.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.hpp"
#include "fuzz/temp_tree.hpp"
#include "reader/reader.hpp"
#include "registry/input.hpp"
#include "registry/mail.hpp"
#include "registry/registry.hpp"

namespace {

namespace rg = zavro::registry;
using zavro::reader::kMaxFileSize;

// Small enough that the fuzzer reaches the refusal of a large message.
constexpr std::size_t kMaxMessage = 4096;

void check_item(const rg::Item& item, const std::string& name) {
  ZAVRO_FUZZ_CHECK(item.bytes.size() <= kMaxFileSize + 1);
  ZAVRO_FUZZ_CHECK(!item.unreadable || !item.unreadable->empty());
  ZAVRO_FUZZ_CHECK(item.unreadable || item.bytes.size() <= kMaxFileSize);
  ZAVRO_FUZZ_CHECK(item.name.rfind(name, 0) == 0);
  ZAVRO_FUZZ_CHECK(!item.no_report || item.unreadable == std::string(rg::kNoReport));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zavro::fuzz::TempDir tree;
  static const std::unique_ptr<rg::Registry> registry =
      rg::Registry::open(tree / "registry.sqlite", true);
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::vector<rg::Item> items;
  const auto keep = [&items](const std::string& name) {
    return [&items, name](rg::Item& item) {
      check_item(item, name);
      items.push_back(item);
      return true;
    };
  };
  ZAVRO_FUZZ_CHECK(rg::read_message("m", bytes, keep("m"), {}, kMaxMessage));
  ZAVRO_FUZZ_CHECK(!items.empty());
  if (size > kMaxMessage) {
    ZAVRO_FUZZ_CHECK(items.size() == 1 && items[0].name == "m" && items[0].unreadable);
  }
  const std::string mbox = tree / "in.mbox";
  tree.write("in.mbox", bytes);
  rg::ReadOptions options;
  options.max_message = kMaxMessage;
  ZAVRO_FUZZ_CHECK(rg::read_inputs({mbox}, keep(mbox + ':'), {}, options));
  std::filesystem::remove(mbox);

  std::size_t outcomes = 0;
  auto adder = registry->adder("fuzz", [&outcomes](const rg::Outcome& outcome) {
    ++outcomes;
    ZAVRO_FUZZ_CHECK(outcome.status != rg::Status::kRejected || !outcome.reason.empty());
  });
  for (const rg::Item& item : items) adder->push(item);
  adder->finish();
  ZAVRO_FUZZ_CHECK(outcomes == items.size());
  return 0;
}
