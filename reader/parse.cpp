#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "reader/reader.hpp"
#include "record/address_element.hpp"

namespace zavro::reader {
namespace {

constexpr std::size_t kSeparatorCount = kKeyCount + 1;

// The fixed text before each value and after the last: "<Node><Cpuid>",
// "</Cpuid><MachineName>", ..., "</MotherboardSerial></Node>".
std::array<std::string, kSeparatorCount> make_separators() {
  std::array<std::string, kSeparatorCount> out;
  out[0] = std::string("<") + kRootKey + "><" + kKeyNames[0] + ">";
  for (std::size_t i = 1; i < kKeyCount; ++i) {
    out[i] = std::string("</") + kKeyNames[i - 1] + "><" + kKeyNames[i] + ">";
  }
  out[kKeyCount] = std::string("</") + kKeyNames[kKeyCount - 1] + "></" + kRootKey + ">";
  return out;
}
const std::array<std::string, kSeparatorCount> kSeparators = make_separators();

constexpr std::size_t kCpuidMin = 3;
constexpr std::size_t kCpuidMax = 21;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper_hex(char c) { return is_digit(c) || (c >= 'A' && c <= 'F'); }

std::size_t common_prefix(std::string_view text, std::size_t at, std::string_view expected) {
  const std::size_t n = std::min(text.size() - at, expected.size());
  std::size_t i = 0;
  while (i < n && text[at + i] == expected[i]) ++i;
  return i;
}

// "XX:XX:XX:XX:XX:XX", where 'X' stands for an upper-case hex digit.
constexpr std::string_view kAddressPattern = "XX:XX:XX:XX:XX:XX";
static_assert(kAddressPattern.size() == kAddressTextLength);

// How many bytes from `at` read as the start of the address element with
// this index; `whole` gets its full length.
std::size_t sub_element_match(std::string_view text, std::size_t at, unsigned index,
                              std::size_t& whole) {
  char pattern[kMaxAddressElement];
  whole = write_address_element(index, kAddressPattern, pattern);
  const std::size_t available = std::min(text.size() - at, whole);
  std::size_t i = 0;
  while (i < available &&
         (pattern[i] == 'X' ? is_upper_hex(text[at + i]) : text[at + i] == pattern[i])) {
    ++i;
  }
  return i;
}

// Horspool search for a separator: most steps skip many bytes, where
// string_view::find would stop at every "<" of the record.
class SeparatorSearch {
 public:
  explicit SeparatorSearch(std::string_view separator) : separator_(separator) {
    skip_.fill(static_cast<std::uint8_t>(separator.size()));
    for (std::size_t i = 0; i + 1 < separator.size(); ++i) {
      skip_[static_cast<unsigned char>(separator[i])] =
          static_cast<std::uint8_t>(separator.size() - 1 - i);
    }
  }

  std::string_view separator() const { return separator_; }

  // The first place at or after `from` where the separator lies whole in `text`.
  std::size_t find(std::string_view text, std::size_t from) const {
    const std::size_t n = separator_.size();
    for (std::size_t at = from; at + n <= text.size();) {
      const char last = text[at + n - 1];
      if (last == separator_[n - 1] && text.compare(at, n, separator_) == 0) return at;
      at += skip_[static_cast<unsigned char>(last)];
    }
    return std::string_view::npos;
  }

 private:
  std::string_view separator_;
  std::array<std::uint8_t, 256> skip_{};
};

// The separators that end a free value.
const SeparatorSearch kAfterMachineName(kSeparators[2]);
const SeparatorSearch kAfterBiosSerial(kSeparators[5]);
const SeparatorSearch kAfterMotherboardSerial(kSeparators[kKeyCount]);

// Counts every way the content splits into the six values, step by step over
// separator positions. The ProcessorCount and MacAddresses values cannot hold
// the separators around them, so each MachineName end leads to one BiosSerial
// start, and each BiosSerial end to at most one split: the work is bounded by
// the MachineName ends times one BiosSerial window, and splits are counted,
// never listed (there are at most a few hundred).
//
// With `diagnose`, it also finds the offset for a malformed record and what
// the grammar expected there: the furthest point any reading gets to, where a
// free value (MachineName, the serials) ends at each separator that follows
// it within 511 bytes, or, with none in reach, runs to its 511-byte limit or
// the end of the content. (Letting a free value swallow a separator would put
// every error after MachineName at the end of the content.)
class Splitter {
 public:
  Splitter(std::string_view text, bool diagnose) : text_(text), diagnose_(diagnose) {}

