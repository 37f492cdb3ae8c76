#include "collectors/mac_addresses.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "record/record.hpp"

namespace zavro {
namespace {

MacBytes mac(std::uint8_t last) { return {0x00, 0x1A, 0x2B, 0x3C, 0x4D, last}; }

TEST(ComposeAddresses, OneSubElementPerAddressInOrder) {
  EXPECT_EQ(compose_addresses({}), "");
  EXPECT_EQ(compose_addresses({mac(0x5E)}), "<M0>00:1A:2B:3C:4D:5E</M0>");
  EXPECT_EQ(compose_addresses({{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}, {0xFF, 0, 0, 0, 0, 1}}),
            "<M0>0A:0B:0C:0D:0E:0F</M0><M1>FF:00:00:00:00:01</M1>");
  // Duplicates and zeros are kept, each with its own index.
  EXPECT_EQ(compose_addresses({MacBytes{}, MacBytes{}}),
            "<M0>00:00:00:00:00:00</M0><M1>00:00:00:00:00:00</M1>");
}

TEST(ComposeAddresses, TwoDigitIndexesTake28Characters) {
  const std::vector<MacBytes> eleven(11, mac(1));
  const std::string text = compose_addresses(eleven);
  EXPECT_EQ(text.size(), 10 * 26 + 28u);
  EXPECT_EQ(text.substr(260), "<M10>00:1A:2B:3C:4D:01</M10>");
}

TEST(ComposeAddresses, NineteenAdaptersLoseOnlyTheLastBracketInTheValueBuffer) {
  std::vector<MacBytes> many;
  for (std::uint8_t i = 0; i < 40; ++i) many.push_back(mac(i));
  const std::string composed =
      compose_addresses(std::vector<MacBytes>(many.begin(), many.begin() + 19));
  ASSERT_EQ(composed.size(), 512u);
  ValueBuffer buffer;
  const std::string kept = pass_through_buffer(compose_addresses(many), buffer);
  EXPECT_EQ(kept, composed.substr(0, 511));
  EXPECT_EQ(kept.substr(484), "<M18>00:1A:2B:3C:4D:12</M18");
  EXPECT_EQ(
      pass_through_buffer(compose_addresses(std::vector<MacBytes>(18, mac(0))), buffer).size(),
      484u);
}

// Answers get() from a script and records each call's offered size.
class ScriptedAdapterList : public AdapterListSource {
 public:
  struct Answer {
    std::uint32_t result;
    std::uint32_t size_after;  // what the call leaves in the size variable
  };
  explicit ScriptedAdapterList(std::deque<Answer> answers) : answers_(std::move(answers)) {}

  std::uint32_t get(unsigned char* buffer, std::uint32_t* size) override {
    offered.push_back(*size);
    buffers.push_back(buffer);
    if (answers_.empty()) {
      ADD_FAILURE() << "unexpected call";
      return 1;
    }
    const Answer a = answers_.front();
    answers_.pop_front();
    *size = a.size_after;
    return a.result;
  }
  std::vector<MacBytes> addresses(const unsigned char* buffer) override {
    walked = buffer;
    return {mac(1), mac(2)};
  }

  std::vector<std::uint32_t> offered;
  std::vector<const unsigned char*> buffers;
  const unsigned char* walked = nullptr;

 private:
  std::deque<Answer> answers_;
};

constexpr std::uint32_t kOk = AdapterListSource::kNoError;
constexpr std::uint32_t kOverflow = AdapterListSource::kBufferOverflow;
constexpr std::uint32_t kNoData = 232;  // ERROR_NO_DATA: no adapter at all

TEST(AdapterList, FitsFirstTimeStillCallsTwice) {
  ScriptedAdapterList list({{kOk, 704}, {kOk, 704}});
  EXPECT_EQ(read_adapter_list(list).size(), 2u);
  EXPECT_EQ(list.offered, (std::vector<std::uint32_t>{704, 704}));
  EXPECT_EQ(list.walked, list.buffers[1]);
}

TEST(AdapterList, OverflowRegrowsToTheReportedSizeOnce) {
  ScriptedAdapterList list({{kOverflow, 2112}, {kOk, 2112}});
  EXPECT_EQ(read_adapter_list(list).size(), 2u);
  EXPECT_EQ(list.offered, (std::vector<std::uint32_t>{704, 2112}));
  EXPECT_EQ(list.walked, list.buffers[1]);
}

TEST(AdapterList, OnlyTheSecondCallDecides) {
  ScriptedAdapterList grew({{kOverflow, 1408}, {kOverflow, 2112}});
  EXPECT_TRUE(read_adapter_list(grew).empty());
  EXPECT_EQ(grew.offered.size(), 2u);  // never a third call

  ScriptedAdapterList none({{kNoData, 704}, {kNoData, 704}});
  EXPECT_TRUE(read_adapter_list(none).empty());

  ScriptedAdapterList failed_then_fine({{kNoData, 704}, {kOk, 704}});
  EXPECT_EQ(read_adapter_list(failed_then_fine).size(), 2u);
  EXPECT_EQ(failed_then_fine.offered, (std::vector<std::uint32_t>{704, 704}));
}

}  // namespace
}  // namespace zavro
