// Printing what the reader found: JSON lines and terminal text. It decides
// nothing, and is the only place where a value's bytes become text, so the
// only place that escapes.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "reader/json.hpp"
#include "reader/read.hpp"
#include "reader/reader.hpp"

namespace zavro::reader {

// Byte b of a value as the code point U+00bb, UTF-8 encoded: lossless, and a
// receiver gets the bytes back by encoding to Latin-1.
std::string latin1_to_utf8(std::string_view bytes);
// A value fit for a terminal: printable ASCII as is, backslash as "\\", every
// other byte as "\xNN".
std::string terminal_safe(std::string_view bytes);

// show --json: one line, no line break at the end.
std::string show_json(const FileReport& report);
// An adapter's maker, when known: told beside its address.
using MakerOf = std::function<std::string(const Address& address)>;

// The six fields of a decoded record: as show --json writes its "fields"
// object, and as show's table shows them (each line ending with a line
// break). With maker, each address also carries its maker's name.
void fields_json(JsonLine& json, const Parsed& parsed, const Decoded& decoded,
                 const MakerOf& maker = {});
std::string fields_text(const Parsed& parsed, const Decoded& decoded, const MakerOf& maker = {});

// show: a readable table, ending with a line break.
std::string show_text(const FileReport& report);
// check: "FILE: ok", "FILE: warning: KEY: text; ...", "FILE: ambiguous: N splits",
// "FILE: malformed: <error> at byte N" or "FILE: unreadable: <reason>", no line break.
std::string check_line(const FileReport& report);
// compare --json (one line) and compare's readable text; both files ok.
std::string compare_json(const FileReport& a, const FileReport& b, const Comparison& comparison);
std::string compare_text(const FileReport& a, const FileReport& b, const Comparison& comparison);

}  // namespace zavro::reader
