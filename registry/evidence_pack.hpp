// A report's evidence as stored: the JSON text with its recurring pieces
// (keys, weights, component verdicts) each written as one control byte.
// Evidence is escaped JSON, so it never holds a byte below 0x20 itself, and
// text stored before packing reads back unchanged. This about halves a
// stored report: a tie's evidence runs to 200 bytes a machine weighed, of
// which a few dozen are its own.
#pragma once

#include <string>
#include <string_view>

namespace zavro::registry {

std::string pack_evidence(std::string_view json);
std::string unpack_evidence(std::string_view stored);

}  // namespace zavro::registry
