#include "collectors/processor_count.hpp"

namespace zavro {

std::string OnceCount::text() {
  std::call_once(once_, [this] { count_ = query_(); });
  return std::to_string(count_);
}

}  // namespace zavro
