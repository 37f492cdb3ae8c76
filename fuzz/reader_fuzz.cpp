// The reader on any bytes: parse, decode, compare and every printer must hold
// their contracts and never touch memory they do not own. The input also reads
// as two files, split after its first "</Node>", so pairs reach compare.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.hpp"
#include "reader/output.hpp"
#include "reader/reader.hpp"
#include "reader/rules.hpp"
#include "record/cpuid_value.hpp"
#include "support/split_check.hpp"

namespace {

namespace rd = zavro::reader;
using zavro::Key;
using zavro::kKeyCount;

constexpr const char* kName = "fuzz-input";

// Text for a terminal: printable ASCII and line breaks only.
bool terminal_clean(std::string_view text, bool line_breaks) {
  return std::all_of(text.begin(), text.end(), [line_breaks](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 0x20 && b < 0x7F) || (line_breaks && b == '\n');
  });
}

// JSON strings carry a value's bytes as code points U+0000-U+00FF.
std::optional<std::string> latin1_of(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < utf8.size()) {
      const auto next = static_cast<unsigned char>(utf8[++i]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      out += static_cast<char>(((b & 0x03) << 6) | (next & 0x3F));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::string cpuid_text(const rd::Signature& s) {
  char text[40];
  std::snprintf(text, sizeof text, "%X%X%u", static_cast<unsigned>(s.edx),
                static_cast<unsigned>(s.eax), static_cast<unsigned>(s.revision));
  return text;
}

void check_signature(const rd::Signature& s, std::string_view raw) {
  ZAVRO_FUZZ_CHECK(raw == cpuid_text(s));
  ZAVRO_FUZZ_CHECK((s.edx & rd::kBaselineEdx) == rd::kBaselineEdx);
  ZAVRO_FUZZ_CHECK((s.edx & rd::kReservedEdx) == 0);
  ZAVRO_FUZZ_CHECK((s.eax & rd::kReservedEax) == 0);
  const unsigned base_family = (s.eax >> 8) & 0xF;
  // The vendor is unknown, so family 6 may be folded or not.
  const bool folded_ok = base_family == 0xF || base_family == 6;
  const bool unfolded_ok = base_family != 0xF;
  ZAVRO_FUZZ_CHECK((folded_ok && s.revision == zavro::revision_of(s.eax, true)) ||
                   (unfolded_ok && s.revision == zavro::revision_of(s.eax, false)));
  const unsigned family = base_family == 0xF ? base_family + ((s.eax >> 20) & 0xFF) : base_family;
  unsigned model = (s.eax >> 4) & 0xF;
  if (base_family == 6 || base_family == 0xF) model |= ((s.eax >> 16) & 0xF) << 4;
  ZAVRO_FUZZ_CHECK(s.family == family);
  ZAVRO_FUZZ_CHECK(s.model == model);
  ZAVRO_FUZZ_CHECK(s.stepping == (s.eax & 0xF));
}

unsigned hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  ZAVRO_FUZZ_CHECK(false);
  return 0;
}

void check_address(const rd::Address& a, std::size_t position, std::string_view raw) {
  ZAVRO_FUZZ_CHECK(a.index == position);
  ZAVRO_FUZZ_CHECK(a.text().size() == 17);
  ZAVRO_FUZZ_CHECK(raw.find("<M" + std::to_string(position) + ">" + std::string(a.text())) !=
                   raw.npos);
  bool zero = true;
  for (std::size_t i = 0; i < 6; ++i) {
    ZAVRO_FUZZ_CHECK(i == 5 || a.chars[3 * i + 2] == ':');
    const unsigned byte = hex_digit(a.chars[3 * i]) * 16 + hex_digit(a.chars[3 * i + 1]);
    ZAVRO_FUZZ_CHECK(a.bytes[i] == byte);
    zero = zero && byte == 0;
  }
  ZAVRO_FUZZ_CHECK(a.local == ((a.bytes[0] & 2) != 0));
  ZAVRO_FUZZ_CHECK(a.multicast == ((a.bytes[0] & 1) != 0));
  ZAVRO_FUZZ_CHECK(a.zero == zero);
  const rd::VirtualPrefix* prefix = nullptr;
  for (const rd::VirtualPrefix& p : rd::kVirtualPrefixes) {
    if (std::equal(p.bytes.begin(), p.bytes.begin() + p.length, a.bytes.begin())) prefix = &p;
  }
  ZAVRO_FUZZ_CHECK((a.virtual_vendor == nullptr) == (prefix == nullptr));
  ZAVRO_FUZZ_CHECK(a.usable == (!a.local && !a.multicast && !a.zero && prefix == nullptr));
}

bool warned(const rd::Decoded& d, std::size_t k, std::string_view code) {
  return std::any_of(d.warnings.begin(), d.warnings.end(), [&](const rd::Warning& w) {
    return static_cast<std::size_t>(w.field) == k && name_of(w.code) == code;
  });
}

void check_decoded(const rd::Parsed& p, const rd::Decoded& d) {
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    ZAVRO_FUZZ_CHECK(d.cut[k] == (p.value_length[k] == rd::kMaxValue));
  }
  const std::string_view cpuid = p.value(Key::kCpuid);
  if (d.cpuid.signature) {
    ZAVRO_FUZZ_CHECK(d.cpuid.candidates == 1 && !d.cpuid.absent);
    check_signature(*d.cpuid.signature, cpuid);
  }
  if (cpuid == "000") ZAVRO_FUZZ_CHECK(d.cpuid.absent && !d.cpuid.signature);

  // The count is the decimal value, or none when it does not fit.
  std::optional<std::uint64_t> count = 0;
  for (char c : p.value(Key::kProcessorCount)) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (count && *count > (UINT64_MAX - digit) / 10) count.reset();
    if (count) count = *count * 10 + digit;
  }
  ZAVRO_FUZZ_CHECK(d.count == count);

  const std::string_view addresses = p.value(Key::kMacAddresses);
  for (std::size_t i = 0; i < d.addresses.addresses.size(); ++i) {
    check_address(d.addresses.addresses[i], i, addresses);
  }
  for (const rd::Warning& w : d.warnings) {
    ZAVRO_FUZZ_CHECK(static_cast<std::size_t>(w.field) < kKeyCount &&
                     static_cast<std::size_t>(w.code) < rd::kWarningCodeCount);
  }
  // A value with a control byte, or one the writer cut, always says so.
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    const std::string_view value = p.value(static_cast<Key>(k));
    const bool control = std::any_of(value.begin(), value.end(), [](char c) {
      const auto b = static_cast<unsigned char>(c);
      return b < 0x20 || b == 0x7F;
    });
    ZAVRO_FUZZ_CHECK(control == warned(d, k, "control-characters"));
    ZAVRO_FUZZ_CHECK(d.cut[k] == warned(d, k, "cut"));
  }
}

