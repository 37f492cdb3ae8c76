// The COM and WMI call sequence against a fake whose every answer comes from
// the input: the result follows the failure table, every reference and text
// is released exactly once, the held value is cleared before its instance is
// released, and COM is uninitialised last, exactly when it was initialised.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "collectors/firmware_serial.hpp"
#include "collectors/firmware_serial_wmi.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using namespace zavro::wmi;

class FuzzApi : public Api {
 public:
  explicit FuzzApi(FuzzedDataProvider& input) : input_(input) {}

  HResult initialize() override {
    const HResult hr = input_.PickValueInArray({kSOk, kSFalse, kEFail});
    initialized_ = !failed(hr);
    if (failed(hr)) before_enumeration_failed_ = true;
    return hr;
  }
  HResult initialize_security() override {
    const HResult hr = input_.PickValueInArray({kSOk, kRpcETooLate, kEFail});
    if (failed(hr) && hr != kRpcETooLate) before_enumeration_failed_ = true;
    return hr;
  }
  HResult create_locator(Locator** locator) override { return hand_out(locator, true); }
  HResult connect_server(Locator* locator, Text* name_space, Services** services) override {
    check_live(locator);
    check_live(name_space);
    return hand_out(services, true);
  }
  HResult set_proxy_blanket(Services* services) override {
    check_live(services);
    const HResult hr = answer();
    if (failed(hr)) before_enumeration_failed_ = true;
    return hr;
  }
  HResult exec_query(Services* services, Text* language, Text* query, std::int32_t,
                     Enumerator** enumerator) override {
    check_live(services);
    check_live(language);
    check_live(query);
    // A success without an enumerator is no failure: there is nothing to walk.
    const HResult hr = hand_out(enumerator, false);
    enumeration_started_ = !failed(hr);
    enumeration_ended_ = *enumerator == nullptr;
    return hr;
  }
  NextResult next(Enumerator* enumerator, std::uint32_t, std::uint32_t) override {
    check_live(enumerator);
    ZAVRO_FUZZ_CHECK(!enumeration_ended_ && !get_pending_);
    const bool instance = input_.ConsumeBool();
    // Next may say anything about what it handed back.
    const auto returned = input_.ConsumeIntegralInRange<std::uint32_t>(0, 1);
    const HResult hr = input_.PickValueInArray({kSOk, kSFalse, kEFail});
    enumeration_ended_ = !instance || returned == 0;
    get_pending_ = !enumeration_ended_;
    return {hr, returned, instance ? make<Instance>() : nullptr};
  }
  std::optional<std::u16string> get(Instance* instance, std::u16string_view) override {
    check_live(instance);
    ZAVRO_FUZZ_CHECK(get_pending_ && !value_held_);
    get_pending_ = false;
    value_held_ = true;
    if (!input_.ConsumeBool()) return std::nullopt;
    std::u16string serial;
    const std::string bytes = input_.ConsumeRandomLengthString(1300);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
      serial.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             static_cast<unsigned char>(bytes[i + 1]) << 8));
    // The last instance that holds a text decides, cut as a C text of 511 bytes.
    expected_.clear();
    for (const char16_t unit : serial) {
      if (unit == 0 || unit > 0xFF || expected_.size() == 511) break;
      expected_.push_back(static_cast<char>(unit));
    }
    return serial;
  }
  void clear_value() override {
    ZAVRO_FUZZ_CHECK(value_held_);
    value_held_ = false;
  }
  void release(Locator* p) override { drop(p); }
  void release(Services* p) override { drop(p); }
  void release(Enumerator* p) override { drop(p); }
  void release(Instance* p) override {
    ZAVRO_FUZZ_CHECK(!value_held_);
    drop(p);
  }
  void uninitialize() override {
    ZAVRO_FUZZ_CHECK(initialized_);
    ZAVRO_FUZZ_CHECK(live_.empty());
    initialized_ = false;
    ++uninitialized_;
  }
  MadeText make_text(std::u16string_view) override { return text(); }
  MadeText make_text_from_narrow(const char*) override { return text(); }
  void free_text(Text* p) override { drop(p); }

  bool clean() const { return live_.empty() && !value_held_ && !initialized_; }
  int uninitialized() const { return uninitialized_; }
  // What the failure table asks for, given the answers handed out so far.
  std::string expected() const { return before_enumeration_failed_ ? zavro::kNotFound : expected_; }
  bool walked_to_the_end() const { return !enumeration_started_ || enumeration_ended_; }

 private:
  template <typename T>
  T* make() {
    T* p = reinterpret_cast<T*>(++next_id_);
    live_.insert(p);
    return p;
  }
  void check_live(const void* p) const { ZAVRO_FUZZ_CHECK(live_.count(p) == 1); }
  void drop(const void* p) { ZAVRO_FUZZ_CHECK(live_.erase(p) == 1); }
  HResult answer() { return input_.ConsumeBool() ? kSOk : kEFail; }
  // A success may still hand out nothing; a failure never hands out anything.
  // `required`: getting nothing counts as a failure before the enumeration.
  template <typename T>
  HResult hand_out(T** out, bool required) {
    const HResult hr = answer();
    *out = !failed(hr) && input_.ConsumeBool() ? make<T>() : nullptr;
    if (failed(hr) || (required && *out == nullptr)) before_enumeration_failed_ = true;
    return hr;
  }
  MadeText text() {
    if (input_.ConsumeIntegralInRange(0, 15) == 0) return {nullptr, kEOutOfMemory};
    return {make<Text>(), kSOk};
  }

  FuzzedDataProvider& input_;
  std::set<const void*> live_;
  std::uintptr_t next_id_ = 0x1000;
  bool initialized_ = false;
  bool value_held_ = false;
  int uninitialized_ = 0;
  bool before_enumeration_failed_ = false;
  bool enumeration_started_ = false;
  bool enumeration_ended_ = false;
  bool get_pending_ = false;
  std::string expected_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FuzzApi api(input);
  bool raised = false;
  std::string result;
  try {
    result = read_firmware_serial(api, zavro::kBiosQuery);
  } catch (const ComError& error) {
    // Only a text that could not be made raises, with its reason.
    ZAVRO_FUZZ_CHECK(error.code() == kEOutOfMemory);
    raised = true;
  }
  // Whatever happened, nothing is left held and COM is left as found.
  ZAVRO_FUZZ_CHECK(api.clean());
  ZAVRO_FUZZ_CHECK(api.uninitialized() <= 1);
  if (!raised) {
    ZAVRO_FUZZ_CHECK(result == api.expected());
    ZAVRO_FUZZ_CHECK(api.walked_to_the_end());
    ZAVRO_FUZZ_CHECK(result.size() <= zavro::kSerialMaxBytes);
    ZAVRO_FUZZ_CHECK(result.find('\0') == std::string::npos);
  }
  return 0;
}
