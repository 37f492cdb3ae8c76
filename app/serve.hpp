// zavro-record serve (Linux): the registry over HTTP, a JSON API and a page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/serve_limits.hpp"

namespace zavro {

struct ServeOptions {
  std::string location;  // the registry: a path or a URI
  std::string listen = "127.0.0.1:8417";
  std::string token_file;  // empty: beside the registry
  std::string tls_cert;
  std::string tls_key;
  bool insecure_http = false;
  std::size_t body_limit = server::kBodyLimit;
  std::size_t threads = 16;
  std::size_t max_connections = server::kMaxConnections;
  std::size_t max_connections_per_address = server::kMaxConnectionsPerAddress;
  // Host names answered besides the address listened on and localhost.
  std::vector<std::string> allowed_hosts;
};

// Runs until SIGINT or SIGTERM; the exit status (2 when it cannot start).
int serve(const ServeOptions& options);

}  // namespace zavro
