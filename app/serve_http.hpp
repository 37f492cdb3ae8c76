// serve: a request and its answer as plain data, and the errors every answer
// may carry, mapped to statuses here and nowhere else.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/accounts.hpp"

namespace zavro::server {

struct Field {
  std::string name;
  std::string value;
};

struct Request {
  std::string method;
  std::string path;  // without the query
  std::vector<Field> query;
  std::vector<Field> headers;  // as sent, in order
  std::string body;
  bool tls = false;
  std::string peer;  // the client's address
  // Who sent it, as access found before any route ran.
  registry::Actor actor;

  // The first header of that name (ASCII case aside), or nullptr.
  const std::string* header(std::string_view name) const;
  // How many headers of that name were sent.
  std::size_t count(std::string_view name) const;
  // The query value, cut to kParamBytes; empty when absent.
  std::string param(std::string_view name) const;
  // The value of the named cookie in the Cookie header; empty when absent.
  std::string cookie(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  // A body that outlives the server (the page's files), sent in place of body.
  std::string_view fixed;
  std::vector<Field> headers;
  // The connection ends with this answer (a body left unread, a framing fault).
  bool close = false;
  // The machines a read showed, for its audit row: the first ids, and how many.
  std::vector<std::int64_t> shown;
  std::int64_t shown_count = 0;
};

// Every error an answer can carry: its status, and the code the README lists.
enum class Problem {
  kBadRequest,           // 400 bad_request
  kUnauthorized,         // 401 unauthorized
  kForbidden,            // 403 forbidden: a signed-in page's request from another origin,
                         // or an actor whose role or scope does not allow it
  kNotFound,             // 404 not_found
  kMethodNotAllowed,     // 405 method_not_allowed
  kRefused,              // 409 refused: a decision that cannot stand (no such machine, ...)
  kTooLarge,             // 413 too_large: a body, an archive's members or unpacked size
  kMisdirected,          // 421 misdirected: a Host this server does not answer to
  kTooManySignIns,       // 429 too_many_sign_ins: failed sign-ins past the limit
  kHeadersTooLarge,      // 431 headers_too_large
  kInternal,             // 500 internal
  kRegistryUnavailable,  // 503 registry_unavailable
  kBusy,                 // 503 busy: too many bodies being received at once
  kStopping,             // 503 stopping: the server is shutting down
};

// The answer for a problem: {"code":...,"message":...}. message is shown to
// whoever sent the request: it names no path, host or library's words.
Response error_answer(Problem problem, std::string_view message);
int status_of(Problem problem);
const char* code_of(Problem problem);

// Why the request's framing cannot be trusted (a proxy in front may have
// read it otherwise): more than one Content-Length, Content-Length with
// Transfer-Encoding, a coding other than chunked, a length that is no
// number. nullopt when it can.
std::optional<std::string> framing_fault(const Request& request);

// ASCII case folded equality, for header names and hosts.
bool same_text(std::string_view a, std::string_view b);

}  // namespace zavro::server
