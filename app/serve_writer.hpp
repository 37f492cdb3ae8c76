// serve: reports from concurrent requests written together on one
// connection. One transaction holds whatever arrived while the one before it
// committed, so many small requests cost few commits, and the registry's
// other writers (an add on the command line) meet one writer from here, not
// one per worker.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "registry/registry.hpp"

namespace zavro::server {

class Writer {
 public:
  explicit Writer(std::string location);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // add --json lines of the items (each with its own note), in order, once
  // committed; throws what the registry threw.
  std::vector<std::string> add(std::vector<registry::Item> items);

 private:
  struct Job {
    std::vector<registry::Item> items;
    std::size_t count = 0;
    std::vector<std::string> lines;
    std::exception_ptr error;
    bool done = false;
  };
  void run();
  void write(std::unique_ptr<registry::Registry>& registry, const std::vector<Job*>& batch);

  std::string location_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Job*> queue_;
  bool stop_ = false;
  std::thread thread_;  // last: the members it uses outlive it
};

}  // namespace zavro::server