  void run() {
    if (!expect(0, kSeparators[0], "expected <Node><Cpuid> at the start")) return;
    const std::size_t s1 = kSeparators[0].size();
    std::size_t h = 0;
    while (s1 + h < text_.size() && h <= kCpuidMax && is_upper_hex(text_[s1 + h])) ++h;
    if (h > kCpuidMax) {
      reach(s1 + kCpuidMax, "expected </Cpuid><MachineName> after at most 21 Cpuid digits");
      return;
    }
    if (h < kCpuidMin) {
      reach(s1 + h, "expected 3 to 21 Cpuid digits 0-9A-F");
      return;
    }
    set(Key::kCpuid, s1, s1 + h);
    if (!expect(s1 + h, kSeparators[1], "expected </Cpuid><MachineName> after the Cpuid value")) {
      return;
    }
    const std::size_t s2 = s1 + h + kSeparators[1].size();
    each_end(s2, kAfterMachineName, "expected </MachineName><ProcessorCount> within 511 bytes",
             [&](std::size_t e2) { processor_count(s2, e2); });
  }

  std::uint64_t count() const { return count_; }
  const std::array<std::size_t, kKeyCount>& first_offset() const { return first_offset_; }
  const std::array<std::size_t, kKeyCount>& first_length() const { return first_length_; }
  std::size_t furthest() const { return furthest_; }
  std::string error() const {
    std::string out = furthest_ == text_.size() ? "content ends early: " : "";
    out += expected_ != nullptr ? expected_ : "";
    if (expected_index_ >= 0) {
      char element[kMaxAddressElement];
      out += ' ';
      out.append(element, write_address_element(static_cast<std::uint32_t>(expected_index_),
                                                kAddressPattern, element));
      out += " or </MacAddresses><BiosSerial>";
    }
    return out;
  }

 private:
  void processor_count(std::size_t s2, std::size_t e2) {
    set(Key::kMachineName, s2, e2);
    const std::size_t s3 = e2 + kSeparators[2].size();
    std::size_t d = 0;
    while (s3 + d < text_.size() && d <= kMaxValue && is_digit(text_[s3 + d])) ++d;
    if (d == 0) {
      reach(s3, "expected a decimal digit as the ProcessorCount value");
      return;
    }
    if (d > kMaxValue) {
      reach(s3 + kMaxValue, "expected </ProcessorCount><MacAddresses> within 511 bytes");
      return;
    }
    set(Key::kProcessorCount, s3, s3 + d);
    if (!expect(s3 + d, kSeparators[3],
                "expected </ProcessorCount><MacAddresses> after the ProcessorCount digits")) {
      return;
    }
    mac_addresses(s3 + d + kSeparators[3].size());
  }

  // Whole sub-elements in index order; only a value of exactly 511 bytes may
  // end inside one (the writer's cut).
  void mac_addresses(std::size_t s4) {
    const std::size_t limit = s4 + kMaxValue;
    std::size_t at = s4;
    for (unsigned index = 0;; ++index) {
      const std::size_t separator = common_prefix(text_, at, kSeparators[4]);
      if (separator == kSeparators[4].size()) {
        bios_serial(s4, at);
        return;
      }
      std::size_t whole = 0;
      const std::size_t matched = sub_element_match(text_, at, index, whole);
      if (matched == whole && at + whole <= limit) {
        at += whole;
        continue;
      }
      if (at < limit && limit < at + whole && matched >= limit - at && limit <= text_.size()) {
        if (expect(limit, kSeparators[4],
                   "expected </MacAddresses><BiosSerial> after the 511-byte cut")) {
          bios_serial(s4, limit);
        }
        return;
      }
      reach(at + std::max(separator, matched), "expected", static_cast<long>(index));
      return;
    }
  }

  void bios_serial(std::size_t s4, std::size_t e4) {
    set(Key::kMacAddresses, s4, e4);
    const std::size_t s5 = e4 + kSeparators[4].size();
    each_end(s5, kAfterBiosSerial, "expected </BiosSerial><MotherboardSerial> within 511 bytes",
             [&](std::size_t e5) { motherboard_serial(s5, e5); });
  }

  void motherboard_serial(std::size_t s5, std::size_t e5) {
    set(Key::kBiosSerial, s5, e5);
    const std::size_t s6 = e5 + kSeparators[5].size();
    const std::string& last = kSeparators[kKeyCount];
    if (!diagnose_) {
      // The last value runs to the final separator, which ends the content.
      if (text_.size() < s6 + last.size()) return;
      const std::size_t e6 = text_.size() - last.size();
      if (e6 - s6 <= kMaxValue && text_.compare(e6, last.size(), last) == 0) found(s6, e6);
      return;
    }
    each_end(s6, kAfterMotherboardSerial, "expected </MotherboardSerial></Node> within 511 bytes",
             [&](std::size_t e6) {
               if (e6 + last.size() == text_.size()) {
                 found(s6, e6);
               } else {
                 reach(e6 + last.size(), "expected the end of the content after </Node>");
               }
             });
  }

