// The checked-in records (tests/data/records, made by make_records.py there)
// through parse and decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "reader/reader.hpp"

namespace zavro::reader {
namespace {

std::string read_record(const std::string& name) {
  std::ifstream in(std::string(ZAVRO_RECORDS_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Printable ASCII as is, every other byte (and the space) as \xNN.
std::string escaped(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b > 0x20 && b < 0x7F) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

// What was found, as "name=value" tokens a table row can pick from.
std::vector<std::string> summary(const Parsed& p) {
  std::vector<std::string> out = {
      std::string("status=") + name_of(p.status), std::string("encoding=") + name_of(p.encoding),
      "text_mode=" + std::to_string(p.text_mode), "splits=" + std::to_string(p.splits)};
  if (p.status == Status::kMalformed) out.push_back("offset=" + std::to_string(p.offset));
  if (p.status != Status::kOk) return out;
  for (std::size_t k = 0; k < kKeyCount; ++k) {
    out.push_back(std::string(kKeyNames[k]) + "=" + escaped(p.value(static_cast<Key>(k))));
  }
  const Decoded d = decode(p);
  if (d.cpuid.signature) {
    const Signature& s = *d.cpuid.signature;
    out.push_back("cpuid=" + std::to_string(s.family) + "/" + std::to_string(s.model) + "/" +
                  std::to_string(s.stepping));
  }
  out.push_back("count=" + (d.count ? std::to_string(*d.count) : std::string("none")));
  std::size_t usable = 0;
  for (const Address& a : d.addresses.addresses) usable += a.usable ? 1 : 0;
  out.push_back("addresses=" + std::to_string(d.addresses.addresses.size()));
  out.push_back("usable=" + std::to_string(usable));
  out.push_back("addresses_cut=" + std::to_string(d.addresses.cut));
  out.push_back(std::string("bios=") + name_of(d.bios));
  out.push_back(std::string("board=") + name_of(d.board));
  out.push_back("warnings=" + std::to_string(d.warnings.size()));
  for (const Warning& w : d.warnings)
    out.push_back("warn=" + std::string(key_name(w.field)) + ":" + name_of(w.code));
  return out;
}

struct CorpusRow {
  const char* file;
  const char* expect;      // space-separated tokens, each one of summary()'s
  const char* error_part;  // malformed: part of the error text
};

const CorpusRow kCorpus[] = {
    {"linux-build.rec",
     "status=ok encoding=bytes text_mode=0 cpuid=25/33/2 count=32 addresses=2 addresses_cut=0 "
     "usable=1 "
     "bios=value board=value warnings=0",
     ""},
    {"windows-build-crlf.rec",
     "status=ok text_mode=1 MotherboardSerial=MB-12345\\x0A cpuid=6/207/2 count=8 usable=1 "
     "warnings=1 warn=MotherboardSerial:control-characters",
     ""},
    {"readme-example.rec",
     "status=ok cpuid=26/2/1 count=2 addresses=2 usable=0 bios=not-found board=not-found "
     "warn=MacAddresses:no-usable-address warn=BiosSerial:serial-not-found",
     ""},
    {"wine.rec", "status=ok usable=0 bios=placeholder board=placeholder", ""},
    {"utf8-bom.rec", "status=ok encoding=utf-8 MachineName=M\\xFCller-PC", ""},
    {"utf16le-bom.rec", "status=ok encoding=utf-16le MachineName=M\\xFCller-PC count=4", ""},
    {"utf16be-bom.rec", "status=ok encoding=utf-16be MachineName=M\\xFCller-PC count=4", ""},
    {"utf8-above-ff.rec", "status=malformed encoding=utf-8 offset=56", "U+20AC"},
    {"trailing-newline.rec", "status=malformed text_mode=0 offset=280", "after </Node>"},
    {"name-odd-bytes.rec", "status=ok MachineName=R&D<lab>\\xC4\\xFF warnings=0", ""},
    {"name-holds-separator.rec",
     "status=ok splits=1 MachineName=pc</MachineName><ProcessorCount>4 count=8", ""},
    {"ambiguous-name.rec", "status=ambiguous splits=2", ""},
    {"adapters-19-cut.rec",
     "status=ok addresses=19 addresses_cut=1 usable=19 warnings=1 warn=MacAddresses:cut", ""},
    {"truncated.rec", "status=malformed offset=150", "content ends early"},
    {"index-out-of-sequence.rec", "status=malformed offset=151", "<M1>"},
    {"empty-values.rec", "status=malformed offset=13", "Cpuid"},
    {"placeholder-serials.rec",
     "status=ok bios=placeholder board=placeholder warn=BiosSerial:serial-placeholder "
     "warn=MotherboardSerial:serial-placeholder",
     ""},
    {"virtual-adapters.rec",
     "status=ok addresses=5 usable=0 bios=value board=empty warn=MacAddresses:no-usable-address "
     "warn=MotherboardSerial:serial-empty",
     ""},
    {"cpuid-absent.rec", "status=ok count=1 addresses=0 warn=Cpuid:cpuid-absent", ""},
    {"count-overflow.rec", "status=ok count=none warn=ProcessorCount:count-overflow", ""},
};

TEST(Corpus, EachRecordReadsAsExpected) {
  for (const CorpusRow& row : kCorpus) {
    SCOPED_TRACE(row.file);
    const Parsed parsed = parse(read_record(row.file));
    const std::vector<std::string> found = summary(parsed);
    std::istringstream expected(row.expect);
    for (std::string token; expected >> token;) {
      EXPECT_NE(std::find(found.begin(), found.end(), token), found.end()) << "missing " << token;
    }
    EXPECT_NE(parsed.error.find(row.error_part), std::string::npos) << parsed.error;
  }
}

}  // namespace
}  // namespace zavro::reader
