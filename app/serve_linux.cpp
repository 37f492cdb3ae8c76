// serve's start and stop: options checked, the stop signals handled from the
// first moment, then the parts (token, access, routes, front) put together.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "app/serve.hpp"
#include "app/serve_access.hpp"
#include "app/serve_front.hpp"
#include "app/serve_routes.hpp"
#include "app/serve_token.hpp"
#include "reader/output.hpp"
#include "registry/registry.hpp"

namespace zavro {
namespace {

constexpr int kUsageError = 2;

void error(const std::string& message) {
  std::cerr << "zavro-record: " << reader::terminal_safe(message) << '\n';
}

struct Listen {
  std::string host;
  int port = 0;
  bool loopback = false;
};

// "ADDR:PORT" or "[V6]:PORT".
std::optional<Listen> parse_listen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return std::nullopt;
  Listen out;
  out.host = text.substr(0, colon);
  if (out.host.size() >= 2 && out.host.front() == '[' && out.host.back() == ']') {
    out.host = out.host.substr(1, out.host.size() - 2);
  }
  const std::string port = text.substr(colon + 1);
  if (port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  out.port = std::stoi(port);
  if (out.port > 65535) return std::nullopt;
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, out.host.c_str(), &v4) == 1) {
    out.loopback = (ntohl(v4.s_addr) >> 24) == 127;
  } else if (::inet_pton(AF_INET6, out.host.c_str(), &v6) == 1) {
    out.loopback = IN6_IS_ADDR_LOOPBACK(&v6) != 0;
  } else if (out.host != "localhost") {
    return std::nullopt;  // names other than localhost could resolve anywhere
  } else {
    out.loopback = true;
  }
  return out;
}

// A listening socket; its port (the kernel's pick for 0) in port.
int listen_on(const Listen& listen, int& port) {
  const std::string host = listen.host == "localhost" ? "127.0.0.1" : listen.host;
  sockaddr_storage address{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(listen.port));
    size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(listen.port));
    size = sizeof *v6;
  } else {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (address.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 1024) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  port = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  return fd;
}

std::optional<std::string> read_pem(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) return std::nullopt;
  return text.str();
}

// The stop signals, waited for on a thread of their own from the first
// moment. Before serving has begun a signal ends the process at once (no
// token file half written); once it has, it asks serve() to stop.
class Stopper {
 public:
  Stopper() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    // Blocked before any thread starts: threads inherit the mask.
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { wait(); });
  }
  ~Stopper() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    // Wakes the waiting thread if no signal came.
    ::kill(::getpid(), SIGTERM);
    thread_.join();
  }
  Stopper(const Stopper&) = delete;
  Stopper& operator=(const Stopper&) = delete;

  // Held while a file is being written that an exit must not cut short.
  std::mutex& writing() { return writing_; }
  // From now on a signal asks; false when one came already.
  bool serving() {
    const std::lock_guard<std::mutex> lock(mutex_);
    serving_ = !stop_;
    return serving_;
  }
  void wait_for_stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    asked_.wait(lock, [this] { return stop_; });
  }

 private:
  void wait() {
    int signal = 0;
    sigwait(&signals_, &signal);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (ended_) return;
      stop_ = true;
      if (serving_) {
        asked_.notify_all();
        return;
      }
    }
    const std::lock_guard<std::mutex> lock(writing_);
    std::_Exit(0);
  }

  sigset_t signals_{};
  std::mutex mutex_;
  std::condition_variable asked_;
  std::mutex writing_;
  bool stop_ = false;
  bool serving_ = false;
  bool ended_ = false;
  std::thread thread_;
};

// Descriptors for every connection allowed, as far as the hard limit lets.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int serve(const ServeOptions& options) {
  Stopper stopper;
  std::signal(SIGPIPE, SIG_IGN);
  const auto listen = parse_listen(options.listen);
  if (!listen) {
    error("--listen " + options.listen + ": not ADDRESS:PORT (an IP address or localhost)");
    return kUsageError;
  }
  const bool tls = !options.tls_cert.empty() || !options.tls_key.empty();
  if (tls && (options.tls_cert.empty() || options.tls_key.empty())) {
    error("--tls-cert and --tls-key go together");
    return kUsageError;
  }
  if (!listen->loopback && !tls && !options.insecure_http) {
    error("refusing plain HTTP on " + listen->host +
          ", which is not a loopback address: the token would cross the network in clear; "
          "give --tls-cert and --tls-key, or --insecure-http");
    return kUsageError;
  }
  server::FrontOptions front;
  if (tls) {
    const auto cert = read_pem(options.tls_cert);
    const auto key = read_pem(options.tls_key);
    if (!cert || !key) {
      error("cannot read --tls-cert " + options.tls_cert + " or --tls-key " + options.tls_key);
      return kUsageError;
    }
    front.cert_pem = *cert;
    front.key_pem = *key;
  }
  const auto token_file = options.token_file.empty() ? server::default_token_file(options.location)
                                                     : options.token_file;
  if (!token_file) {
    error("no token file given: use --token-file or set HOME");
    return kUsageError;
  }
  try {
    // Opened once here so that a registry that cannot be used stops the start.
    registry::Registry::open(options.location, true);
  } catch (const registry::Error& e) {
    error(e.what());
    return kUsageError;
  }
  raise_descriptor_limit();
  int port = 0;
  front.listen_fd = listen_on(*listen, port);
  if (front.listen_fd < 0) {
    error("cannot listen on " + options.listen + ": " + std::strerror(errno));
    return kUsageError;
  }
  std::optional<std::string> token;
  {
    // Made only once everything else is known to be usable.
    const std::lock_guard<std::mutex> lock(stopper.writing());
    token = server::load_token(*token_file);
  }
  if (!token) {
    ::close(front.listen_fd);
    return kUsageError;
  }
  // People and robot tokens, read now and kept current from here on.
  server::Directory directory(options.location, *token);
  try {
    directory.start();
  } catch (const registry::Error& e) {
    ::close(front.listen_fd);
    error(e.what());
    return kUsageError;
  }
  server::Access access(directory, {listen->host, options.allowed_hosts});
  server::Service service({options.location, options.body_limit, tls}, access);
  front.max_connections = options.max_connections;
  front.per_address = options.max_connections_per_address;
  front.workers = std::max<std::size_t>(options.threads, 2);
  front.bodies_in_flight = server::kBodiesInFlight * options.body_limit;
  server::Front server(service, front);
  if (!server.start()) {
    ::close(front.listen_fd);
    error(tls ? "cannot use --tls-cert " + options.tls_cert + " with --tls-key " + options.tls_key
              : "cannot start serving on " + options.listen);
    return kUsageError;
  }
  const bool v6 = listen->host.find(':') != std::string::npos;
  std::cerr << "zavro-record: serving " << (tls ? "https" : "http") << "://"
            << (v6 ? "[" + listen->host + "]" : listen->host) << ':' << port << "/" << std::endl;
  if (stopper.serving()) stopper.wait_for_stop();
  server.stop();
  return 0;
}

}  // namespace zavro
