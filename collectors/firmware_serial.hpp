// Firmware serial numbers (BIOS and baseboard) by query text.
#pragma once

#include <string>

namespace zavro {

inline constexpr const char* kBiosQuery = "SELECT * FROM Win32_Bios";
inline constexpr const char* kBaseboardQuery = "SELECT * FROM Win32_Baseboard";
inline constexpr const char* kNotFound = "not found";

// "not found" when the query cannot be answered, the empty text when no
// instance holds a serial number, else the last instance's serial number.
std::string firmware_serial(const char* query);

// Linux: the two queries (class names matched without regard to case) read
// product_serial and board_serial under dmi_root; the file's bytes without
// one trailing line feed, or "not found" when missing or unreadable.
std::string read_dmi_serial(const std::string& dmi_root, const char* query);

}  // namespace zavro
