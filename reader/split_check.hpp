// An independent statement of the split rules, for checking parse from outside.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "record/record.hpp"

namespace zavro::reader {

// Whether `content` (decoded, CR LF folded) reads as a record whose six values
// have these lengths, under the rules by which parse counts a split.
bool is_split(std::string_view content, const std::array<std::size_t, kKeyCount>& lengths);

}  // namespace zavro::reader
