#include "app/serve_writer.hpp"

#include <utility>

#include "registry/views.hpp"

namespace zavro::server {
namespace {

// A transaction stays short whatever waits behind it.
constexpr std::size_t kBatchItems = 512;

}  // namespace

Writer::Writer(std::string location) : location_(std::move(location)), thread_([this] { run(); }) {}

Writer::~Writer() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::vector<std::string> Writer::add(std::vector<registry::Item> items) {
  Job job;
  job.count = items.size();
  job.items = std::move(items);
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(&job);
  wake_.notify_all();
  done_.wait(lock, [&job] { return job.done; });
  if (job.error) std::rethrow_exception(job.error);
  return std::move(job.lines);
}

void Writer::run() {
  std::unique_ptr<registry::Registry> registry;
  for (;;) {
    std::vector<Job*> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::size_t items = 0;
      while (!queue_.empty() && (batch.empty() || items + queue_.front()->count <= kBatchItems)) {
        items += queue_.front()->count;
        batch.push_back(queue_.front());
        queue_.pop_front();
      }
    }
    write(registry, batch);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (Job* job : batch) job->done = true;
    }
    done_.notify_all();
  }
}

void Writer::write(std::unique_ptr<registry::Registry>& registry, const std::vector<Job*>& batch) {
  std::size_t next = 0;  // outcomes arrive in input order: the job each belongs to
  try {
    if (!registry) {
      registry = registry::Registry::open(location_, true);
      // Each item names its sender; the audit rows say how they came.
      registry->set_actor({}, "POST /api/v1/reports");
    }
    // Each item carries its request's note: one batch, whatever the notes.
    auto adder = registry->adder({}, [&](const registry::Outcome& outcome) {
      while (next < batch.size() && batch[next]->lines.size() == batch[next]->count) ++next;
      if (next < batch.size()) batch[next]->lines.push_back(registry::outcome_json(outcome, false));
    });
    for (Job* job : batch) {
      for (auto& item : job->items) adder->push(std::move(item));
    }
    adder->finish();
  } catch (...) {
    // Jobs told all their outcomes were committed before the failure.
    for (Job* job : batch) {
      if (job->lines.size() != job->count) job->error = std::current_exception();
    }
    registry.reset();
  }
}

}  // namespace zavro::server
