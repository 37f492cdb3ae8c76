#include <algorithm>
#include <cctype>

#include "collectors/firmware_serial.hpp"
#include "collectors/read_file_linux.hpp"

namespace zavro {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::string read_dmi_serial(const std::string& dmi_root, const char* query) {
  const std::string q = lower(query);
  const char* file = nullptr;
  if (q == lower(kBiosQuery)) {
    file = "product_serial";
  } else if (q == lower(kBaseboardQuery)) {
    file = "board_serial";
  } else {
    return kNotFound;
  }
  // The serial files are readable by root only; anyone else gets "not found".
  std::string serial;
  if (!read_file(dmi_root + "/" + file, serial)) return kNotFound;
  if (!serial.empty() && serial.back() == '\n') serial.pop_back();
  return serial;
}

std::string firmware_serial(const char* query) {
  return read_dmi_serial("/sys/class/dmi/id", query);
}

}  // namespace zavro
