// serve-load: N clients on keep-alive connections post reports to a running
// zavro-record serve and print one JSON line: requests/s, latency
// percentiles, failures.
// Usage: serve-load PORT TOKEN add|find CLIENTS REQUESTS [FIRST]
//        serve-load PORT TOKEN get CLIENTS REQUESTS PATH
//   add: every request a distinct generated report (numbered from FIRST);
//   find: the same report every time; get: GET PATH every time.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string report(long n) {
  char text[512];
  std::snprintf(text, sizeof text,
                "<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>load-%ld</MachineName>"
                "<ProcessorCount>4</ProcessorCount><MacAddresses><M0>00:1B:22:%02lX:%02lX:%02lX"
                "</M0></MacAddresses><BiosSerial>LB%09ld</BiosSerial>"
                "<MotherboardSerial>LM%09ld</MotherboardSerial></Node>",
                n, (n >> 16) & 255, (n >> 8) & 255, n & 255, n, n);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: serve-load PORT TOKEN add|find CLIENTS REQUESTS [FIRST]\n"
                 "       serve-load PORT TOKEN get CLIENTS REQUESTS PATH\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string token = argv[2];
  const std::string mode = argv[3];
  const bool add = mode == "add";
  const bool get = mode == "get";
  const int clients = std::max(1, std::atoi(argv[4]));
  const long requests = std::atol(argv[5]);
  const long first = argc > 6 && !get ? std::atol(argv[6]) : 0;
  const std::string path = get   ? (argc > 6 ? argv[6] : "/api/v1/machines?limit=1")
                           : add ? "/api/v1/reports"
                                 : "/api/v1/find";
  const std::string same = report(first);

  std::atomic<long> next{0};
  std::atomic<long> failed{0};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      client.set_bearer_token_auth(token.c_str());
      auto& mine = latencies[static_cast<std::size_t>(c)];
      for (long i = next++; i < requests; i = next++) {
        const std::string body = add ? report(first + i) : same;
        const auto t0 = std::chrono::steady_clock::now();
        const auto res = get ? client.Get(path.c_str())
                             : client.Post(path.c_str(), body, "application/octet-stream");
        const auto t1 = std::chrono::steady_clock::now();
        if (!res || res->status != 200) ++failed;
        mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  const auto at = [&all](double q) {
    return all.empty() ? 0.0
                       : all[static_cast<std::size_t>(q * static_cast<double>(all.size() - 1))];
  };
  std::printf(
      "{\"mode\":\"%s\",\"clients\":%d,\"requests\":%ld,\"seconds\":%.3f,\"rps\":%.0f,"
      "\"median_ms\":%.3f,\"p99_ms\":%.3f,\"failed\":%ld}\n",
      mode.c_str(), clients, requests, seconds, static_cast<double>(requests) / seconds, at(0.5),
      at(0.99), failed.load());
  return failed == 0 ? 0 : 1;
}
