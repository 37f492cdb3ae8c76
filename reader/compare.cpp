#include <algorithm>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "reader/rules.hpp"

namespace zavro::reader {
namespace {

Component serial(std::string_view a, SerialState sa, std::string_view b, SerialState sb) {
  if (sa != SerialState::kValue || sb != SerialState::kValue) {
    return {Agreement::kUnusable,
            std::string("unusable: states ") + name_of(sa) + " and " + name_of(sb)};
  }
  if (serial_key(a) == serial_key(b)) {
    return {Agreement::kMatch, "the same serial number in both"};
  }
  return {Agreement::kConflict, "different serial numbers"};
}

// The addresses that can tell machines apart, sorted, without repeats.
std::vector<AddressBytes> comparable(const Decoded& d) {
  std::vector<AddressBytes> out;
  for (const Address& a : d.addresses.addresses) {
    if (comparable_address(a)) out.push_back(a.bytes);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

bool all_virtual(const std::vector<AddressBytes>& addresses) {
  return !addresses.empty() &&
         std::all_of(addresses.begin(), addresses.end(),
                     [](const AddressBytes& a) { return virtual_vendor(a) != nullptr; });
}

Component adapters(const std::vector<AddressBytes>& a, const std::vector<AddressBytes>& b,
                   const AdapterAgreement& agreement, bool virtual_only) {
  const std::string counts = std::to_string(a.size()) + " and " + std::to_string(b.size()) +
                             " to compare" + (virtual_only ? ", every one virtual" : "");
  switch (agreement.agreement) {
    case Agreement::kUnusable:
      return {Agreement::kUnusable, "unusable: " + counts};
    case Agreement::kConflict:
      return {Agreement::kConflict, "no address in common (" + counts + ")"};
    case Agreement::kMatch:
      break;
  }
  const auto shared = std::find_first_of(a.begin(), a.end(), b.begin(), b.end());
  return {Agreement::kMatch, "address " +
                                 std::string(address_text(*shared).data(), kAddressTextLength) +
                                 " in both (" + counts +
                                 (agreement.crossed ? "; each has one the other lacks" : "") + ")"};
}

std::string signature_text(const Signature& s) {
  return "family " + std::to_string(s.family) + " model " + std::to_string(s.model) + " stepping " +
         std::to_string(s.stepping);
}

Component cpuid(std::string_view a, const CpuidField& fa, std::string_view b,
                const CpuidField& fb) {
  const bool match = cpuid_key(a, fa) == cpuid_key(b, fb);
  if (fa.signature && fb.signature) {
    const std::string ta = signature_text(*fa.signature);
    if (match) return {Agreement::kMatch, "both " + ta};
    return {Agreement::kConflict, ta + " against " + signature_text(*fb.signature)};
  }
  if (match) return {Agreement::kMatch, "the same value"};
  return {Agreement::kConflict, "different values, not both decodable"};
}

// Weak components always compare: a value the tool could write on both
// machines (an empty name, "000", a huge count) is evidence like any other.
Component processor_count(std::string_view a, const Decoded& da, std::string_view b,
                          const Decoded& db) {
  const bool match = count_key(a, da.count) == count_key(b, db.count);
  if (!da.count || !db.count) {
    if (match) return {Agreement::kMatch, "the same count, too large to read"};
    return {Agreement::kConflict, "different counts, at least one too large to read"};
  }
  const std::string ta = std::to_string(*da.count);
  if (match) return {Agreement::kMatch, "both " + ta};
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
  const std::vector<AddressBytes> aa = comparable(da);
  const std::vector<AddressBytes> ab = comparable(db);
  const AdapterAgreement adapter = adapter_agreement(aa, ab);
  const bool virtual_only = all_virtual(aa) && all_virtual(ab);
  at(Key::kMacAddresses) = adapters(aa, ab, adapter, virtual_only);
  at(Key::kBiosSerial) =
      serial(a.value(Key::kBiosSerial), da.bios, b.value(Key::kBiosSerial), db.bios);
  at(Key::kMotherboardSerial) = serial(a.value(Key::kMotherboardSerial), da.board,
                                       b.value(Key::kMotherboardSerial), db.board);

  PairFacts facts;
  for (std::size_t k = 0; k < kKeyCount; ++k) facts.components[k] = out.components[k].agreement;
  facts.adapters_crossed = adapter.crossed;
  facts.all_virtual = virtual_only;
  facts.named =
      at(Key::kMachineName).agreement == Agreement::kMatch && !a.value(Key::kMachineName).empty();
  out.verdict = verdict_of(facts);
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
