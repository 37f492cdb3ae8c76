#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "app/serve_front.hpp"
#include "app/serve_limits.hpp"
#include "registry/loaded.hpp"

namespace zavro::server {
namespace {

// libmicrohttpd, loaded when serve starts (registry/loaded.hpp): no other
// command needs it, and it pulls in GnuTLS and its libraries.
// clang-format off
#define ZAVRO_MHD(X) \
  X(MHD_add_response_header) \
  X(MHD_create_response_from_buffer) \
  X(MHD_create_response_from_buffer_with_free_callback_cls) \
  X(MHD_destroy_response) \
  X(MHD_get_connection_info) \
  X(MHD_get_connection_values_n) \
  X(MHD_queue_response) \
  X(MHD_resume_connection) \
  X(MHD_start_daemon) \
  X(MHD_stop_daemon) \
  X(MHD_suspend_connection)
// clang-format on

struct LibMicrohttpd {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument names a member
#define ZAVRO_MHD_FIELD(name) decltype(&::name) name = nullptr;
  ZAVRO_MHD(ZAVRO_MHD_FIELD)
#undef ZAVRO_MHD_FIELD
};

const LibMicrohttpd& mhd() {
  static const LibMicrohttpd loaded = [] {
    constexpr const char* kSoname = "libmicrohttpd.so.12";
    void* const library = registry::open_library(kSoname);
    LibMicrohttpd table;
#define ZAVRO_MHD_LOAD(name) \
  table.name =               \
      reinterpret_cast<decltype(table.name)>(registry::library_symbol(library, kSoname, #name));
    ZAVRO_MHD(ZAVRO_MHD_LOAD)
#undef ZAVRO_MHD_LOAD
    return table;
  }();
  return loaded;
}

using Clock = std::chrono::steady_clock;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Every answer, the page's and the API's alike.
const Field kDefaultHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
     "img-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

// One connection, as the deadline sweeper sees it.
struct Conn {
  enum Phase : int { kHeaders, kBody, kWorking, kClosing };
  int fd = -1;
  std::atomic<int> phase{kHeaders};
  std::atomic<std::int64_t> since{0};  // when the phase began, now_ns()
  std::atomic<std::uint64_t> body{0};  // body bytes had in kBody

  void enter(Phase next) {
    since = now_ns();
    body = 0;
    phase = next;
  }
};

// One request on its connection, from its headers to its answer.
struct Exchange {
  explicit Exchange(std::atomic<std::size_t>& bodies) : in_flight(bodies) {}
  ~Exchange() { in_flight -= held; }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Takes size more body bytes from the budget of all connections; false
  // when it has not that much left.
  bool take(std::size_t size, std::size_t budget) {
    if (in_flight.fetch_add(size) + size > budget) {
      in_flight -= size;
      return false;
    }
    held += size;
    return true;
  }

  std::atomic<std::size_t>& in_flight;
  std::size_t held = 0;  // taken from in_flight
  Request request;
  std::size_t limit = 0;
  bool submitted = false;
  std::optional<Response> answer;  // set by the worker before it resumes the connection
};

// Runs jobs on a fixed set of threads; after stop() it takes no more, and
// the ones taken all run.
class Workers {
 public:
  explicit Workers(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { run(); });
  }
  ~Workers() { stop(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  bool submit(std::function<void()> job) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return false;
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
  }
  void stop() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

struct Front::State {
  Handler& handler;
  FrontOptions options;
  MHD_Daemon* daemon = nullptr;
  Workers workers;
  std::atomic<std::size_t> bodies{0};  // body bytes held, all connections
  // Every open connection, for the sweeper; a connection's socket stays
  // open until it leaves this set (the library closes it after telling).
  std::mutex conns_mutex;
  std::set<Conn*> conns;
  std::mutex sweep_mutex;
  std::condition_variable sweep_wake;
  bool sweep_stop = false;
  std::thread sweeper;

  State(Handler& h, FrontOptions o) : handler(h), options(std::move(o)), workers(options.workers) {}

  // Closes what is past its deadline: headers not whole kHeaderDeadline
  // after the connection opened or last answered, a body slower than
  // kMinBodyBytesPerSecond after kBodyGrace. The library's own timeout only
  // counts silence, which a byte every few seconds resets.
  void sweep() {
    std::unique_lock<std::mutex> lock(sweep_mutex);
    while (
        !sweep_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return sweep_stop; })) {
      const std::int64_t now = now_ns();
      const std::lock_guard<std::mutex> conns_lock(conns_mutex);
      for (Conn* conn : conns) {
        const std::int64_t age = now - conn->since;
        const int phase = conn->phase;
        bool late = false;
        if (phase == Conn::kHeaders) {
          late = age > std::chrono::nanoseconds(kHeaderDeadline).count();
        } else if (phase == Conn::kBody && age > std::chrono::nanoseconds(kBodyGrace).count()) {
          late = static_cast<double>(conn->body) <
                 static_cast<double>(kMinBodyBytesPerSecond) * static_cast<double>(age) / 1e9;
        }
        if (late) {
          conn->phase = Conn::kClosing;
          ::shutdown(conn->fd, SHUT_RDWR);
        }
      }
    }
  }
};

namespace {

Conn* conn_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      mhd().MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<Conn*>(info->socket_context) : nullptr;
}

void free_string(void* owned) { delete static_cast<std::string*>(owned); }

MHD_Result send(MHD_Connection* connection, Response& response) {
  MHD_Response* answer = nullptr;
  if (!response.fixed.empty()) {
    answer = mhd().MHD_create_response_from_buffer(
        response.fixed.size(), const_cast<char*>(response.fixed.data()), MHD_RESPMEM_PERSISTENT);
  } else {
    auto* owned = new std::string(std::move(response.body));
    answer = mhd().MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), owned->data(), free_string, owned);
    if (answer == nullptr) delete owned;
  }
  if (answer == nullptr) return MHD_NO;
  for (const Field& field : kDefaultHeaders) {
    mhd().MHD_add_response_header(answer, field.name.c_str(), field.value.c_str());
  }
  if (response.status != 204)
    mhd().MHD_add_response_header(answer, "Content-Type", response.type.c_str());
  for (const Field& field : response.headers) {
    mhd().MHD_add_response_header(answer, field.name.c_str(), field.value.c_str());
  }
  if (response.close) mhd().MHD_add_response_header(answer, "Connection", "close");
  const MHD_Result queued =
      mhd().MHD_queue_response(connection, static_cast<unsigned>(response.status), answer);
  mhd().MHD_destroy_response(answer);
  return queued;
}

MHD_Result refuse(MHD_Connection* connection, Problem problem, std::string_view message) {
  Response response = error_answer(problem, message);
  response.close = true;
  return send(connection, response);
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, std::size_t key_size,
                   const char* value, std::size_t value_size) {
  auto* fields = static_cast<std::vector<Field>*>(cls);
  fields->push_back({std::string(key, key_size),
                     value != nullptr ? std::string(value, value_size) : std::string()});
  return MHD_YES;
}

std::string peer_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      mhd().MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "";
  if (info == nullptr || info->client_addr == nullptr) return text;
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
  } else if (address->sa_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                sizeof text);
  }
  return text;
}

