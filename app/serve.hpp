// zavro-record serve (Linux): the registry over HTTP, a JSON API and a page.
#pragma once

#include <cstddef>
#include <string>

namespace zavro {

struct ServeOptions {
  std::string location;  // the registry: a path or a URI
  std::string listen = "127.0.0.1:8417";
  std::string token_file;  // empty: beside the registry
  std::string tls_cert;
  std::string tls_key;
  bool insecure_http = false;
  std::size_t body_limit = std::size_t{64} << 20;
  std::size_t threads = 16;
};

// Runs until SIGINT or SIGTERM; the exit status (2 when it cannot start).
int serve(const ServeOptions& options);

}  // namespace zavro
