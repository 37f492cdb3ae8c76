// Network adapter addresses: one numbered <Mi> sub-element per adapter.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "record/address_element.hpp"

namespace zavro {

// The first six bytes of one adapter's hardware address.
using MacBytes = AddressBytes;

// "<Mi>XX:XX:XX:XX:XX:XX</Mi>" for each address in order, i from 0.
std::string compose_addresses(const std::vector<MacBytes>& addresses);

// The adapter list as the platform hands it out: a sized buffer filled by
// get() (GetAdaptersInfo's contract) and walked by addresses().
class AdapterListSource {
 public:
  static constexpr std::uint32_t kNoError = 0;
  static constexpr std::uint32_t kBufferOverflow = 111;
  static constexpr std::uint32_t kFirstBufferSize = 704;  // one IP_ADAPTER_INFO on x64

  virtual ~AdapterListSource() = default;
  virtual std::uint32_t get(unsigned char* buffer, std::uint32_t* size) = 0;
  virtual std::vector<MacBytes> addresses(const unsigned char* buffer) = 0;
};

// Two calls, at most one regrow in between; only the second call decides.
// Any failure, a failed allocation included, gives no addresses.
std::vector<MacBytes> read_adapter_list(AdapterListSource& source);

// Linux: every interface under net_root (a /sys/class/net tree) except
// loopback, in ifindex order, short addresses zero-padded.
std::vector<MacBytes> read_sysfs_addresses(const std::string& net_root);

// The MacAddresses value of the machine this runs on.
std::string mac_addresses();

}  // namespace zavro
