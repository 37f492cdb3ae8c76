#include "app/serve_http.hpp"

#include <algorithm>

#include "app/serve_limits.hpp"
#include "reader/json.hpp"

namespace zavro::server {
namespace {

struct ProblemRow {
  Problem problem;
  int status;
  const char* code;
};
constexpr ProblemRow kProblems[] = {
    {Problem::kBadRequest, 400, "bad_request"},
    {Problem::kUnauthorized, 401, "unauthorized"},
    {Problem::kForbidden, 403, "forbidden"},
    {Problem::kNotFound, 404, "not_found"},
    {Problem::kMethodNotAllowed, 405, "method_not_allowed"},
    {Problem::kTooLarge, 413, "too_large"},
    {Problem::kMisdirected, 421, "misdirected"},
    {Problem::kRefused, 409, "refused"},
    {Problem::kTooManySignIns, 429, "too_many_sign_ins"},
    {Problem::kHeadersTooLarge, 431, "headers_too_large"},
    {Problem::kInternal, 500, "internal"},
    {Problem::kRegistryUnavailable, 503, "registry_unavailable"},
    {Problem::kBusy, 503, "busy"},
    {Problem::kStopping, 503, "stopping"},
};

const ProblemRow& row_of(Problem problem) {
  for (const ProblemRow& row : kProblems) {
    if (row.problem == problem) return row;
  }
  return row_of(Problem::kInternal);
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return fold(x) == fold(y); });
}

int status_of(Problem problem) { return row_of(problem).status; }
const char* code_of(Problem problem) { return row_of(problem).code; }

Response error_answer(Problem problem, std::string_view message) {
  Response response;
  response.status = status_of(problem);
  reader::JsonLine json;
  json.begin_object()
      .key("code")
      .latin1(code_of(problem))
      .key("message")
      .text(message)
      .end_object();
  response.body = json.str();
  return response;
}

const std::string* Request::header(std::string_view name) const {
  for (const Field& field : headers) {
    if (same_text(field.name, name)) return &field.value;
  }
  return nullptr;
}

std::size_t Request::count(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [name](const Field& f) { return same_text(f.name, name); }));
}

std::string Request::param(std::string_view name) const {
  for (const Field& field : query) {
    if (field.name == name) return field.value.substr(0, kParamBytes);
  }
  return {};
}

std::string Request::cookie(std::string_view name) const {
  const std::string* value = header("Cookie");
  std::string_view rest = value != nullptr ? *value : std::string_view();
  while (!rest.empty()) {
    const auto end = rest.find(';');
    std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name &&
        part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
  }
  return {};
}

std::optional<std::string> framing_fault(const Request& request) {
  const std::string* length = request.header("Content-Length");
  const std::string* coding = request.header("Transfer-Encoding");
  if (request.count("Content-Length") > 1) return "more than one Content-Length";
  if (length != nullptr && coding != nullptr) return "Content-Length with Transfer-Encoding";
  if (length != nullptr && (length->empty() || length->size() > 18 ||
                            length->find_first_not_of("0123456789") != std::string::npos)) {
    return "Content-Length is not a number";
  }
  if (coding != nullptr &&
      (request.count("Transfer-Encoding") > 1 || !same_text(*coding, "chunked"))) {
    return "Transfer-Encoding other than chunked";
  }
  return std::nullopt;
}

}  // namespace zavro::server
