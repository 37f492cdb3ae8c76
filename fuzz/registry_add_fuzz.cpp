// Any bytes as reports and as an archive's members, added to one registry
// that lives for the whole run: every report ends stored, duplicate or
// rejected, a stored one on a machine, and what is stored reads back.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.hpp"
#include "fuzz/temp_tree.hpp"
#include "registry/input.hpp"
#include "registry/registry.hpp"

namespace {

namespace rg = zavro::registry;

// Several reports from one input, so that they tie to one another.
std::vector<std::string> split(std::string_view bytes) {
  std::vector<std::string> parts;
  for (std::size_t at = 0;;) {
    const std::size_t end = bytes.find("\n--\n", at);
    parts.emplace_back(bytes.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) break;
    at = end + 4;
  }
  return parts;
}

void check(const rg::Outcome& outcome) {
  switch (outcome.status) {
    case rg::Status::kStored:
      ZAVRO_FUZZ_CHECK(outcome.machine.has_value() && !outcome.match.empty());
      ZAVRO_FUZZ_CHECK(*outcome.machine <= outcome.record);
      break;
    case rg::Status::kRejected:
      ZAVRO_FUZZ_CHECK(!outcome.machine && !outcome.reason.empty());
      break;
    case rg::Status::kDuplicate:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zavro::fuzz::TempDir tree;
  static const std::unique_ptr<rg::Registry> registry =
      rg::Registry::open(tree / "registry.sqlite", true);
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::vector<rg::Item> items;
  for (std::string& part : split(bytes)) {
    rg::Item item;
    item.name = "part";
    item.bytes = std::move(part);
    items.push_back(std::move(item));
  }
  // The same bytes as an archive: members the archive reader makes of them.
  tree.write("in.tar", bytes);
  rg::read_inputs({tree / "in.tar"}, [&](rg::Item& item) {
    items.push_back(item);
    return true;
  });

  std::vector<rg::Outcome> outcomes;
  auto adder = registry->adder("fuzz", [&](const rg::Outcome& o) { outcomes.push_back(o); });
  for (const rg::Item& item : items) adder->push(item);
  adder->finish();
  ZAVRO_FUZZ_CHECK(outcomes.size() == items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    check(outcomes[i]);
    const rg::Outcome found = registry->find(items[i]);
    // Empty or cut-short bytes identify nothing: rejected afresh every time.
    if (items[i].bytes.empty() || items[i].unreadable) {
      ZAVRO_FUZZ_CHECK(outcomes[i].status == rg::Status::kRejected);
      ZAVRO_FUZZ_CHECK(found.status == rg::Status::kRejected && !found.reason.empty());
      continue;
    }
    // Whatever else was kept is found again by its bytes, rejected or not.
    ZAVRO_FUZZ_CHECK(found.status == rg::Status::kDuplicate && found.record == outcomes[i].record);
  }
  return 0;
}
