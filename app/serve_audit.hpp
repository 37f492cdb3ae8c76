// serve: every read's audit row, written off the request path. Requests
// queue their rows; a thread writes what is queued in one transaction about
// every second (sooner when many wait), and writes the rest before it ends,
// so that a clean stop loses none.
//
// Memory is bounded: past kAuditQueueBytes a request waits for the writer up
// to kAuditWait, then its row is dropped and counted; the count is written
// as a row of its own ("dropped"), so a gap is never silent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "registry/audit.hpp"

namespace zavro::server {

constexpr std::size_t kAuditQueueBytes = 64U << 20;
constexpr std::chrono::milliseconds kAuditWait{200};
constexpr std::chrono::milliseconds kAuditEvery{1000};
// Rows that wake the writer before its second is up.
constexpr std::size_t kAuditSoon = 4096;

class AuditLog {
 public:
  explicit AuditLog(std::string location);
  // Writes everything queued (a few tries when the registry refuses), then ends.
  ~AuditLog();
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  void record(registry::AuditEntry entry);

 private:
  void run();
  static std::size_t weight(const registry::AuditEntry& entry);

  std::string location_;
  std::mutex mutex_;
  std::condition_variable wake_;  // the writer: rows, or stop
  std::condition_variable room_;  // requests waiting for room
  std::deque<registry::AuditEntry> queue_;
  std::size_t bytes_ = 0;
  std::int64_t dropped_ = 0;
  bool stop_ = false;
  std::thread thread_;  // last: the members it uses outlive it
};

}  // namespace zavro::server