void check_parsed(const rd::Parsed& p, std::size_t size) {
  ZAVRO_FUZZ_CHECK(p.content.size() <= size);
  switch (p.status) {
    case rd::Status::kOk: {
      std::size_t end = 0;
      for (std::size_t k = 0; k < kKeyCount; ++k) {
        ZAVRO_FUZZ_CHECK(p.value_offset[k] >= end && p.value_length[k] <= rd::kMaxValue);
        end = p.value_offset[k] + p.value_length[k];
        ZAVRO_FUZZ_CHECK(end <= p.content.size());
      }
      ZAVRO_FUZZ_CHECK(zavro::reader::is_split(p.content, p.value_length));
      break;
    }
    case rd::Status::kAmbiguous:
      ZAVRO_FUZZ_CHECK(p.splits >= 2);
      break;
    case rd::Status::kMalformed:
      ZAVRO_FUZZ_CHECK(!p.error.empty() && p.offset <= size);
      break;
  }
}

const char* check_word(const rd::FileReport& r) {
  if (r.parsed.status == rd::Status::kAmbiguous) return "ambiguous: ";
  if (r.parsed.status == rd::Status::kMalformed) return "malformed: ";
  return r.decoded && !r.decoded->warnings.empty() ? "warning: " : "ok";
}

void check_output(const rd::FileReport& r) {
  const nlohmann::json j = nlohmann::json::parse(rd::show_json(r));
  ZAVRO_FUZZ_CHECK(j.at("schema") == 1 && j.at("file") == r.file);
  ZAVRO_FUZZ_CHECK(j.at("status") == rd::name_of(r.parsed.status));
  ZAVRO_FUZZ_CHECK(j.at("encoding") == rd::name_of(r.parsed.encoding));
  if (r.parsed.status == rd::Status::kOk) {
    for (std::size_t k = 0; k < kKeyCount; ++k) {
      const auto raw = latin1_of(j.at("fields").at(zavro::kKeyNames[k]).at("raw"));
      ZAVRO_FUZZ_CHECK(raw && *raw == r.parsed.value(static_cast<Key>(k)));
    }
  }
  ZAVRO_FUZZ_CHECK(terminal_clean(rd::show_text(r), true));
  const std::string line = rd::check_line(r);
  ZAVRO_FUZZ_CHECK(terminal_clean(line, false));
  ZAVRO_FUZZ_CHECK(line.rfind(r.file + ": " + check_word(r), 0) == 0);
}