  // Calls next(e) for every end e of a free value starting at s: each place
  // within 511 bytes where `separator` follows.
  template <class Next>
  void each_end(std::size_t s, const SeparatorSearch& search, const char* expected, Next next) {
    const std::string_view separator = search.separator();
    const std::size_t limit = s + kMaxValue;
    const std::string_view window =
        text_.substr(0, std::min(text_.size(), limit + separator.size()));
    bool any = false;
    for (std::size_t e = search.find(window, s); e != std::string_view::npos;
         e = search.find(window, e + 1)) {
      any = true;
      next(e);
    }
    if (!diagnose_ || any) return;
    // No separator in reach: the value runs to its limit or the end of the
    // content, then as much of the separator as is there.
    const std::size_t end = std::min(text_.size(), limit);
    for (std::size_t e = std::max(s, end + 1 - std::min(end + 1, separator.size())); e <= end;
         ++e) {
      reach(e + common_prefix(text_, e, separator), expected);
    }
  }

  bool expect(std::size_t at, std::string_view separator, const char* expected) {
    const std::size_t n = common_prefix(text_, at, separator);
    if (n == separator.size()) return true;
    reach(at + n, expected);
    return false;
  }

  void reach(std::size_t at, const char* expected, long index = -1) {
    if (!diagnose_ || (expected_ != nullptr && at <= furthest_)) return;
    furthest_ = at;
    expected_ = expected;
    expected_index_ = index;
  }

  void set(Key key, std::size_t begin, std::size_t end) {
    offset_[static_cast<std::size_t>(key)] = begin;
    length_[static_cast<std::size_t>(key)] = end - begin;
  }

  void found(std::size_t s6, std::size_t e6) {
    set(Key::kMotherboardSerial, s6, e6);
    if (++count_ == 1) {
      first_offset_ = offset_;
      first_length_ = length_;
    }
  }

  std::string_view text_;
  bool diagnose_;
  std::uint64_t count_ = 0;
  std::array<std::size_t, kKeyCount> offset_{};
  std::array<std::size_t, kKeyCount> length_{};
  std::array<std::size_t, kKeyCount> first_offset_{};
  std::array<std::size_t, kKeyCount> first_length_{};
  std::size_t furthest_ = 0;
  const char* expected_ = nullptr;
  long expected_index_ = -1;
};

struct DecodeError {
  std::string text;
  std::size_t offset = 0;
};

std::string code_point_error(unsigned long code_point) {
  char text[64];
  std::snprintf(text, sizeof text, "code point U+%04lX is above U+00FF", code_point);
  return text;
}

bool continuation(std::string_view in, std::size_t at, unsigned char low = 0x80,
                  unsigned char high = 0xBF) {
  if (at >= in.size()) return false;
  const auto b = static_cast<unsigned char>(in[at]);
  return b >= low && b <= high;
}

// UTF-8 after its BOM: code points up to U+00FF become bytes.
bool from_utf8(std::string_view in, std::string& out, DecodeError& error) {
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    std::size_t length = 0;
    unsigned long code_point = 0;
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF && continuation(in, i + 1)) {
      length = 2;
      code_point = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
    } else if (b >= 0xE0 && b <= 0xEF &&
               continuation(in, i + 1, b == 0xE0 ? 0xA0 : 0x80, b == 0xED ? 0x9F : 0xBF) &&
               continuation(in, i + 2)) {
      length = 3;
      code_point = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 6) |
                   (static_cast<unsigned char>(in[i + 2]) & 0x3Fu);
    } else if (b >= 0xF0 && b <= 0xF4 &&
               continuation(in, i + 1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) &&
               continuation(in, i + 2) && continuation(in, i + 3)) {
      length = 4;
      code_point = ((b & 0x07u) << 18) | ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 12) |
                   ((static_cast<unsigned char>(in[i + 2]) & 0x3Fu) << 6) |
                   (static_cast<unsigned char>(in[i + 3]) & 0x3Fu);
    } else {
      error = {"invalid UTF-8", i};
      return false;
    }
    if (code_point > 0xFF) {
      error = {code_point_error(code_point), i};
      return false;
    }
    out.push_back(static_cast<char>(code_point));
    i += length;
  }
  return true;
}

