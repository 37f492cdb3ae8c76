// The user-dirs reader: a result is an absolute path or home followed by
// nothing or an absolute path, and a valid line appended always wins.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.hpp"
#include "report/report_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string home = input.ConsumeRandomLengthString(128);
  const std::string content = input.ConsumeRemainingBytesAsString();

  const auto desktop = zavro::desktop_from_user_dirs(content, home);
  if (content.find("XDG_DESKTOP_DIR") == std::string::npos) ZAVRO_FUZZ_CHECK(!desktop);
  if (desktop) {
    const std::string& d = *desktop;
    const bool absolute = !d.empty() && d[0] == '/';
    const bool under_home =
        d.compare(0, home.size(), home) == 0 && (d.size() == home.size() || d[home.size()] == '/');
    ZAVRO_FUZZ_CHECK(absolute || under_home);
    ZAVRO_FUZZ_CHECK(d.size() <= content.size() + home.size());
  }

  const auto last = zavro::desktop_from_user_dirs(content + "\nXDG_DESKTOP_DIR=\"/zz\"\n", home);
  ZAVRO_FUZZ_CHECK(last && *last == "/zz");
  const auto at_home =
      zavro::desktop_from_user_dirs(content + "\n XDG_DESKTOP_DIR = \"$HOME/D\\\"k\"", home);
  ZAVRO_FUZZ_CHECK(at_home && *at_home == home + "/D\"k");
  return 0;
}
