// Any bytes as a request's headers ("Name: value" lines, then a Host for the
// host check): serve's own checks of what the HTTP library parsed must not
// crash, must ignore ASCII case where HTTP does, and must only ever hand
// back a cookie that was sent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/serve_access.hpp"
#include "app/serve_http.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

namespace sv = zavro::server;

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  sv::Request request;
  request.method = "POST";
  std::size_t from = 0;
  while (from < bytes.size()) {
    std::size_t end = bytes.find('\n', from);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string_view line = bytes.substr(from, end - from);
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      request.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }
    from = end + 1;
  }
  static const sv::HostRules kRules{"127.0.0.1", {"registry.example"}};
  const std::string* host = request.header("Host");
  if (host != nullptr) {
    ZAVRO_FUZZ_CHECK(sv::host_allowed(*host, kRules) == sv::host_allowed(upper(*host), kRules));
  }
  sv::same_origin(request);
  const auto fault = sv::framing_fault(request);
  ZAVRO_FUZZ_CHECK(!fault || !fault->empty());
  const std::string cookie = request.cookie(sv::kSessionCookie);
  const std::string* sent = request.header("Cookie");
  ZAVRO_FUZZ_CHECK(cookie.empty() || (sent != nullptr && sent->find(cookie) != std::string::npos));
  return 0;
}
