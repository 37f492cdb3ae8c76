#include "reader/json.hpp"

#include <charconv>
#include <cstddef>

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
  separate();
  out_ += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      escape_latin1(out_, lead);
      ++i;
      continue;
    }
    // The shortest form only: no overlong sequence, no surrogate, nothing
    // above U+10FFFF (RFC 3629).
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0Fu;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code_point = lead & 0x07u;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      out_ += "\\ufffd";
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k < length && i + k < utf8.size(); ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) break;
      code_point = (code_point << 6) | (next & 0x3Fu);
    }
    // As nlohmann replaces: one U+FFFD for the sequence so far, then the
    // byte that broke it is read again.
    if (k < length) {
      out_ += "\\ufffd";
      i += k;
      continue;
    }
    if (code_point <= 0xFFFF) {
      escape_code_unit(out_, code_point);
    } else {
      escape_code_unit(out_, 0xD7C0 + (code_point >> 10));
      escape_code_unit(out_, 0xDC00 + (code_point & 0x3FF));
    }
    i += length;
  }
  out_ += '"';
  return *this;
}

}  // namespace zavro::reader
