// Adapter makers, from the IEEE registry of address blocks as Debian's
// ieee-data installs it, read at run time: without it an address is shown
// alone.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "record/address_element.hpp"

namespace zavro::registry {

class Vendors {
 public:
  static constexpr const char* kDirectory = "/usr/share/ieee-data";
  // Reads the blocks (24, 28 and 36 bits) that wanted fall in, or every one
  // when wanted is empty, from dir's oui.csv, mam.csv and oui36.csv.
  explicit Vendors(const std::vector<AddressBytes>& wanted, const std::string& dir = kDirectory);
  // The maker of the block the address is in, the narrowest block first;
  // empty when none is known.
  std::string maker(const AddressBytes& address) const;

 private:
  // Keyed by the block's bits and their count.
  std::unordered_map<std::uint64_t, std::string> names_;
};

}  // namespace zavro::registry
