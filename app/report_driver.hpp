// The run: six collectors in order, the record, the report file, the console.
#pragma once

#include <functional>
#include <string>

namespace zavro {

// The six collector operations, injected so tests can drive the run.
struct Collectors {
  std::function<std::string()> cpuid;
  std::function<std::string()> machine_name;
  std::function<std::string()> processor_count;
  std::function<std::string()> mac_addresses;
  std::function<std::string(const char*)> firmware_serial;
};

// The two console operations.
struct Console {
  std::function<void(const char*)> message;
  std::function<void()> key_wait;
};

// Calls the collectors strictly in record order, each value through its
// key's value buffer, and returns the finished record.
std::string collect_record(const Collectors& collectors);

// The whole run: collect, write, tell the user, wait for one character.
// 0 after a write, 1 after a failed one (a writer that throws has failed).
int run_report(const Collectors& collectors,
               const std::function<bool(const std::string&)>& write_report, const Console& console);

}  // namespace zavro
