#include "registry/search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace zavro::registry::search {
namespace {

// Many machines' values, as a large batch gives them.
std::vector<std::tuple<Id, Field, std::string>> values(int machines) {
  std::vector<std::tuple<Id, Field, std::string>> all;
  for (int m = 1; m <= machines; ++m) {
    all.emplace_back(m, Field::kText, fold("DESKTOP-" + std::to_string(m * 7919)));
    all.emplace_back(m, Field::kText, fold("PF3ABC" + std::to_string(m)));
    all.emplace_back(
        m, Field::kAddress,
        hex_address(std::string("\x00\x1b\x21", 3) + std::string(1, static_cast<char>(m >> 16)) +
                    std::string(1, static_cast<char>(m >> 8)) +
                    std::string(1, static_cast<char>(m))));
  }
  return all;
}

TEST(SearchChunks, AreFullButTheLastAndGiveBackEveryEntry) {
  ChunkBuilder builder;
  const std::vector<std::tuple<Id, Field, std::string>> all = values(20000);
  std::size_t bytes = 0;
  for (const auto& [machine, field, text] : all) {
    builder.add(machine, field, text);
    bytes += text.size();
  }
  const std::vector<std::string> chunks = builder.finish();
  // Every chunk but the last at least half full: a search reads few rows.
  ASSERT_LE(chunks.size(), bytes / (kChunkBytes / 2) + 1);
  std::vector<std::tuple<Id, Field, std::string>> back;
  for (const std::string& chunk : chunks) {
    EXPECT_LE(chunk.size(), kChunkBytes);
    entries(chunk, [&](Id machine, Field field, std::string_view text) {
      back.emplace_back(machine, field, std::string(text));
    });
  }
  // Each chunk's span: its machines' range, and its addresses after split.
  for (const std::string& chunk : chunks) {
    const Span span = span_of(chunk);
    Id low = INT64_MAX;
    Id high = 0;
    entries(chunk, [&](Id machine, Field field, std::string_view text) {
      low = std::min(low, machine);
      high = std::max(high, machine);
      const std::string_view area = std::string_view(chunk).substr(
          field == Field::kText ? 0 : static_cast<std::size_t>(span.split),
          field == Field::kText ? static_cast<std::size_t>(span.split) : std::string_view::npos);
      EXPECT_NE(area.find(text), std::string_view::npos) << text;
    });
    EXPECT_EQ(span.low, low);
    EXPECT_EQ(span.high, high);
  }
  EXPECT_EQ(span_of(chunks[0].substr(0, 100)).high, 0);
  // Each chunk gives its names and serials, then its addresses.
  std::sort(back.begin(), back.end());
  std::vector<std::tuple<Id, Field, std::string>> sorted = all;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(back, sorted);
}

// Machines seen again among new ones: each chunk keeps to one range of ids,
// and every entry comes back once, whether taken early or at the end.
TEST(SearchChunks, RangedChunksEachKeepToOneRange) {
  RangedBuilder builder;
  std::vector<std::tuple<Id, Field, std::string>> all;
  std::vector<std::string> chunks;
  for (const auto& [machine, field, text] : values(20000)) {
    const Id id = machine * 9;
    const Id again = (machine * 7919) % id + 1;
    for (const Id m : {id, again}) {
      builder.add(m, field, text);
      all.emplace_back(m, field, text);
    }
    if (machine % 5000 == 0) {
      for (std::string& chunk : builder.take_done()) chunks.push_back(std::move(chunk));
    }
  }
  for (std::string& chunk : builder.finish()) chunks.push_back(std::move(chunk));
  EXPECT_TRUE(builder.empty());
  std::vector<std::tuple<Id, Field, std::string>> back;
  for (const std::string& chunk : chunks) {
    const Span span = span_of(chunk);
    EXPECT_EQ(span.low / kRangeIds, span.high / kRangeIds);
    entries(chunk, [&](Id machine, Field field, std::string_view text) {
      back.emplace_back(machine, field, std::string(text));
    });
  }
  std::sort(back.begin(), back.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(back, all);
}

TEST(SearchChunks, ScanFindsEachKindOfQueryAndNothingInADamagedChunk) {
  ChunkBuilder builder;
  for (const auto& [machine, field, text] : values(300)) builder.add(machine, field, text);
  const std::vector<std::string> chunks = builder.finish();
  const struct {
    const char* query;
    std::vector<Id> machines;
  } cases[] = {
      {"pf3abc217", {217}},          // a whole serial, case aside
      {"Desktop-1718423", {217}},    // a name
      {"00:1B:21:00:01:2c", {300}},  // an address with separators
      {"1b2100012c", {300}},         // a fragment without them
      {"no such value", {}},
  };
  // An address form only where it could be one.
  EXPECT_EQ(query_of("00-1B:2c").address, "001b2c");
  EXPECT_EQ(query_of("Desktop-17").address, "");
  for (const auto& c : cases) {
    std::vector<Id> found;
    for (const std::string& chunk : chunks) scan(chunk, query_of(c.query), found);
    EXPECT_EQ(found, c.machines) << c.query;
    std::vector<Id> damaged;
    for (std::string chunk : chunks) {
      chunk.resize(chunk.size() / 2);
      scan(chunk, query_of(c.query), damaged);
    }
    EXPECT_TRUE(damaged.empty()) << c.query;
  }
}

// Every needle length around the sixteen bytes compared at once, at the
// start, middle and end of values, and values at a chunk's very end: scan
// finds exactly the entries that hold the needle, a machine once for each.
TEST(SearchChunks, ScanAgreesWithAPlainSearchAtEveryLength) {
  const auto all = values(3000);
  ChunkBuilder builder;
  for (const auto& [machine, field, text] : all) builder.add(machine, field, text);
  const std::vector<std::string> chunks = builder.finish();
  ASSERT_GT(chunks.size(), 1U);
  const std::size_t machines[] = {1, 1234, 2999, 3000};
  const std::size_t lengths[] = {1, 2, 3, 5, 15, 16, 17, 18};
  for (const std::size_t m : machines) {
    for (std::size_t field = 0; field < 3; ++field) {
      const std::string& value = std::get<2>(all[(m - 1) * 3 + field]);
      for (const std::size_t length : lengths) {
        for (std::size_t start = 0; start + length <= value.size(); start += 4) {
          const std::string needle = value.substr(start, length);
          std::vector<Id> expected;
          for (const auto& [machine, f, text] : all) {
            if (text.find(needle) != std::string::npos) expected.push_back(machine);
          }
          std::vector<Id> found;
          for (const std::string& chunk : chunks) scan(chunk, Query{needle, needle}, found);
          std::sort(found.begin(), found.end());
          EXPECT_EQ(found, expected) << needle;
        }
      }
    }
  }
}

// A damaged registry: any byte of a chunk changed is read without reading
// past it (the sanitizer preset would stop), and never gives more machines
// than it has entries (each pass below at most one per entry).
TEST(SearchChunks, AChunkWithAnyByteChangedIsReadSafely) {
  ChunkBuilder builder;
  for (const auto& [machine, field, text] : values(40)) builder.add(machine, field, text);
  const std::vector<std::string> chunks = builder.finish();
  ASSERT_EQ(chunks.size(), 1U);
  for (std::size_t i = 0; i < chunks[0].size(); ++i) {
    for (const char b : {'\0', '\x7f', '\xff'}) {
      std::string chunk = chunks[0];
      chunk[i] = b;
      std::vector<Id> found;
      scan(chunk, query_of("0"), found);
      scan(chunk, query_of("desktop"), found);
      entries(chunk, [&](Id machine, Field, std::string_view) { found.push_back(machine); });
      const Span span = span_of(chunk);
      EXPECT_LE(span.low, span.high) << i;
      EXPECT_LE(span.split, static_cast<std::int64_t>(chunk.size())) << i;
      EXPECT_LE(found.size(), std::size_t{360}) << i;  // three passes, 120 entries
    }
  }
}

}  // namespace
}  // namespace zavro::registry::search
