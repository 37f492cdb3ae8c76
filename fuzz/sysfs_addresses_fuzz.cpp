// The sysfs address reader over a tree built from the input: interfaces with
// known ifindex, flags and address files must come out exactly (loopback
// left out, ifindex order, short addresses zero-padded); arbitrary files
// around them may add entries but never break that.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "collectors/mac_addresses.hpp"
#include "fuzz/fuzz_check.hpp"
#include "fuzz/temp_tree.hpp"

namespace {

using zavro::fuzz::Kind;
using zavro::fuzz::TempDir;

Kind consume_kind(FuzzedDataProvider& input) {
  return input.PickValueInArray({Kind::kMissing, Kind::kFile, Kind::kDirectory});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TempDir tree;
  zavro::fuzz::clear(tree);
  FuzzedDataProvider input(data, size);

  const int count = input.ConsumeIntegralInRange(0, 12);
  std::vector<std::pair<long, zavro::MacBytes>> expected;
  bool only_known = true;
  for (int i = 0; i < count; ++i) {
    const std::string dir = "e" + std::to_string(i) + "/";
    if (input.ConsumeBool()) {
      const long index = input.ConsumeIntegralInRange<long>(-100000, 100000);
      const auto flags = input.ConsumeIntegral<std::uint16_t>();
      const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 8);
      zavro::MacBytes bytes{};
      std::string address;
      for (std::size_t b = 0; b < length; ++b) {
        const auto byte = input.ConsumeIntegral<std::uint8_t>();
        if (b < bytes.size()) bytes[b] = byte;
        char pair[4];
        std::snprintf(pair, sizeof pair, b == 0 ? "%02x" : ":%02x", byte);
        address += pair;
      }
      char flags_text[16];
      std::snprintf(flags_text, sizeof flags_text, "0x%x\n", flags);
      zavro::fuzz::make(tree, dir + "ifindex", Kind::kFile, std::to_string(index) + "\n");
      zavro::fuzz::make(tree, dir + "flags", Kind::kFile, flags_text);
      zavro::fuzz::make(tree, dir + "address", Kind::kFile, address + "\n");
      if ((flags & 0x8) == 0) expected.emplace_back(index, bytes);
    } else {
      only_known = false;
      if (input.ConsumeBool()) {
        zavro::fuzz::make(tree, dir.substr(0, dir.size() - 1), Kind::kFile, "not a directory");
        continue;
      }
      for (const char* file : {"ifindex", "flags", "address"})
        zavro::fuzz::make(tree, dir + file, consume_kind(input),
                          input.ConsumeRandomLengthString(40));
    }
  }

  const std::vector<zavro::MacBytes> found = zavro::read_sysfs_addresses(tree.path());
  ZAVRO_FUZZ_CHECK(found.size() <= static_cast<std::size_t>(count));
  ZAVRO_FUZZ_CHECK(found.size() >= expected.size());
  for (const auto& e : expected) {
    const auto want = std::count(found.begin(), found.end(), e.second);
    const auto have = std::count_if(expected.begin(), expected.end(),
                                    [&e](const auto& x) { return x.second == e.second; });
    ZAVRO_FUZZ_CHECK(want >= have);
  }
  if (only_known) {
    ZAVRO_FUZZ_CHECK(found.size() == expected.size());
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Equal ifindexes leave their order to the directory listing.
    const bool distinct =
        std::adjacent_find(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
          return a.first == b.first;
        }) == expected.end();
    if (distinct)
      for (std::size_t i = 0; i < expected.size(); ++i)
        ZAVRO_FUZZ_CHECK(found[i] == expected[i].second);
  }
  return 0;
}
