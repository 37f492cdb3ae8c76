#include "app/report_driver.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <vector>

namespace zavro {
namespace {

// Collectors that log each call and answer with fixed texts.
class FakeMachine {
 public:
  Collectors collectors() {
    return {[this] { return log("cpuid", cpuid); },
            [this] { return log("machine_name", machine_name); },
            [this] { return log("processor_count", processor_count); },
            [this] { return log("mac_addresses", mac_addresses); },
            [this](const char* query) {
              return log(std::string("firmware_serial:") + query,
                         std::string(query).find("Bios") != std::string::npos ? bios : board);
            }};
  }
  Console console() {
    return {[this](const char* text) { calls.push_back(std::string("message:") + text); },
            [this] { calls.push_back("key_wait"); }};
  }

  std::string cpuid = "178BFBFFA10F114353";
  std::string machine_name = "HOST";
  std::string processor_count = "8";
  std::string mac_addresses = "<M0>00:1A:2B:3C:4D:5E</M0>";
  std::string bios = "BIOS-1";
  std::string board = "";
  std::vector<std::string> calls;

 private:
  std::string log(const std::string& call, const std::string& answer) {
    calls.push_back(call);
    return answer;
  }
};

TEST(CollectRecord, CollectorsRunOnceEachInRecordOrder) {
  FakeMachine machine;
  EXPECT_EQ(collect_record(machine.collectors()),
            "<Node><Cpuid>178BFBFFA10F114353</Cpuid><MachineName>HOST</MachineName>"
            "<ProcessorCount>8</ProcessorCount><MacAddresses><M0>00:1A:2B:3C:4D:5E</M0>"
            "</MacAddresses><BiosSerial>BIOS-1</BiosSerial><MotherboardSerial></MotherboardSerial>"
            "</Node>");
  EXPECT_EQ(machine.calls,
            (std::vector<std::string>{"cpuid", "machine_name", "processor_count", "mac_addresses",
                                      "firmware_serial:SELECT * FROM Win32_Bios",
                                      "firmware_serial:SELECT * FROM Win32_Baseboard"}));
}

TEST(CollectRecord, EachValueGoesThroughItsOwnBuffer) {
  FakeMachine machine;
  machine.machine_name = std::string(600, 'n');
  machine.processor_count = std::string("4\0junk", 6);
  machine.bios = std::string(511, 'b');
  machine.board = "%s%n<x>";
  const std::string record = collect_record(machine.collectors());
  EXPECT_NE(record.find("<MachineName>" + std::string(511, 'n') + "</MachineName>"),
            std::string::npos);
  EXPECT_NE(record.find("<ProcessorCount>4</ProcessorCount>"), std::string::npos);
  EXPECT_NE(record.find("<BiosSerial>" + std::string(511, 'b') + "</BiosSerial>"),
            std::string::npos);
  EXPECT_NE(record.find("<MotherboardSerial>%s%n<x></MotherboardSerial></Node>"),
            std::string::npos);
  EXPECT_EQ(record.size(),
            181 + machine.cpuid.size() + 511 + 1 + machine.mac_addresses.size() + 511 + 7);
}

TEST(RunReport, SuccessfulWriteShowsTheSavedMessageThenWaits) {
  FakeMachine machine;
  std::vector<std::string> written;
  const int status = run_report(
      machine.collectors(),
      [&](const std::string& record) {
        machine.calls.push_back("write");
        written.push_back(record);
        return true;
      },
      machine.console());
  EXPECT_EQ(status, 0);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0], collect_record(FakeMachine().collectors()));
  const std::vector<std::string> tail(machine.calls.end() - 3, machine.calls.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "write",
                      "message:System Details saved to Desktop (ZAVRO_system_info.txt). Press "
                      "'Return' key...",
                      "key_wait"}));
}

TEST(RunReport, FailedWriteShowsOnlyTheErrorMessageAndExitsOne) {
  // A writer that says it failed, and one that runs out of memory.
  const std::function<bool(const std::string&)> writers[] = {
      [](const std::string&) { return false; },
      [](const std::string&) -> bool { throw std::bad_alloc(); }};
  for (const auto& writer : writers) {
    FakeMachine machine;
    const int status = run_report(machine.collectors(), writer, machine.console());
    EXPECT_EQ(status, 1);
    const std::vector<std::string> tail(machine.calls.end() - 2, machine.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "message:Error outputting system information to file. Press any key...",
                        "key_wait"}));
    EXPECT_EQ(machine.calls.size(), 8u);  // six collectors, one message, one wait
  }
}

}  // namespace
}  // namespace zavro
