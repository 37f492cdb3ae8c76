// SHA-256 of a report's bytes: what makes two reports the same report.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zavro::registry {

using Digest = std::array<std::uint8_t, 32>;

Digest sha256(std::string_view bytes);
// Lower-case hex, 64 characters.
std::string hex(const Digest& digest);

}  // namespace zavro::registry
