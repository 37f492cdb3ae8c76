#include "report/report_file.hpp"

namespace zavro {

std::string to_text_mode(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + 16);
  for (const char c : bytes) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace zavro
