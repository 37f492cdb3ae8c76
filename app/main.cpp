// zavro-sysinfo: writes this machine's identity record to the desktop.
#include "app/report_driver.hpp"
#include "collectors/cpuid.hpp"
#include "collectors/firmware_serial.hpp"
#include "collectors/mac_addresses.hpp"
#include "collectors/machine_name.hpp"
#include "collectors/processor_count.hpp"
#include "report/console.hpp"
#include "report/report_file.hpp"

// The command line is ignored.
int main() {
  zavro::prepare_console();
  const zavro::Collectors collectors{zavro::cpuid, zavro::machine_name, zavro::processor_count,
                                     zavro::mac_addresses, zavro::firmware_serial};
  const zavro::Console console{zavro::console_message, zavro::key_wait};
  return zavro::run_report(collectors, zavro::write_report, console);
}
