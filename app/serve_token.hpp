// serve: the access token's file, and the random ids made beside it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zavro::server {

// 256 random bits as 64 hex digits; nullopt when the system has none to give.
std::optional<std::string> random_hex();

// Time independent of where the first difference is.
bool same_secret(std::string_view a, std::string_view b);

// Beside a registry file; for a database URI, in the user's data directory.
std::optional<std::string> default_token_file(const std::string& location);

// Reads the token, or makes one (mode 0600) and tells it once. Refused,
// with a message on standard error: anything but a regular file owned by
// this user that only its owner can use (the token is the only key), a link,
// and a file that holds no token. Never waits on what the path names.
std::optional<std::string> load_token(const std::string& path);

}  // namespace zavro::server
