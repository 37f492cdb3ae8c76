#include "app/report_driver.hpp"

#include <array>
#include <exception>
#include <utility>

#include "collectors/firmware_serial.hpp"
#include "record/record.hpp"
#include "report/console.hpp"

namespace zavro {
namespace {

// One buffer per key for the whole process, each written once per run.
std::array<ValueBuffer, kKeyCount> value_buffers;

std::string value_element(Key key, const std::string& returned) {
  const std::string value =
      pass_through_buffer(returned, value_buffers[static_cast<std::size_t>(key)]);
  return element(value, key_name(key));
}

}  // namespace

std::string collect_record(const Collectors& c) {
  std::string first_four = value_element(Key::kCpuid, c.cpuid());
  first_four += value_element(Key::kMachineName, c.machine_name());
  first_four += value_element(Key::kProcessorCount, c.processor_count());
  first_four += value_element(Key::kMacAddresses, c.mac_addresses());
  // The firmware queries run only after the first four elements are joined.
  std::string last_two = value_element(Key::kBiosSerial, c.firmware_serial(kBiosQuery));
  last_two += value_element(Key::kMotherboardSerial, c.firmware_serial(kBaseboardQuery));
  return record_of(std::move(first_four), last_two);
}

int run_report(const Collectors& collectors,
               const std::function<bool(const std::string&)>& write_report,
               const Console& console) {
  const std::string record = collect_record(collectors);
  // Only the write is guarded: a collector that fails ends the run before
  // anything is written. Exhausted memory while writing is a failed write.
  bool written = false;
  try {
    written = write_report(record);
  } catch (const std::exception&) {
    written = false;
  }
  if (!written) {
    console.message(kErrorMessage);
    console.key_wait();
    return 1;
  }
  console.message(kSavedMessage);
  console.key_wait();
  return 0;
}

}  // namespace zavro
