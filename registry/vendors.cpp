#include "registry/vendors.hpp"

#include <fcntl.h>
#include <string.h>  // memmem
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string_view>

namespace zavro::registry {
namespace {

// The files and the width of the blocks each assigns.
struct Table {
  const char* file;
  int bits;
};
constexpr Table kTables[] = {{"oui36.csv", 36}, {"mam.csv", 28}, {"oui.csv", 24}};

std::uint64_t top_bits(const AddressBytes& address, int bits) {
  std::uint64_t all = 0;
  for (const std::uint8_t b : address) all = all << 8 | b;
  return all >> (48 - bits);
}

std::uint64_t key_of(std::uint64_t block, int bits) {
  return block << 8 | static_cast<std::uint64_t>(bits);
}

// The next CSV record's fields (RFC 4180: quoted fields may hold commas,
// doubled quotes and line breaks); false at the end.
bool next_record(std::string_view& in, std::vector<std::string>& fields) {
  fields.clear();
  if (in.empty()) return false;
  std::string field;
  bool quoted = false;
  std::size_t at = 0;
  for (; at < in.size(); ++at) {
    const char c = in[at];
    if (quoted) {
      if (c == '"' && at + 1 < in.size() && in[at + 1] == '"') {
        field += '"';
        ++at;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
    } else if (c == '\n') {
      break;
    } else if (c != '\r') {
      field += c;
    }
  }
  fields.push_back(std::move(field));
  in.remove_prefix(at < in.size() ? at + 1 : in.size());
  return true;
}

bool parse_hex(std::string_view text, std::uint64_t& value) {
  value = 0;
  if (text.empty() || text.size() > 12) return false;
  for (const char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return false;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  return true;
}

// A file read through a mapping: the IEEE files are a few MB, of which a
// machine's addresses need a few lines.
class Mapped {
 public:
  explicit Mapped(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size <= (64 << 20)) {
      void* const at =
          ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (at != MAP_FAILED) {
        data_ = static_cast<const char*>(at);
        size_ = static_cast<std::size_t>(st.st_size);
      }
    }
    ::close(fd);
  }
  ~Mapped() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  std::string_view text() const { return {data_, size_}; }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

// The record that names this block, found by its assignment rather than by
// parsing the whole file: a machine's few addresses need a few lookups.
void find_block(std::string_view text, std::uint64_t block, int bits,
                std::unordered_map<std::uint64_t, std::string>& names) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string needle(static_cast<std::size_t>(bits / 4) + 2, ',');
  for (int i = 0; i < bits / 4; ++i) {
    needle[static_cast<std::size_t>(bits / 4 - i)] = kHex[(block >> (4 * i)) & 0xF];
  }
  // memmem: std::string_view::find steps through every comma of the file.
  for (const char* hit = static_cast<const char*>(
           ::memmem(text.data(), text.size(), needle.data(), needle.size()));
       hit != nullptr;) {
    const auto at = static_cast<std::size_t>(hit - text.data());
    hit = static_cast<const char*>(
        ::memmem(hit + 1, text.size() - at - 1, needle.data(), needle.size()));
    const std::size_t start = text.rfind('\n', at);
    std::string_view in = text.substr(start == std::string_view::npos ? 0 : start + 1);
    std::vector<std::string> fields;
    std::uint64_t found = 0;
    if (next_record(in, fields) && fields.size() >= 3 &&
        fields[1].size() * 4 == static_cast<std::size_t>(bits) && parse_hex(fields[1], found) &&
        found == block) {
      names.emplace(key_of(block, bits), fields[2]);
      return;
    }
  }
}

}  // namespace

Vendors::Vendors(const std::vector<AddressBytes>& wanted, const std::string& dir) {
  for (const Table& table : kTables) {
    const Mapped file(dir + "/" + table.file);
    const std::string_view text = file.text();
    if (text.empty()) continue;
    if (!wanted.empty()) {
      std::set<std::uint64_t> blocks;
      for (const AddressBytes& a : wanted) blocks.insert(top_bits(a, table.bits));
      for (const std::uint64_t block : blocks) find_block(text, block, table.bits, names_);
      continue;
    }
    std::string_view in = text;
    std::vector<std::string> fields;
    while (next_record(in, fields)) {
      std::uint64_t block = 0;
      if (fields.size() < 3 || fields[1].size() * 4 != static_cast<std::size_t>(table.bits) ||
          !parse_hex(fields[1], block)) {
        continue;  // the header, or a line of something else
      }
      names_.emplace(key_of(block, table.bits), fields[2]);
    }
  }
}

std::string Vendors::maker(const AddressBytes& address) const {
  for (const Table& table : kTables) {
    const auto it = names_.find(key_of(top_bits(address, table.bits), table.bits));
    if (it != names_.end()) return it->second;
  }
  return {};
}

}  // namespace zavro::registry
