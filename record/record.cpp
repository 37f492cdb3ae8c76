#include "record/record.hpp"

#include <algorithm>
#include <cstring>

namespace zavro {

const char* key_name(Key key) { return kKeyNames[static_cast<std::size_t>(key)]; }

std::string pass_through_buffer(const std::string& returned, ValueBuffer& buffer) {
  // A value ends at its first zero character, as a C text would.
  const std::size_t length =
      std::min({returned.size(), std::strlen(returned.c_str()), ValueBuffer::kSize - 1});
  std::memcpy(buffer.bytes.data(), returned.data(), length);
  buffer.bytes[length] = '\0';
  return std::string(buffer.bytes.data(), length);
}

std::string element(const std::string& value, const std::string& key) {
  std::string out;
  out.reserve(value.size() + 2 * key.size() + 5);
  out.append("<").append(key).append(">").append(value).append("</").append(key).append(">");
  return out;
}

std::string record_of(std::string first_four, const std::string& last_two) {
  first_four += last_two;
  return element(first_four, kRootKey);
}

std::string record_of(const std::array<std::string, kKeyCount>& elements) {
  return record_of(elements[0] + elements[1] + elements[2] + elements[3],
                   elements[4] + elements[5]);
}

}  // namespace zavro
