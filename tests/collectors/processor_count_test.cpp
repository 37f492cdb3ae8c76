#include "collectors/processor_count.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace zavro {
namespace {

TEST(OnceCount, QueriesOnceAndKeepsTheFirstAnswer) {
  int calls = 0;
  std::uint32_t answer = 8;
  OnceCount count([&] {
    ++calls;
    return answer;
  });
  EXPECT_EQ(count.text(), "8");
  answer = 64;
  EXPECT_EQ(count.text(), "8");
  EXPECT_EQ(calls, 1);
}

TEST(OnceCount, PrintsUnsignedDecimal) {
  EXPECT_EQ(OnceCount([] { return 0u; }).text(), "0");
  EXPECT_EQ(OnceCount([] { return 4294967295u; }).text(), "4294967295");
}

TEST(OnceCount, ConcurrentFirstCallersShareOneQuery) {
  std::atomic<int> calls{0};
  OnceCount count([&] {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 3u;
  });
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (std::size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&, i] { seen[i] = count.text(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
  for (const auto& s : seen) EXPECT_EQ(s, "3");
}

TEST(ProcessorCount, ThisMachineGivesAStablePositiveCount) {
  const std::string first = processor_count();
  EXPECT_EQ(first.find_first_not_of("0123456789"), std::string::npos) << first;
  EXPECT_NE(first, "0");
  EXPECT_EQ(processor_count(), first);
}

}  // namespace
}  // namespace zavro