MHD_Result on_headers(Front::State& state, MHD_Connection* connection, const char* url,
                      const char* method, void** context) {
  Conn* conn = conn_of(connection);
  if (conn != nullptr) conn->enter(Conn::kBody);
  auto* exchange = new Exchange(state.bodies);
  *context = exchange;
  Request& request = exchange->request;
  request.method = method;
  request.path = url;
  request.tls = !state.options.cert_pem.empty();
  request.peer = peer_of(connection);
  mhd().MHD_get_connection_values_n(connection, MHD_HEADER_KIND, collect, &request.headers);
  mhd().MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, collect, &request.query);
  if (request.headers.size() > kMaxHeaders) {
    return refuse(connection, Problem::kHeadersTooLarge, "too many header fields");
  }
  if (auto fault = framing_fault(request)) return refuse(connection, Problem::kBadRequest, *fault);
  const std::string* length = request.header("Content-Length");
  const bool has_body =
      request.header("Transfer-Encoding") != nullptr || (length != nullptr && *length != "0");
  Admission admission = state.handler.admit(request);
  if (admission.answer) {
    if (!has_body) {
      // Sent on the next call: an answer queued with the headers alone ends
      // the connection, which a keep-alive client did not ask for.
      exchange->answer = std::move(admission.answer);
      return MHD_YES;
    }
    // Its body is left unread: nothing after it on this connection can be trusted.
    admission.answer->close = true;
    return send(connection, *admission.answer);
  }
  const std::uint64_t declared = length != nullptr ? std::stoull(*length) : 0;
  if (declared > admission.body_limit) {
    return refuse(connection, Problem::kTooLarge,
                  "request body larger than " + std::to_string(admission.body_limit) + " bytes");
  }
  if (!exchange->take(declared, state.options.bodies_in_flight)) {
    return refuse(connection, Problem::kBusy, "too many uploads at once: try again shortly");
  }
  exchange->limit = admission.body_limit;
  return MHD_YES;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char* upload_data, std::size_t* upload_size,
                      void** context) {
  auto& state = *static_cast<Front::State*>(cls);
  auto* exchange = static_cast<Exchange*>(*context);
  if (exchange == nullptr) return on_headers(state, connection, url, method, context);
  if (*upload_size > 0) {
    std::string& body = exchange->request.body;
    // A chunked body past its limit: no answer can be queued mid-body, so
    // the connection ends here.
    if (*upload_size > exchange->limit - body.size()) return MHD_NO;
    // A chunked body takes from the budget as it comes (a declared one did at once).
    if (body.size() + *upload_size > exchange->held &&
        !exchange->take(body.size() + *upload_size - exchange->held,
                        state.options.bodies_in_flight)) {
      return MHD_NO;
    }
    body.append(upload_data, *upload_size);
    if (Conn* conn = conn_of(connection)) conn->body += *upload_size;
    *upload_size = 0;
    return MHD_YES;
  }
  if (exchange->answer) return send(connection, *exchange->answer);
  if (exchange->submitted) return MHD_YES;
  exchange->submitted = true;
  if (Conn* conn = conn_of(connection)) conn->phase = Conn::kWorking;
  // Suspended first: the worker may resume it before submit returns.
  mhd().MHD_suspend_connection(connection);
  const bool taken = state.workers.submit([&state, connection, exchange] {
    try {
      exchange->answer = state.handler.handle(exchange->request);
    } catch (...) {
      exchange->answer = error_answer(Problem::kInternal, "internal error");
    }
    mhd().MHD_resume_connection(connection);
  });
  if (!taken) {
    exchange->answer = error_answer(Problem::kStopping, "the server is stopping");
    mhd().MHD_resume_connection(connection);
  }
  return MHD_YES;
}

