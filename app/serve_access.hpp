// serve: who may ask what, checked once for each request before any route
// runs: the Host it names, the token or session it carries, and for a
// signed-in page's requests that change something, the origin they come from.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/serve_accounts.hpp"
#include "app/serve_http.hpp"

namespace zavro::server {

constexpr const char* kSessionCookie = "zavro_session";

// Sign-in sessions, in memory: a restart signs everyone out.
class Sessions {
 public:
  // A new session's id for who signed in; nullopt when no random id could
  // be made.
  std::optional<std::string> open(const std::string& who);
  // Who the session is of; nullopt when it is none (or over).
  std::optional<std::string> who(const std::string& id);
  void close(const std::string& id);

 private:
  using Clock = std::chrono::steady_clock;
  struct Session {
    Clock::time_point expiry;
    std::string who;
  };
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
};

// The names a request's Host may give: the address listened on (any IP
// address when that is a wildcard), localhost, and each --allowed-host.
struct HostRules {
  std::string listen_host;  // as given to --listen, brackets removed
  std::vector<std::string> allowed;
};

// Whether a Host header's value names this server; the port is not looked
// at (a reverse proxy may forward its own). A name that could be anyone's
// (a DNS-rebinding page's) is refused.
bool host_allowed(std::string_view host, const HostRules& rules);

// Whether a request comes from the page's own origin: Sec-Fetch-Site says
// same-origin, or, without it, Origin is this server's Host under https (or
// http, unless this server serves TLS itself).
bool same_origin(const Request& request);

// Whether a request changes something (so a forged one must not pass).
bool changes_state(const Request& request);

class Access {
 public:
  Access(Directory& directory, HostRules hosts) : directory_(directory), hosts_(std::move(hosts)) {}

  // Whether the request's Host names this server (421 otherwise).
  bool host_ok(const Request& request) const;
  // Who sent the request (a bearer token's robot, else the session's
  // person), in actor, and nullopt when it may go on to a route that needs
  // those rights (registry::Right bits; 0 for none); otherwise why not:
  // unauthorized when nobody signed in, forbidden when the actor may not.
  std::optional<Problem> check(const Request& request, unsigned need, registry::Actor& actor);
  bool token_matches(std::string_view text) const;
  Sessions& sessions() { return sessions_; }
  Directory& directory() { return directory_; }

 private:
  Directory& directory_;
  HostRules hosts_;
  Sessions sessions_;
};

}  // namespace zavro::server
