// Logical processor count, computed once per process.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace zavro {

// Runs its query at most once, on the first text() call, even with
// concurrent first callers; later calls return the stored count.
class OnceCount {
 public:
  explicit OnceCount(std::function<std::uint32_t()> query) : query_(std::move(query)) {}
  std::string text();

 private:
  std::function<std::uint32_t()> query_;
  std::once_flag once_;
  std::uint32_t count_ = 0;
};

// The ProcessorCount value in decimal.
std::string processor_count();

}  // namespace zavro
