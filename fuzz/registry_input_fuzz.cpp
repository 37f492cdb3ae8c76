// Any bytes as an archive of every kind the name can choose, and as a plain
// file: reading must not crash, must keep each item within the read limit and
// name it after the input, and must give a plain file back as written.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_check.hpp"
#include "fuzz/temp_tree.hpp"
#include "reader/reader.hpp"
#include "registry/input.hpp"

namespace {

namespace rg = zavro::registry;
using zavro::reader::kMaxFileSize;

const char* const kArchiveNames[] = {"in.zip", "in.tar", "in.tar.gz", "in.tgz", "in.tar.xz"};

void check_item(const rg::Item& item, const std::string& path) {
  ZAVRO_FUZZ_CHECK(item.bytes.size() <= kMaxFileSize + 1);
  ZAVRO_FUZZ_CHECK(item.unreadable || item.bytes.size() <= kMaxFileSize);
  ZAVRO_FUZZ_CHECK(!item.unreadable || !item.unreadable->empty());
  ZAVRO_FUZZ_CHECK(item.name == path || item.name.rfind(path + ":", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zavro::fuzz::TempDir tree;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  for (const char* name : kArchiveNames) {
    const std::string path = tree / name;
    tree.write(name, bytes);
    rg::read_inputs({path}, [&path](rg::Item& item) {
      check_item(item, path);
      return true;
    });
    std::filesystem::remove(path);
  }

  const std::string path = tree / "in.rec";
  tree.write("in.rec", bytes);
  // A file that begins with "From " is an mbox: its messages give the items.
  const bool mbox = bytes.rfind("From ", 0) == 0;
  int items = 0;
  rg::read_inputs({path}, [&](rg::Item& item) {
    ++items;
    check_item(item, path);
    if (!mbox) {
      ZAVRO_FUZZ_CHECK(item.name == path && item.bytes == bytes.substr(0, kMaxFileSize + 1));
      ZAVRO_FUZZ_CHECK(item.unreadable.has_value() == (size > kMaxFileSize));
    }
    return true;
  });
  ZAVRO_FUZZ_CHECK(mbox || items == 1);
  std::filesystem::remove(path);
  return 0;
}
