#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "collectors/mac_addresses.hpp"
#include "collectors/read_file_linux.hpp"

namespace zavro {
namespace {

constexpr unsigned long kLoopbackFlag = 0x8;  // IFF_LOOPBACK

// "aa:bb:cc:dd:ee:ff[...]" into its first six bytes; missing ones stay zero.
MacBytes parse_address(const std::string& text) {
  MacBytes bytes{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < bytes.size() && pos + 2 <= text.size(); ++i, pos += 3) {
    char* end = nullptr;
    const std::string pair = text.substr(pos, 2);
    const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) break;
    bytes[i] = static_cast<std::uint8_t>(v);
    if (pos + 2 < text.size() && text[pos + 2] != ':') break;
  }
  return bytes;
}

}  // namespace

std::vector<MacBytes> read_sysfs_addresses(const std::string& net_root) {
  std::vector<std::pair<long, MacBytes>> found;
  DIR* dir = opendir(net_root.c_str());
  if (dir == nullptr) return {};
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string base = net_root;
    base.append("/").append(name).append("/");
    std::string index_text, flags_text, address_text;
    // Without an ifindex it is no interface.
    if (!read_file(base + "ifindex", index_text)) continue;
    char* end = nullptr;
    const long index = std::strtol(index_text.c_str(), &end, 10);
    if (end == index_text.c_str()) continue;
    if (read_file(base + "flags", flags_text) &&
        (std::strtoul(flags_text.c_str(), nullptr, 16) & kLoopbackFlag) != 0)
      continue;
    read_file(base + "address", address_text);
    found.emplace_back(index, parse_address(address_text));
  }
  closedir(dir);
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<MacBytes> addresses;
  addresses.reserve(found.size());
  for (const auto& f : found) addresses.push_back(f.second);
  return addresses;
}

std::string mac_addresses() { return compose_addresses(read_sysfs_addresses("/sys/class/net")); }

}  // namespace zavro
