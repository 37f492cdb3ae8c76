#include "app/serve_access.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>

#include "app/serve_limits.hpp"
#include "app/serve_token.hpp"

namespace zavro::server {
namespace {

bool ip_literal(const std::string& name) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

}  // namespace

std::optional<std::string> Sessions::open(const std::string& who) {
  auto id = random_hex();
  if (!id) return std::nullopt;
  const auto now = Clock::now();
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.expiry < now ? sessions_.erase(it) : std::next(it);
  }
  if (sessions_.size() >= kMaxSessions) {
    sessions_.erase(std::min_element(
        sessions_.begin(), sessions_.end(),
        [](const auto& a, const auto& b) { return a.second.expiry < b.second.expiry; }));
  }
  sessions_[*id] = {now + kSessionLife, who};
  return id;
}

std::optional<std::string> Sessions::who(const std::string& id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(id);
  if (it == sessions_.end() || it->second.expiry <= Clock::now()) return std::nullopt;
  return it->second.who;
}

void Sessions::close(const std::string& id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

bool host_allowed(std::string_view host, const HostRules& rules) {
  std::string name;
  if (!host.empty() && host.front() == '[') {
    const auto end = host.find(']');
    if (end == std::string_view::npos) return false;
    name = std::string(host.substr(1, end - 1));
    host.remove_prefix(end + 1);
    if (!host.empty() && host.front() != ':') return false;
  } else {
    const auto colon = host.find(':');
    name = std::string(host.substr(0, colon));
    host = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
  }
  if (!host.empty() &&  // ":PORT"
      (host.size() > 6 || host.size() < 2 ||
       !std::all_of(host.begin() + 1, host.end(), [](char c) { return c >= '0' && c <= '9'; }))) {
    return false;
  }
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  if (same_text(name, "localhost") || same_text(name, rules.listen_host)) return true;
  if ((rules.listen_host == "0.0.0.0" || rules.listen_host == "::") && ip_literal(name))
    return true;
  return std::any_of(rules.allowed.begin(), rules.allowed.end(),
                     [&name](const std::string& allowed) { return same_text(name, allowed); });
}

bool same_origin(const Request& request) {
  // Set by the browser itself, beyond a page's reach.
  if (const std::string* site = request.header("Sec-Fetch-Site")) {
    return same_text(*site, "same-origin");
  }
  const std::string* origin = request.header("Origin");
  const std::string* host = request.header("Host");
  if (origin == nullptr || host == nullptr) return false;
  // Behind a proxy that ends TLS the page's origin is https while this
  // server speaks plain HTTP; serving TLS itself, only https.
  return same_text(*origin, "https://" + *host) ||
         (!request.tls && same_text(*origin, "http://" + *host));
}

bool changes_state(const Request& request) {
  return request.method != "GET" && request.method != "HEAD" && request.method != "OPTIONS";
}

bool Access::token_matches(std::string_view text) const {
  return directory_.file_token_matches(text);
}

bool Access::host_ok(const Request& request) const {
  const std::string* host = request.header("Host");
  return host != nullptr && host_allowed(*host, hosts_);
}

std::optional<Problem> Access::check(const Request& request, unsigned need,
                                     registry::Actor& actor) {
  actor = {};
  const std::string* authorization = request.header("Authorization");
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization != nullptr && authorization->size() > kBearer.size() &&
      authorization->compare(0, kBearer.size(), kBearer) == 0) {
    // A robot: no cookie, nothing a page could forge.
    actor = directory_.bearer(std::string_view(*authorization).substr(kBearer.size()));
  }
  const std::string session = request.cookie(kSessionCookie);
  if (actor.who.empty() && !session.empty()) {
    // A cookie comes with any request the browser sends, whoever's page made it.
    if (changes_state(request) && !same_origin(request)) return Problem::kForbidden;
    if (const auto who = sessions_.who(session)) {
      // The token file's holder signed in with it; a person as the accounts say now.
      actor = *who == "token-file" ? Directory::file_holder() : directory_.person(*who);
    }
  }
  if (need == 0) return std::nullopt;
  if (actor.who.empty()) return Problem::kUnauthorized;
  if (!actor.may(need)) return Problem::kForbidden;
  return std::nullopt;
}

}  // namespace zavro::server
