// The DMI serial reader: either query, in any letter case, reads its file
// less one trailing line feed; anything else, or a file that cannot be read,
// gives "not found".
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "collectors/firmware_serial.hpp"
#include "fuzz/fuzz_check.hpp"
#include "fuzz/temp_tree.hpp"

namespace {

using zavro::fuzz::Kind;
using zavro::fuzz::TempDir;

std::string ascii_lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// One of the two queries with letters flipped by the input, or raw bytes.
std::string consume_query(FuzzedDataProvider& input) {
  const int choice = input.ConsumeIntegralInRange(0, 2);
  if (choice == 2) return input.ConsumeRandomLengthString(64);
  std::string query = choice == 0 ? zavro::kBiosQuery : zavro::kBaseboardQuery;
  for (char& c : query)
    if (input.ConsumeBool() && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return query;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TempDir tree;
  zavro::fuzz::clear(tree);
  FuzzedDataProvider input(data, size);

  const std::string query = consume_query(input);
  struct File {
    const char* name;
    Kind kind;
    std::string bytes;
  } files[] = {{"product_serial", Kind::kMissing, {}}, {"board_serial", Kind::kMissing, {}}};
  for (File& f : files) {
    f.kind = input.PickValueInArray({Kind::kMissing, Kind::kFile, Kind::kDirectory});
    f.bytes = input.ConsumeRandomLengthString(700);
    zavro::fuzz::make(tree, f.name, f.kind, f.bytes);
  }

  // The query is handed over as a C text, so it ends at its first zero.
  const std::string q = ascii_lower(query.c_str());
  const File* file = q == ascii_lower(zavro::kBiosQuery)        ? &files[0]
                     : q == ascii_lower(zavro::kBaseboardQuery) ? &files[1]
                                                                : nullptr;
  std::string expected = zavro::kNotFound;
  if (file != nullptr && file->kind == Kind::kFile) {
    expected = file->bytes;
    if (!expected.empty() && expected.back() == '\n') expected.pop_back();
  }
  ZAVRO_FUZZ_CHECK(zavro::read_dmi_serial(tree.path(), query.c_str()) == expected);
  return 0;
}