bool strong(std::size_t k) {
  return k == static_cast<std::size_t>(Key::kMacAddresses) ||
         k == static_cast<std::size_t>(Key::kBiosSerial) ||
         k == static_cast<std::size_t>(Key::kMotherboardSerial);
}

void check_comparison(const rd::Comparison& c) {
  int matches = 0, conflicts = 0, usable = 0;
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    if (!strong(k)) continue;
    matches += c.components[k].agreement == rd::Agreement::kMatch;
    conflicts += c.components[k].agreement == rd::Agreement::kConflict;
    usable += c.components[k].agreement != rd::Agreement::kUnusable;
  }
  const auto agreement = [&c](Key key) {
    return c.components[static_cast<std::size_t>(key)].agreement;
  };
  // The name keeps a board replaced beside one strong part on its machine.
  const bool named = agreement(Key::kMachineName) == rd::Agreement::kMatch;
  ZAVRO_FUZZ_CHECK((c.verdict == rd::Verdict::kIndeterminate) == (usable == 0));
  if (c.verdict == rd::Verdict::kSame) ZAVRO_FUZZ_CHECK(conflicts == 0 && matches >= 1);
  if (c.verdict == rd::Verdict::kLikelySame) {
    ZAVRO_FUZZ_CHECK(matches >= 1 && (matches > conflicts || named));
  }
  // One shared adapter among others, and no name, parts two machines.
  if (c.verdict == rd::Verdict::kDifferent) {
    ZAVRO_FUZZ_CHECK(matches <= conflicts ||
                     (matches == 1 && agreement(Key::kMacAddresses) == rd::Agreement::kMatch));
  }
  if (c.verdict == rd::Verdict::kPossibleClone) {
    ZAVRO_FUZZ_CHECK(agreement(Key::kMacAddresses) == rd::Agreement::kConflict && matches >= 1 &&
                     (agreement(Key::kBiosSerial) == rd::Agreement::kMatch ||
                      agreement(Key::kMotherboardSerial) == rd::Agreement::kMatch));
  }
}

void check_pair(const rd::FileReport& a, const rd::FileReport& b) {
  const rd::Comparison ab = rd::compare(a.parsed, *a.decoded, b.parsed, *b.decoded);
  const rd::Comparison ba = rd::compare(b.parsed, *b.decoded, a.parsed, *a.decoded);
  check_comparison(ab);
  ZAVRO_FUZZ_CHECK(ab.verdict == ba.verdict);
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    ZAVRO_FUZZ_CHECK(ab.components[k].agreement == ba.components[k].agreement);
  }
  const nlohmann::json j = nlohmann::json::parse(rd::compare_json(a, b, ab));
  ZAVRO_FUZZ_CHECK(j.at("verdict") == rd::name_of(ab.verdict));
  ZAVRO_FUZZ_CHECK(terminal_clean(rd::compare_text(a, b, ab), true));
}

// One file's worth of bytes through every step; its report if it reads as ok.
std::optional<rd::FileReport> check_file(std::string_view bytes) {
  const rd::Parsed parsed = rd::parse(bytes);
  check_parsed(parsed, bytes.size());
  if (parsed.status == rd::Status::kOk) check_decoded(parsed, rd::decode(parsed));

  rd::FileReport report = rd::report_of(kName, bytes);
  ZAVRO_FUZZ_CHECK(report.parsed.status == parsed.status);
  ZAVRO_FUZZ_CHECK(report.decoded.has_value() == (parsed.status == rd::Status::kOk));
  check_output(report);
  if (parsed.status != rd::Status::kOk) return std::nullopt;

  // A record against itself: nothing can conflict.
  const rd::Comparison self = rd::compare(parsed, *report.decoded, parsed, *report.decoded);
  check_comparison(self);
  for (const rd::Component& c : self.components) {
    ZAVRO_FUZZ_CHECK(c.agreement != rd::Agreement::kConflict);
  }
  return report;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > rd::kMaxFileSize) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::string safe = rd::terminal_safe(bytes);
  ZAVRO_FUZZ_CHECK(terminal_clean(safe, false));
  const std::size_t high = static_cast<std::size_t>(
      std::count_if(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; }));
  const std::string utf8 = rd::latin1_to_utf8(bytes);
  ZAVRO_FUZZ_CHECK(utf8.size() == size + high && latin1_of(utf8) == std::string(bytes));

  check_file(bytes);
  const std::size_t cut = bytes.find("</Node>");
  if (cut == bytes.npos) return 0;
  const auto a = check_file(bytes.substr(0, cut + 7));
  const auto b = check_file(bytes.substr(cut + 7));
  if (a && b) check_pair(*a, *b);
  return 0;
}
