#include <thread>

#include "collectors/processor_count.hpp"

namespace zavro {

std::string processor_count() {
  static OnceCount count(
      [] { return static_cast<std::uint32_t>(std::thread::hardware_concurrency()); });
  return count.text();
}

}  // namespace zavro
