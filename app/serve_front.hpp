// serve: listening and its limits. A few network threads wait on every
// connection at once (libmicrohttpd, epoll); a request whose headers and
// body have arrived goes to a worker, so slow or idle connections hold no
// thread. Deadlines, header caps, connection limits and framing are enforced
// here, before a request reaches the handler.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "app/serve_http.hpp"

namespace zavro::server {

// What to do with a request whose headers have arrived.
struct Admission {
  // Answered at once, its body unread (the connection then closes).
  std::optional<Response> answer;
  // Otherwise its body is read, up to this, and handed to a worker.
  std::size_t body_limit = 0;
};

class Handler {
 public:
  virtual ~Handler() = default;
  // On a network thread, before any body is read: must not wait. It may
  // note on the request who sent it (Request::actor).
  virtual Admission admit(Request& head) = 0;
  // On a worker, with the whole body.
  virtual Response handle(Request& request) = 0;
};

struct FrontOptions {
  int listen_fd = -1;    // bound and listening; the front owns it from start()
  std::string cert_pem;  // both set: HTTPS
  std::string key_pem;
  std::size_t max_connections = 0;
  std::size_t per_address = 0;
  std::size_t workers = 0;
  // Body bytes held at once across all connections.
  std::size_t bodies_in_flight = 0;
};

class Front {
 public:
  Front(Handler& handler, FrontOptions options);
  ~Front();
  Front(const Front&) = delete;
  Front& operator=(const Front&) = delete;

  // Serving from now on; false when the library refused to start (a TLS key
  // that does not fit its certificate, most likely).
  bool start();
  // Answers what is being worked on, then closes every connection.
  void stop();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace zavro::server
