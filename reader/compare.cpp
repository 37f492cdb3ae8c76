#include <string>

#include "reader/reader.hpp"
#include "reader/rules.hpp"

namespace zavro::reader {
namespace {

Component serial(std::string_view a, SerialState sa, std::string_view b, SerialState sb) {
  if (sa != SerialState::kValue || sb != SerialState::kValue) {
    return {Agreement::kUnusable,
            std::string("unusable: states ") + name_of(sa) + " and " + name_of(sb)};
  }
  if (same_serial(a, b)) {
    return {Agreement::kMatch, "the same serial number in both"};
  }
  return {Agreement::kConflict, "different serial numbers"};
}

std::size_t usable_count(const Decoded& d) {
  std::size_t n = 0;
  for (const Address& a : d.addresses.addresses) n += a.usable ? 1 : 0;
  return n;
}

Component adapters(const Decoded& da, const Decoded& db) {
  const std::size_t na = usable_count(da);
  const std::size_t nb = usable_count(db);
  const std::string counts = std::to_string(na) + " and " + std::to_string(nb) + " usable";
  if (na == 0 || nb == 0) return {Agreement::kUnusable, "unusable: " + counts};
  for (const Address& a : da.addresses.addresses) {
    for (const Address& b : db.addresses.addresses) {
      if (a.usable && b.usable && a.bytes == b.bytes) {
        return {Agreement::kMatch,
                "address " + std::string(a.text()) + " in both (" + counts + ")"};
      }
    }
  }
  return {Agreement::kConflict, "no usable address in common (" + counts + ")"};
}

std::string signature_text(const Signature& s) {
  return "family " + std::to_string(s.family) + " model " + std::to_string(s.model) + " stepping " +
         std::to_string(s.stepping);
}

Component cpuid(std::string_view a, const CpuidField& fa, std::string_view b,
                const CpuidField& fb) {
  if (fa.signature && fb.signature) {
    const std::string ta = signature_text(*fa.signature);
    const std::string tb = signature_text(*fb.signature);
    // EDX is left out: hypervisors and firmware settings change feature bits.
    if (ta == tb) return {Agreement::kMatch, "both " + ta};
    return {Agreement::kConflict, ta + " against " + tb};
  }
  if (a == b) return {Agreement::kMatch, "the same undecoded value"};
  return {Agreement::kConflict, "different values, not both decodable"};
}

// Weak components always compare: a value the tool could write on both
// machines (an empty name, "000", a huge count) is evidence like any other.
Component processor_count(std::string_view a, const Decoded& da, std::string_view b,
                          const Decoded& db) {
  if (!da.count || !db.count) {
    if (a == b) return {Agreement::kMatch, "the same count, too large to read"};
    return {Agreement::kConflict, "different counts, at least one too large to read"};
  }
  const std::string ta = std::to_string(*da.count);
  if (*da.count == *db.count) return {Agreement::kMatch, "both " + ta};
  return {Agreement::kConflict, ta + " against " + std::to_string(*db.count)};
}

Component machine_name(std::string_view a, std::string_view b) {
  if (same_machine_name(a, b)) return {Agreement::kMatch, "the same name, ignoring case"};
  return {Agreement::kConflict, "different names"};
}

}  // namespace

Comparison compare(const Parsed& a, const Decoded& da, const Parsed& b, const Decoded& db) {
  Comparison out;
  const auto at = [&](Key key) -> Component& {
    return out.components[static_cast<std::size_t>(key)];
  };
  at(Key::kCpuid) = cpuid(a.value(Key::kCpuid), da.cpuid, b.value(Key::kCpuid), db.cpuid);
  at(Key::kMachineName) = machine_name(a.value(Key::kMachineName), b.value(Key::kMachineName));
  at(Key::kProcessorCount) =
      processor_count(a.value(Key::kProcessorCount), da, b.value(Key::kProcessorCount), db);
  at(Key::kMacAddresses) = adapters(da, db);
  at(Key::kBiosSerial) =
      serial(a.value(Key::kBiosSerial), da.bios, b.value(Key::kBiosSerial), db.bios);
  at(Key::kMotherboardSerial) = serial(a.value(Key::kMotherboardSerial), da.board,
                                       b.value(Key::kMotherboardSerial), db.board);

  out.verdict = verdict_of(out.components);
  return out;
}

const char* name_of(Verdict verdict) {
  switch (verdict) {
    case Verdict::kSame:
      return "same";
    case Verdict::kLikelySame:
      return "likely-same";
    case Verdict::kPossibleClone:
      return "possible-clone";
    case Verdict::kDifferent:
      return "different";
    case Verdict::kIndeterminate:
      return "indeterminate";
  }
  return "?";
}

const char* name_of(Agreement agreement) {
  switch (agreement) {
    case Agreement::kMatch:
      return "match";
    case Agreement::kConflict:
      return "conflict";
    case Agreement::kUnusable:
      return "unusable";
  }
  return "?";
}

}  // namespace zavro::reader
