#include "registry/evidence_pack.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zavro::registry {
namespace {

// Byte i + 1 stands for kPieces[i]. Registries hold these bytes: entries are
// never changed or reordered, only added while codes remain (up to 0x1f).
constexpr std::string_view kPieces[] = {
    R"({"rules":2,"weighed":[)",
    R"(],"changes":[]})",
    R"(],"changes":[)",
    R"({"machine":)",
    R"(,"record":)",
    R"(,"weight":"tied","components":{)",
    R"(,"weight":"clone","components":{)",
    R"(,"weight":")",
    R"(","components":{)",
    R"("Cpuid":"match","MachineName":"match","ProcessorCount":"match",)",
    R"("Cpuid":")",
    R"("MachineName":")",
    R"("ProcessorCount":")",
    R"("MacAddresses":")",
    R"("BiosSerial":")",
    R"("MotherboardSerial":")",
    R"(match",)",
    R"(conflict",)",
    R"(unusable",)",
    R"(match"}})",
    R"(conflict"}})",
    R"(unusable"}})",
    R"(,"clone_of":[)",
    R"(,"decisions":[)",
    R"({"field":")",
    R"(","added":[)",
    R"(],"removed":[)",
    R"(","before":")",
    R"(","after":")",
};
constexpr std::size_t kCount = std::size(kPieces);
static_assert(kCount < 0x20, "one control byte each");

// For each first byte, the codes of the pieces that begin with it, longest first.
struct Starts {
  std::array<std::vector<std::uint8_t>, 128> by_byte;
  Starts() {
    for (std::size_t i = 0; i < kCount; ++i) {
      auto& list = by_byte[static_cast<unsigned char>(kPieces[i][0])];
      auto at = list.begin();
      while (at != list.end() && kPieces[*at].size() >= kPieces[i].size()) ++at;
      list.insert(at, static_cast<std::uint8_t>(i));
    }
  }
};

const Starts& starts() {
  static const Starts table;
  return table;
}

}  // namespace

std::string pack_evidence(std::string_view json) {
  const Starts& table = starts();
  std::string out;
  out.reserve(json.size() / 2);
  for (std::size_t at = 0; at < json.size();) {
    const auto c = static_cast<unsigned char>(json[at]);
    bool packed = false;
    if (c < 128) {
      for (const std::uint8_t code : table.by_byte[c]) {
        const std::string_view piece = kPieces[code];
        if (json.compare(at, piece.size(), piece) == 0) {
          out += static_cast<char>(code + 1);
          at += piece.size();
          packed = true;
          break;
        }
      }
    }
    if (!packed) out += json[at++];
  }
  return out;
}

std::string unpack_evidence(std::string_view stored) {
  std::string out;
  out.reserve(stored.size() * 3);
  for (const char c : stored) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 1 && code <= kCount) {
      out += kPieces[code - 1];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace zavro::registry
