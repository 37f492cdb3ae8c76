// Reading a report file: bytes -> parsed record -> decoded fields -> verdict.
// Each step is a pure function of the previous one's output; printing is
// elsewhere (reader/output.hpp) and decides nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record/address_element.hpp"
#include "record/record.hpp"

namespace zavro::reader {

// Files above this are refused unread: a record is at most 3,247 bytes,
// twice that in text mode.
inline constexpr std::size_t kMaxFileSize = std::size_t{64} * 1024;
// A value longer than this cannot come from the tool; exactly this long is a cut.
inline constexpr std::size_t kMaxValue = ValueBuffer::kSize - 1;

enum class Encoding { kBytes, kUtf8, kUtf16Le, kUtf16Be };
enum class Status { kOk, kAmbiguous, kMalformed };

// Step 1: the record split into its six values.
struct Parsed {
  Status status = Status::kMalformed;
  Encoding encoding = Encoding::kBytes;
  bool text_mode = false;
  // The content after decoding and CR LF folding; values point into it.
  std::string content;
  // Offsets and lengths of the six values in content (kOk only).
  std::array<std::size_t, kKeyCount> value_offset{};
  std::array<std::size_t, kKeyCount> value_length{};
  // How many splits were found: 1 for kOk, more for kAmbiguous (at most a
  // few hundred fit in a record), 0 for kMalformed.
  std::uint64_t splits = 0;
  // kMalformed: what is wrong, and where the longest prefix that still reads
  // as the start of a record ends, as a byte offset in the file (before
  // decoding and CR LF folding).
  std::string error;
  std::size_t offset = 0;

  std::string_view value(Key key) const {
    const auto k = static_cast<std::size_t>(key);
    return std::string_view(content).substr(value_offset[k], value_length[k]);
  }
};

// Reads one file's bytes (at most kMaxFileSize; the caller refuses larger).
Parsed parse(std::string_view file_bytes);

// Step 2: what each value says.
struct Signature {
  std::uint32_t edx = 0;
  std::uint32_t eax = 0;
  std::uint16_t revision = 0;
  unsigned family = 0;  // display family, model and stepping
  unsigned model = 0;
  unsigned stepping = 0;
};
struct CpuidField {
  bool absent = false;                 // "000": a processor without CPUID
  std::optional<Signature> signature;  // exactly one plausible split
  std::size_t candidates = 0;          // plausible splits found
};

struct Address {
  unsigned index = 0;
  // The 17 characters as written, "XX:XX:XX:XX:XX:XX"; kept inline, since a
  // heap text per address was a fifth of decoding time.
  std::array<char, kAddressTextLength> chars{};
  std::string_view text() const { return {chars.data(), chars.size()}; }
  AddressBytes bytes{};
  bool local = false;      // locally administered bit of the first octet
  bool multicast = false;  // group bit of the first octet
  bool zero = false;
  const char* virtual_vendor = nullptr;  // known virtual-machine or container prefix
  bool usable = false;                   // universal, unicast, not zero, not virtual
};
struct AddressesField {
  std::vector<Address> addresses;
  bool cut = false;  // the value ends inside a sub-element
};

enum class SerialState { kValue, kEmpty, kNotFound, kPlaceholder };

// What a warning is about; its name is stable output.
enum class WarningCode {
  kSerialPlaceholder,
  kSerialNotFound,
  kSerialEmpty,
  kCpuidAbsent,
  kCpuidUndecodable,
  kCountOverflow,
  kNoUsableAddress,
  kCut,
  kControlCharacters,
};
inline constexpr std::size_t kWarningCodeCount = 9;
static_assert(static_cast<std::size_t>(WarningCode::kControlCharacters) + 1 == kWarningCodeCount);
// Indexed by WarningCode: kebab-case, as JSON output names them.
inline constexpr std::array<const char*, kWarningCodeCount> kWarningCodeNames = {
    "serial-placeholder", "serial-not-found", "serial-empty",      "cpuid-absent",
    "cpuid-undecodable",  "count-overflow",   "no-usable-address", "cut",
    "control-characters"};

struct Warning {
  Key field;
  WarningCode code;
  std::string text;  // one sentence for a person
};

struct Decoded {
  CpuidField cpuid;
  std::optional<std::uint64_t> count;  // ProcessorCount; none when it overflows
  AddressesField addresses;
  SerialState bios = SerialState::kEmpty;
  SerialState board = SerialState::kEmpty;
  std::array<bool, kKeyCount> cut{};  // value holds exactly kMaxValue bytes
  std::vector<Warning> warnings;
};

// Decodes an ok record's values (parsed.status must be kOk).
Decoded decode(const Parsed& parsed);
// The Cpuid rules alone, for any value text.
CpuidField decode_cpuid(std::string_view value);
// The serial rules alone, for any value text.
SerialState serial_state(std::string_view value);

// Step 3: same machine or not.
enum class Verdict { kSame, kLikelySame, kPossibleClone, kDifferent, kIndeterminate };
enum class Agreement { kMatch, kConflict, kUnusable };

struct Component {
  Agreement agreement = Agreement::kUnusable;
  std::string evidence;  // one line: what was compared and what was found
};
struct Comparison {
  Verdict verdict = Verdict::kIndeterminate;
  std::array<Component, kKeyCount> components;  // indexed by Key
};

// Two ok records, each with its decoding.
Comparison compare(const Parsed& a, const Decoded& da, const Parsed& b, const Decoded& db);

// Names as they appear in output.
const char* name_of(Encoding encoding);
const char* name_of(Status status);
const char* name_of(SerialState state);
const char* name_of(Verdict verdict);
const char* name_of(Agreement agreement);
inline const char* name_of(WarningCode code) {
  return kWarningCodeNames[static_cast<std::size_t>(code)];
}

}  // namespace zavro::reader
