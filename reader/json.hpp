// JSON lines written as they are built: no document tree, no allocation per
// value. The bytes are those nlohmann's dump(-1, ' ', true, replace) gives,
// so output written before stays byte for byte the same.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zavro::reader {

class JsonLine {
 public:
  JsonLine& begin_object();
  JsonLine& end_object();
  JsonLine& begin_array();
  JsonLine& end_array();
  // Keys are the program's own ASCII names: written unescaped.
  JsonLine& key(std::string_view name);
  JsonLine& number(std::uint64_t value);
  JsonLine& number(std::int64_t value);
  JsonLine& number(int value) { return number(static_cast<std::int64_t>(value)); }
  JsonLine& number(unsigned value) { return number(static_cast<std::uint64_t>(value)); }
  JsonLine& boolean(bool value);
  JsonLine& null();
  // A value's bytes, byte b as the code point U+00bb.
  JsonLine& latin1(std::string_view bytes);
  // Text meant as UTF-8 (a file name): valid sequences kept, invalid bytes as U+FFFD.
  JsonLine& text(std::string_view utf8);
  // A value that is already JSON (one this program wrote).
  JsonLine& raw(std::string_view json);

  const std::string& str() const { return out_; }
  void clear() {
    out_.clear();
    comma_ = false;
  }

 private:
  void separate();
  std::string out_;
  bool comma_ = false;
};

}  // namespace zavro::reader