void on_completed(void*, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
  delete static_cast<Exchange*>(*context);
  *context = nullptr;
  if (Conn* conn = conn_of(connection)) {
    if (conn->phase != Conn::kClosing) conn->enter(Conn::kHeaders);
  }
}

void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code) {
  auto& state = *static_cast<Front::State*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* conn = new Conn;
    const MHD_ConnectionInfo* info =
        mhd().MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    conn->fd = info != nullptr ? info->connect_fd : -1;
    conn->enter(Conn::kHeaders);
    *socket_context = conn;
    const std::lock_guard<std::mutex> lock(state.conns_mutex);
    state.conns.insert(conn);
    return;
  }
  auto* conn = static_cast<Conn*>(*socket_context);
  if (conn == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(state.conns_mutex);
    state.conns.erase(conn);
  }
  delete conn;
  *socket_context = nullptr;
}

}  // namespace

Front::Front(Handler& handler, FrontOptions options)
    : state_(std::make_unique<State>(handler, std::move(options))) {}

Front::~Front() { stop(); }

bool Front::start() {
  State& s = *state_;
  const auto item = [](MHD_OPTION option, std::intptr_t value, void* pointer = nullptr) {
    return MHD_OptionItem{option, value, pointer};
  };
  std::vector<MHD_OptionItem> items = {
      item(MHD_OPTION_LISTEN_SOCKET, s.options.listen_fd),
      item(MHD_OPTION_THREAD_POOL_SIZE, kNetworkThreads),
      item(MHD_OPTION_CONNECTION_LIMIT, static_cast<std::intptr_t>(s.options.max_connections)),
      item(MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<std::intptr_t>(s.options.per_address)),
      item(MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds),
      item(MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::intptr_t>(kHeaderBytes)),
      item(MHD_OPTION_STRICT_FOR_CLIENT, 1),
      item(MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1),
      item(MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<std::intptr_t>(&on_completed), &s),
      item(MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<std::intptr_t>(&on_connection), &s),
  };
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  if (!s.options.cert_pem.empty()) {
    flags |= MHD_USE_TLS;
    items.push_back(item(MHD_OPTION_HTTPS_MEM_CERT, 0, s.options.cert_pem.data()));
    items.push_back(item(MHD_OPTION_HTTPS_MEM_KEY, 0, s.options.key_pem.data()));
  }
  items.push_back(item(MHD_OPTION_END, 0));
  s.daemon = mhd().MHD_start_daemon(flags, 0, nullptr, nullptr, &on_request, &s, MHD_OPTION_ARRAY,
                                    items.data(), MHD_OPTION_END);
  if (s.daemon == nullptr) return false;
  s.sweeper = std::thread([&s] { s.sweep(); });
  return true;
}

void Front::stop() {
  State& s = *state_;
  // Every taken request answered first: no connection may stay suspended.
  s.workers.stop();
  if (s.daemon != nullptr) {
    mhd().MHD_stop_daemon(s.daemon);
    s.daemon = nullptr;
  }
  {
    const std::lock_guard<std::mutex> lock(s.sweep_mutex);
    s.sweep_stop = true;
  }
  s.sweep_wake.notify_all();
  if (s.sweeper.joinable()) s.sweeper.join();
}

}  // namespace zavro::server
