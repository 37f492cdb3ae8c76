#include "reader/output.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "reader/json.hpp"
#include "reader/rules.hpp"

namespace zavro::reader {
namespace {

constexpr int kSchemaVersion = 1;

// As the record writes it: upper case, no leading zeros.
std::string hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

std::size_t at(Key key) { return static_cast<std::size_t>(key); }

// Objects in a fixed order, "schema" first, then the file, as a person reads
// it. ASCII only, so no C1 control (U+0080-U+009F) reaches a terminal
// either; a file name that is not UTF-8 keeps its valid parts and gets U+FFFD
// for the rest: mapping it byte-wise like a value would garble every UTF-8
// name.
void address_json(JsonLine& json, const Address& address, const MakerOf& maker) {
  json.begin_object();
  json.key("index").number(address.index);
  json.key("address").latin1(address.text());
  json.key("local").boolean(address.local);
  json.key("multicast").boolean(address.multicast);
  json.key("zero").boolean(address.zero);
  json.key("virtual");
  if (address.virtual_vendor != nullptr) {
    json.latin1(address.virtual_vendor);
  } else {
    json.null();
  }
  json.key("usable").boolean(address.usable);
  if (maker) {
    const std::string name = maker(address);
    json.key("maker");
    if (name.empty()) {
      json.null();
    } else {
      json.latin1(name);
    }
  }
  json.end_object();
}

void field_json(JsonLine& json, const Parsed& parsed, const Decoded& decoded, Key key,
                const MakerOf& maker) {
  json.begin_object();
  json.key("raw").latin1(parsed.value(key));
  bool cut = decoded.cut[at(key)];
  switch (key) {
    case Key::kCpuid:
      if (const auto& signature = decoded.cpuid.signature) {
        json.key("edx").latin1(hex(signature->edx));
        json.key("eax").latin1(hex(signature->eax));
        json.key("revision").number(unsigned{signature->revision});
        json.key("family").number(signature->family);
        json.key("model").number(signature->model);
        json.key("stepping").number(signature->stepping);
      } else {
        json.key("candidates").number(std::uint64_t{decoded.cpuid.candidates});
        if (decoded.cpuid.absent) json.key("absent").boolean(true);
      }
      break;
    case Key::kProcessorCount:
      json.key("count");
      if (decoded.count) {
        json.number(*decoded.count);
      } else {
        json.null();
      }
      break;
    case Key::kMacAddresses:
      json.key("addresses").begin_array();
      for (const Address& address : decoded.addresses.addresses) {
        address_json(json, address, maker);
      }
      json.end_array();
      cut = cut || decoded.addresses.cut;
      break;
    case Key::kBiosSerial:
      json.key("state").latin1(name_of(decoded.bios));
      break;
    case Key::kMotherboardSerial:
      json.key("state").latin1(name_of(decoded.board));
      break;
    case Key::kMachineName:
      break;
  }
  if (cut) json.key("cut").boolean(true);
  json.end_object();
}

// Label and value rows, labels padded to one column.
using Rows = std::vector<std::pair<std::string, std::string>>;

std::string table(const Rows& rows) {
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  std::string text;
  for (const auto& [label, value] : rows) {
    text += label;
    text.append(width + 2 - label.size(), ' ');
    text += value;
    text += '\n';
  }
  return text;
}

std::string address_line(const Address& address, const MakerOf& maker) {
  std::string line = "M" + std::to_string(address.index) + " " + terminal_safe(address.text());
  if (maker) {
    const std::string name = maker(address);
    if (!name.empty()) line += "  " + terminal_safe(name);
  }
  if (address.usable) return line + "  usable";
  if (address.virtual_vendor != nullptr)
    line += "  virtual (" + std::string(address.virtual_vendor) + ")";
  if (address.local) line += "  local";
  if (address.multicast) line += "  multicast";
  if (address.zero) line += "  zero";
  return line;
}

void field_rows(const Parsed& parsed, const Decoded& decoded, Key key, Rows& rows,
                const MakerOf& maker) {
  const std::string label = kKeyNames[at(key)];
  std::string first = terminal_safe(parsed.value(key));
  if (decoded.cut[at(key)]) first += "  (cut)";
  switch (key) {
    case Key::kCpuid:
      rows.emplace_back(label, first);
      if (const auto& s = decoded.cpuid.signature) {
        rows.emplace_back("", "family " + std::to_string(s->family) + ", model " +
                                  std::to_string(s->model) + ", stepping " +
                                  std::to_string(s->stepping) + " (EDX " + hex(s->edx) + ", EAX " +
                                  hex(s->eax) + ", revision " + std::to_string(s->revision) + ")");
      } else {
        rows.emplace_back("", decoded.cpuid.absent ? "no signature"
                                                   : std::to_string(decoded.cpuid.candidates) +
                                                         " plausible signatures");
      }
      return;
    case Key::kMacAddresses: {
      const auto& addresses = decoded.addresses.addresses;
      if (addresses.empty()) rows.emplace_back(label, "none");
      for (std::size_t i = 0; i < addresses.size(); ++i) {
        rows.emplace_back(i == 0 ? label : "", address_line(addresses[i], maker));
      }
      if (decoded.addresses.cut || decoded.cut[at(key)]) rows.emplace_back("", "(cut)");
      return;
    }
    case Key::kBiosSerial:
    case Key::kMotherboardSerial: {
      const SerialState state = key == Key::kBiosSerial ? decoded.bios : decoded.board;
      if (state != SerialState::kValue) first += "  (" + std::string(name_of(state)) + ")";
      rows.emplace_back(label, first);
      return;
    }
    case Key::kMachineName:
    case Key::kProcessorCount:
      rows.emplace_back(label, first);
      return;
  }
}

}  // namespace

std::string latin1_to_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

std::string terminal_safe(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      text += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      text += "\\x";
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0x0F];
    }
  }
  return text;
}

