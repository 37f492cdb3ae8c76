// serve: the routes, grouped by resource (the page, the session, reports,
// find, machines, the listings), each a thin call into the registry's views
// shared with the command line. Access is checked once, in admit(), before
// any route runs; errors become answers in one place, handle().
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "app/serve_access.hpp"
#include "app/serve_front.hpp"

namespace zavro::server {

struct ServiceOptions {
  std::string location;  // the registry
  std::size_t body_limit = 0;
  bool tls = false;
};

class Service final : public Handler {
 public:
  Service(ServiceOptions options, Access& access);
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  Admission admit(Request& head) override;
  Response handle(Request& request) override;

  struct Parts;

 private:
  std::unique_ptr<Parts> parts_;
};

}  // namespace zavro::server
