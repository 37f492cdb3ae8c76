#include <fstream>
#include <sstream>

#include "report/report_file.hpp"

namespace zavro {
namespace {

// A quoted user-dirs value: backslash escapes the next character.
std::string unquote(const std::string& text, std::size_t from, bool& closed) {
  std::string out;
  closed = false;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out.push_back(text[++i]);
    } else if (text[i] == '"') {
      closed = true;
      return out;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> desktop_from_user_dirs(const std::string& content,
                                                  const std::string& home) {
  static const std::string kKey = "XDG_DESKTOP_DIR";
  std::optional<std::string> found;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos || line.compare(p, kKey.size(), kKey) != 0) continue;
    p = line.find_first_not_of(" \t", p + kKey.size());
    if (p == std::string::npos || line[p] != '=') continue;
    p = line.find_first_not_of(" \t", p + 1);
    if (p == std::string::npos || line[p] != '"') continue;
    bool closed = false;
    const std::string value = unquote(line, p + 1, closed);
    if (!closed) continue;
    // Only "$HOME/..." and absolute paths are valid values; the last one wins.
    if (value == "$HOME" || value.rfind("$HOME/", 0) == 0) {
      found = home + value.substr(5);
    } else if (!value.empty() && value[0] == '/') {
      found = value;
    }
  }
  return found;
}

std::string desktop_directory(const std::function<const char*(const char*)>& getenv,
                              const std::function<bool(const std::string&)>& is_dir) {
  const char* home_env = getenv("HOME");
  // A relative home, or desktop, would be resolved against wherever the tool
  // was started; with an absolute home every candidate below is absolute.
  if (home_env == nullptr || home_env[0] != '/') return {};
  std::string home = home_env;

  const char* config_env = getenv("XDG_CONFIG_HOME");
  const std::string config =
      (config_env != nullptr && config_env[0] == '/') ? std::string(config_env) : home + "/.config";
  std::ifstream file(config + "/user-dirs.dirs", std::ios::binary);
  std::ostringstream content;
  if (file) content << file.rdbuf();
  if (const auto dir = desktop_from_user_dirs(content.str(), home); dir && is_dir(*dir))
    return *dir;
  if (const char* env = getenv("XDG_DESKTOP_DIR"); env != nullptr && env[0] == '/' && is_dir(env))
    return env;
  if (is_dir(home + "/Desktop")) return home + "/Desktop";
  return home;
}

}  // namespace zavro