void fields_json(JsonLine& json, const Parsed& parsed, const Decoded& decoded,
                 const MakerOf& maker) {
  json.begin_object();
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    json.key(kKeyNames[i]);
    field_json(json, parsed, decoded, static_cast<Key>(i), maker);
  }
  json.end_object();
}

std::string fields_text(const Parsed& parsed, const Decoded& decoded, const MakerOf& maker) {
  Rows rows;
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    field_rows(parsed, decoded, static_cast<Key>(i), rows, maker);
  }
  return table(rows);
}

std::string show_json(const FileReport& report) {
  JsonLine json;
  json.begin_object();
  json.key("schema").number(kSchemaVersion);
  json.key("file").text(report.file);
  if (report.unreadable) {
    json.key("status").latin1("unreadable");
    json.key("error").text(*report.unreadable);
    json.end_object();
    return json.str();
  }
  const Parsed& parsed = report.parsed;
  json.key("status").latin1(name_of(parsed.status));
  json.key("encoding").latin1(name_of(parsed.encoding));
  json.key("text_mode").boolean(parsed.text_mode);
  if (parsed.status == Status::kAmbiguous) json.key("splits").number(parsed.splits);
  if (parsed.status == Status::kMalformed) {
    json.key("error").latin1(parsed.error);
    json.key("offset").number(std::uint64_t{parsed.offset});
  }
  json.key("fields");
  if (report.decoded) {
    fields_json(json, parsed, *report.decoded);
  } else {
    json.begin_object().end_object();
  }
  json.key("warnings").begin_array();
  if (report.decoded) {
    for (const Warning& warning : report.decoded->warnings) {
      json.begin_object();
      json.key("field").latin1(kKeyNames[at(warning.field)]);
      json.key("code").latin1(name_of(warning.code));
      json.key("text").latin1(warning.text);
      json.end_object();
    }
  }
  json.end_array();
  json.end_object();
  return json.str();
}

std::string show_text(const FileReport& report) {
  Rows rows{{"file", terminal_safe(report.file)}};
  const std::string problem = problem_of(report);
  rows.emplace_back("status", problem.empty() ? "ok" : terminal_safe(problem));
  if (report.unreadable) return table(rows);
  const Parsed& parsed = report.parsed;
  rows.emplace_back(
      "encoding", std::string(name_of(parsed.encoding)) + (parsed.text_mode ? ", text mode" : ""));
  if (report.decoded) {
    for (std::size_t i = 0; i < kKeyCount; ++i) {
      field_rows(parsed, *report.decoded, static_cast<Key>(i), rows, {});
    }
    for (const Warning& warning : report.decoded->warnings) {
      rows.emplace_back("warning", std::string(kKeyNames[at(warning.field)]) + ": " +
                                       terminal_safe(warning.text));
    }
  }
  return table(rows);
}

std::string check_line(const FileReport& report) {
  const std::string file = terminal_safe(report.file) + ": ";
  switch (classify(report)) {
    case Condition::kUnreadable:
    case Condition::kMalformed:
    case Condition::kAmbiguous:
      return file + terminal_safe(problem_of(report));
    case Condition::kOk:
      return file + "ok";
    case Condition::kWarning:
      break;
  }
  std::string line = file + "warning: ";
  const auto& warnings = report.decoded->warnings;
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    if (i > 0) line += "; ";
    line += std::string(kKeyNames[at(warnings[i].field)]) + ": " + terminal_safe(warnings[i].text);
  }
  return line;
}

std::string compare_json(const FileReport& /*a*/, const FileReport& /*b*/,
                         const Comparison& comparison) {
  JsonLine json;
  json.begin_object();
  json.key("schema").number(kSchemaVersion);
  json.key("rules").number(kRulesVersion);
  json.key("verdict").latin1(name_of(comparison.verdict));
  json.key("components").begin_object();
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    json.key(kKeyNames[i]).latin1(name_of(comparison.components[i].agreement));
  }
  json.end_object();
  json.key("evidence").begin_object();
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    json.key(kKeyNames[i]).latin1(comparison.components[i].evidence);
  }
  json.end_object();
  json.end_object();
  return json.str();
}

std::string compare_text(const FileReport& a, const FileReport& b, const Comparison& comparison) {
  Rows rows{{"A", terminal_safe(a.file)},
            {"B", terminal_safe(b.file)},
            {"verdict", std::string(name_of(comparison.verdict)) + "  (rules " +
                            std::to_string(kRulesVersion) + ")"}};
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    std::string agreement = name_of(comparison.components[i].agreement);
    agreement.resize(10, ' ');
    rows.emplace_back(kKeyNames[i], agreement + terminal_safe(comparison.components[i].evidence));
  }
  return table(rows);
}

}  // namespace zavro::reader
