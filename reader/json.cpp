#include "reader/json.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

namespace zavro::reader {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void escape_code_unit(std::string& out, unsigned unit) {
  out += "\\u";
  out += kHex[(unit >> 12) & 0xF];
  out += kHex[(unit >> 8) & 0xF];
  out += kHex[(unit >> 4) & 0xF];
  out += kHex[unit & 0xF];
}

// One code point below U+0100 as nlohmann escapes it with ensure_ascii.
void escape_latin1(std::string& out, unsigned char byte) {
  switch (byte) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (byte < 0x20 || byte >= 0x7F) {
    escape_code_unit(out, byte);
  } else {
    out += static_cast<char>(byte);
  }
}

bool plain(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
}

template <class Integer>
void append_number(std::string& out, Integer value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, static_cast<std::size_t>(result.ptr - text));
}

}  // namespace

void JsonLine::separate() {
  if (comma_) out_ += ',';
  comma_ = true;
}

JsonLine& JsonLine::begin_object() {
  separate();
  out_ += '{';
  comma_ = false;
  return *this;
}

JsonLine& JsonLine::end_object() {
  out_ += '}';
  comma_ = true;
  return *this;
}

JsonLine& JsonLine::begin_array() {
  separate();
  out_ += '[';
  comma_ = false;
  return *this;
}

JsonLine& JsonLine::end_array() {
  out_ += ']';
  comma_ = true;
  return *this;
}

JsonLine& JsonLine::key(std::string_view name) {
  separate();
  out_ += '"';
  out_.append(name.data(), name.size()).append("\":", 2);
  comma_ = false;
  return *this;
}

JsonLine& JsonLine::number(std::uint64_t value) {
  separate();
  append_number(out_, value);
  return *this;
}

JsonLine& JsonLine::number(std::int64_t value) {
  separate();
  append_number(out_, value);
  return *this;
}

JsonLine& JsonLine::boolean(bool value) {
  separate();
  out_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::null() {
  separate();
  out_ += "null";
  return *this;
}

JsonLine& JsonLine::latin1(std::string_view bytes) {
  separate();
  out_ += '"';
  // Runs that need no escape go in whole: most values are plain ASCII.
  std::size_t run = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (plain(byte)) continue;
    out_.append(bytes.data() + run, i - run);
    escape_latin1(out_, byte);
    run = i + 1;
  }
  out_.append(bytes.data() + run, bytes.size() - run);
  out_ += '"';
  return *this;
}

JsonLine& JsonLine::raw(std::string_view json) {
  separate();
  out_ += json;
  return *this;
}

JsonLine& JsonLine::text(std::string_view utf8) {
  bool plain = true;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      plain = false;
      break;
    }
  }
  if (plain) return latin1(utf8);
  // Rare: let nlohmann decide what is valid UTF-8 and what gets U+FFFD.
  separate();
  out_ += nlohmann::json(std::string(utf8))
              .dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  return *this;
}

}  // namespace zavro::reader
