// Bad inputs through the whole record: adapter counts from a faked list.
#include <gtest/gtest.h>

#include "app/report_driver.hpp"
#include "collectors/mac_addresses.hpp"

namespace zavro {
namespace {

// A platform list of n adapters that fits the first buffer.
class CountedAdapters : public AdapterListSource {
 public:
  explicit CountedAdapters(std::size_t n) : n_(n) {}
  std::uint32_t get(unsigned char*, std::uint32_t*) override { return n_ == 0 ? 232 : kNoError; }
  std::vector<MacBytes> addresses(const unsigned char*) override {
    std::vector<MacBytes> out;
    for (std::size_t i = 0; i < n_; ++i)
      out.push_back(
          {0x02, 0, 0, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
    return out;
  }

 private:
  std::size_t n_;
};

std::string mac_value_in_record(std::size_t adapters) {
  const Collectors collectors{[] { return ""; }, [] { return ""; }, [] { return ""; },
                              [adapters] {
                                CountedAdapters list(adapters);
                                return compose_addresses(read_adapter_list(list));
                              },
                              [](const char*) { return ""; }};
  const std::string record = collect_record(collectors);
  const std::size_t start = record.find("<MacAddresses>") + 14;
  return record.substr(start, record.find("</MacAddresses>") - start);
}

TEST(FaultAdapterCounts, ValueHoldsWholeSubElementsUpToTheBufferLimit) {
  EXPECT_EQ(mac_value_in_record(0), "");
  EXPECT_EQ(mac_value_in_record(1), "<M0>02:00:00:00:00:00</M0>");
  const std::string eleven = mac_value_in_record(11);
  EXPECT_EQ(eleven.size(), 10 * 26 + 28u);
  EXPECT_EQ(eleven.substr(eleven.size() - 28), "<M10>02:00:00:00:00:0A</M10>");
  EXPECT_EQ(mac_value_in_record(18).size(), 484u);
  const std::string nineteen = mac_value_in_record(19);
  EXPECT_EQ(nineteen.size(), 511u);
  EXPECT_EQ(nineteen.substr(484), "<M18>02:00:00:00:00:12</M18");
  // Nothing of the 20th and later adapters reaches the record.
  EXPECT_EQ(mac_value_in_record(40), nineteen);
}

}  // namespace
}  // namespace zavro