// UTF-16 after its BOM: code units up to 0x00FF become bytes.
bool from_utf16(std::string_view in, bool big_endian, std::string& out, DecodeError& error) {
  if (in.size() % 2 != 0) {
    error = {"odd number of bytes in UTF-16", in.size() - 1};
    return false;
  }
  out.reserve(in.size() / 2);
  const auto unit_at = [&](std::size_t i) {
    const auto first = static_cast<unsigned char>(in[i]);
    const auto second = static_cast<unsigned char>(in[i + 1]);
    return big_endian ? (first << 8u) | second : (second << 8u) | first;
  };
  for (std::size_t i = 0; i < in.size(); i += 2) {
    const unsigned unit = static_cast<unsigned>(unit_at(i));
    if (unit <= 0xFF) {
      out.push_back(static_cast<char>(unit));
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 2 < in.size()) {
      const unsigned low = static_cast<unsigned>(unit_at(i + 2));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        error = {code_point_error(0x10000ul + ((unit - 0xD800ul) << 10) + (low - 0xDC00ul)), i};
        return false;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      error = {"unpaired surrogate in UTF-16", i};
      return false;
    }
    error = {code_point_error(unit), i};
    return false;
  }
  return true;
}

// Every line feed stands after a carriage return, and there is one.
bool text_mode(std::string_view text) {
  bool any = false;
  for (const char* p = text.data(); p != nullptr;) {
    const auto rest = static_cast<std::size_t>(text.data() + text.size() - p);
    const void* lf = std::memchr(p, '\n', rest);
    if (lf == nullptr) break;
    const char* at = static_cast<const char*>(lf);
    if (at == text.data() || at[-1] != '\r') return false;
    any = true;
    p = at + 1;
  }
  return any;
}

void fold_crlf(std::string& text) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    text[out++] = text[i];
  }
  text.resize(out);
}

// Where content offset `at` lies in the file: the BOM, two bytes per UTF-16
// unit or per UTF-8 byte above 0x7F, and the CR folded before each LF.
std::size_t file_offset(const Parsed& parsed, std::size_t at) {
  const bool utf16 = parsed.encoding == Encoding::kUtf16Le || parsed.encoding == Encoding::kUtf16Be;
  const bool utf8 = parsed.encoding == Encoding::kUtf8;
  std::size_t out = utf8 ? 3 : utf16 ? 2 : 0;
  for (std::size_t i = 0; i < at && i < parsed.content.size(); ++i) {
    const auto byte = static_cast<unsigned char>(parsed.content[i]);
    const std::size_t unit = utf16 || (utf8 && byte >= 0x80) ? 2 : 1;
    out += unit;
    if (parsed.text_mode && byte == '\n') out += utf16 ? 2 : 1;
  }
  return out;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

Parsed parse(std::string_view file_bytes) {
  Parsed parsed;
  DecodeError error;
  bool decoded = true;
  if (starts_with(file_bytes, "\xEF\xBB\xBF")) {
    parsed.encoding = Encoding::kUtf8;
    decoded = from_utf8(file_bytes.substr(3), parsed.content, error);
    error.offset += 3;
  } else if (starts_with(file_bytes, "\xFF\xFE") || starts_with(file_bytes, "\xFE\xFF")) {
    const bool big_endian = file_bytes[0] == '\xFE';
    parsed.encoding = big_endian ? Encoding::kUtf16Be : Encoding::kUtf16Le;
    decoded = from_utf16(file_bytes.substr(2), big_endian, parsed.content, error);
    error.offset += 2;
  } else {
    parsed.content.assign(file_bytes.data(), file_bytes.size());
  }
  if (!decoded) {
    parsed.content.clear();
    parsed.error = std::move(error.text);
    parsed.offset = error.offset;
    return parsed;
  }
  if (text_mode(parsed.content)) {
    parsed.text_mode = true;
    fold_crlf(parsed.content);
  }

  Splitter splitter(parsed.content, false);
  splitter.run();
  parsed.splits = splitter.count();
  if (parsed.splits == 1) {
    parsed.status = Status::kOk;
    parsed.value_offset = splitter.first_offset();
    parsed.value_length = splitter.first_length();
  } else if (parsed.splits > 1) {
    parsed.status = Status::kAmbiguous;
  } else {
    Splitter diagnosis(parsed.content, true);
    diagnosis.run();
    parsed.error = diagnosis.error();
    parsed.offset = file_offset(parsed, diagnosis.furthest());
  }
  return parsed;
}

const char* name_of(Encoding encoding) {
  switch (encoding) {
    case Encoding::kBytes:
      return "bytes";
    case Encoding::kUtf8:
      return "utf-8";
    case Encoding::kUtf16Le:
      return "utf-16le";
    case Encoding::kUtf16Be:
      return "utf-16be";
  }
  return "?";
}

const char* name_of(Status status) {
  switch (status) {
    case Status::kOk:
      return "ok";
    case Status::kAmbiguous:
      return "ambiguous";
    case Status::kMalformed:
      return "malformed";
  }
  return "?";
}

}  // namespace zavro::reader
