#include "collectors/firmware_serial_wmi.hpp"

#include <algorithm>
#include <cstdio>

#include "collectors/firmware_serial.hpp"

namespace zavro {
namespace wmi {
namespace {

std::string describe(HResult code) {
  char text[32];
  std::snprintf(text, sizeof text, "COM error 0x%08X", static_cast<std::uint32_t>(code));
  return text;
}

// One interface reference, released when the owner goes.
template <typename T>
class Ref {
 public:
  explicit Ref(Api& api, T* p = nullptr) : api_(api), p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p_ != nullptr) api_.release(p_);
  }
  T* get() const { return p_; }
  T** out() { return &p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  Api& api_;
  T* p_;
};

// A BSTR that must exist: the call it is made for cannot go without it.
class OwnedText {
 public:
  OwnedText(Api& api, MadeText made) : api_(api), text_(made.text) {
    if (text_ == nullptr) throw ComError(failed(made.error) ? made.error : kEFail);
  }
  OwnedText(const OwnedText&) = delete;
  OwnedText& operator=(const OwnedText&) = delete;
  ~OwnedText() { api_.free_text(text_); }
  Text* get() const { return text_; }

 private:
  Api& api_;
  Text* text_;
};

// Makes one Api call when it goes: uninitialize() or clear_value().
class Undo {
 public:
  Undo(Api& api, void (Api::*call)()) : api_(api), call_(call) {}
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  ~Undo() { (api_.*call_)(); }

 private:
  Api& api_;
  void (Api::*call_)();
};

}  // namespace

ComError::ComError(HResult code) : std::runtime_error(describe(code)), code_(code) {}

std::string read_firmware_serial(Api& api, const char* query) {
  std::string result;
  if (failed(api.initialize())) return kNotFound;
  Undo com(api, &Api::uninitialize);  // after every reference declared below
  // An earlier query of this run has set process-wide security already.
  const HResult security = api.initialize_security();
  if (failed(security) && security != kRpcETooLate) return kNotFound;

  // Declared in reverse of the release order: services, locator, enumerator.
  Ref<Enumerator> enumerator(api);
  Ref<Locator> locator(api);
  Ref<Services> services(api);
  if (failed(api.create_locator(locator.out())) || !locator) return kNotFound;
  HResult hr;
  {
    OwnedText name_space(api, api.make_text(kNamespace));
    hr = api.connect_server(locator.get(), name_space.get(), services.out());
  }
  if (failed(hr) || !services) return kNotFound;
  if (failed(api.set_proxy_blanket(services.get()))) return kNotFound;
  {
    OwnedText query_text(api, api.make_text_from_narrow(query));
    OwnedText language(api, api.make_text_from_narrow(kQueryLanguage));
    hr = api.exec_query(services.get(), language.get(), query_text.get(), kQueryFlags,
                        enumerator.out());
  }
  if (failed(hr)) return kNotFound;

  // Next's HRESULT is not examined: only an instance handed back goes on.
  while (enumerator) {
    const NextResult next = api.next(enumerator.get(), kInfinite, 1);
    Ref<Instance> instance(api, next.instance);
    if (next.returned == 0 || !instance) break;
    Undo value(api, &Api::clear_value);  // before the instance is released
    const std::optional<std::u16string> serial = api.get(instance.get(), kSerialProperty);
    if (serial) result = narrow_classic(serial->data(), serial->size());
  }
  return result;
}

}  // namespace wmi

std::string narrow_classic(const char16_t* units, std::size_t count) {
  std::string narrow;
  const std::size_t limit = std::min(count, kSerialMaxBytes);
  for (std::size_t i = 0; i < limit; ++i) {
    const char16_t unit = units[i];
    // No byte stands for a unit above 0xFF in the classic locale.
    if (unit == 0 || unit > 0xFF) break;
    narrow.push_back(static_cast<char>(static_cast<unsigned char>(unit)));
  }
  return narrow;
}

}  // namespace zavro
