#include "app/serve_audit.hpp"

#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "reader/output.hpp"
#include "registry/accounts.hpp"
#include "registry/registry.hpp"

namespace zavro::server {
namespace {

// Tries at the end before what is left is given up (and said so).
constexpr int kTriesAtStop = 5;

void log_error(const std::string& message) {
  std::cerr << "zavro-record: audit log: " << reader::terminal_safe(message) << std::endl;
}

}  // namespace

AuditLog::AuditLog(std::string location)
    : location_(std::move(location)), thread_([this] { run(); }) {}

AuditLog::~AuditLog() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  room_.notify_all();
  thread_.join();
}

std::size_t AuditLog::weight(const registry::AuditEntry& entry) {
  return sizeof entry + entry.who.size() + entry.route.size() + entry.detail.size() +
         entry.machines.size() * sizeof(registry::Id) +
         entry.records.size() * sizeof(std::pair<registry::Id, registry::Id>);
}

void AuditLog::record(registry::AuditEntry entry) {
  const std::size_t w = weight(entry);
  std::unique_lock<std::mutex> lock(mutex_);
  if (bytes_ + w > kAuditQueueBytes) {
    wake_.notify_all();
    // Never longer than this: a registry that cannot be written must not
    // hold every reader.
    if (!room_.wait_for(lock, kAuditWait,
                        [&] { return bytes_ + w <= kAuditQueueBytes || stop_; })) {
      ++dropped_;
      return;
    }
  }
  bytes_ += w;
  queue_.push_back(std::move(entry));
  if (queue_.size() == kAuditSoon) wake_.notify_all();
}

void AuditLog::run() {
  std::unique_ptr<registry::Registry> registry;
  // Taken from the queue and not yet written; their bytes still count.
  std::vector<registry::AuditEntry> batch;
  std::size_t batch_bytes = 0;
  bool failing = false;
  int tries_at_stop = 0;
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kAuditEvery, [this] { return stop_ || queue_.size() >= kAuditSoon; });
      stopping = stop_;
      for (auto& entry : queue_) {
        batch_bytes += weight(entry);
        batch.push_back(std::move(entry));
      }
      queue_.clear();
      if (dropped_ > 0) {
        registry::AuditEntry gap;
        gap.when = registry::unix_now();
        gap.action = registry::AuditAction::kDropped;
        gap.record_count = 0;
        gap.detail = std::to_string(dropped_) + " reads not logged: the log fell behind";
        batch.push_back(std::move(gap));
        dropped_ = 0;
      }
    }
    if (!batch.empty()) {
      bool written = false;
      try {
        if (!registry) registry = registry::Registry::open(location_, true);
        registry->log(batch);
        written = true;
        failing = false;
      } catch (const std::exception& e) {
        // Said once until it works again; the rows wait for the next try.
        if (!failing) log_error(e.what());
        failing = true;
        registry.reset();
      }
      if (written) {
        batch.clear();
        const std::lock_guard<std::mutex> lock(mutex_);
        bytes_ -= std::min(bytes_, batch_bytes);
        batch_bytes = 0;
      }
      room_.notify_all();
    }
    if (!stopping) continue;
    bool more = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      more = !queue_.empty() || dropped_ > 0;
    }
    if (batch.empty() && !more) return;
    if (!batch.empty() && ++tries_at_stop >= kTriesAtStop) {
      log_error(std::to_string(batch.size()) + " rows could not be written");
      return;
    }
    if (!batch.empty()) std::this_thread::sleep_for(kAuditWait);
  }
}

}  // namespace zavro::server
