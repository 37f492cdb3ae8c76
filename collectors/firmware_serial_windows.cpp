#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <windows.h>

#include <string>
#include <vector>

#include "collectors/firmware_serial.hpp"
#include "collectors/firmware_serial_wmi.hpp"

namespace zavro {
namespace {

static_assert(S_OK == wmi::kSOk);
static_assert(S_FALSE == wmi::kSFalse);
static_assert(RPC_E_TOO_LATE == wmi::kRpcETooLate);
static_assert(E_OUTOFMEMORY == wmi::kEOutOfMemory);
static_assert(E_FAIL == wmi::kEFail);
static_assert((WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY) == wmi::kQueryFlags);
static_assert(static_cast<std::uint32_t>(WBEM_INFINITE) == wmi::kInfinite);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

template <typename To, typename From>
To* as(From* p) {
  return reinterpret_cast<To*>(p);
}

std::wstring widen(std::u16string_view units) {
  std::wstring wide;
  wide.reserve(units.size());
  for (const char16_t unit : units) wide.push_back(static_cast<wchar_t>(unit));
  return wide;
}

HRESULT last_error() {
  const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
  return FAILED(hr) ? hr : E_FAIL;
}

// Each call is the platform call the sequence names, nothing more.
class ComWmi : public wmi::Api {
 public:
  ComWmi() { VariantInit(&value_); }

  wmi::HResult initialize() override { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }

  wmi::HResult initialize_security() override {
    return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  }

  wmi::HResult create_locator(wmi::Locator** locator) override {
    IWbemLocator* made = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IWbemLocator, reinterpret_cast<void**>(&made));
    *locator = as<wmi::Locator>(made);
    return hr;
  }

  wmi::HResult connect_server(wmi::Locator* locator, wmi::Text* name_space,
                              wmi::Services** services) override {
    IWbemServices* made = nullptr;
    const HRESULT hr = as<IWbemLocator>(locator)->ConnectServer(
        as<OLECHAR>(name_space), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &made);
    *services = as<wmi::Services>(made);
    return hr;
  }

  wmi::HResult set_proxy_blanket(wmi::Services* services) override {
    return CoSetProxyBlanket(as<IUnknown>(as<IWbemServices>(services)), RPC_C_AUTHN_WINNT,
                             RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  }

  wmi::HResult exec_query(wmi::Services* services, wmi::Text* language, wmi::Text* query,
                          std::int32_t flags, wmi::Enumerator** enumerator) override {
    IEnumWbemClassObject* made = nullptr;
    const HRESULT hr = as<IWbemServices>(services)->ExecQuery(
        as<OLECHAR>(language), as<OLECHAR>(query), flags, nullptr, &made);
    *enumerator = as<wmi::Enumerator>(made);
    return hr;
  }

  wmi::NextResult next(wmi::Enumerator* enumerator, std::uint32_t timeout,
                       std::uint32_t count) override {
    IWbemClassObject* instance = nullptr;
    ULONG returned = 0;
    // Next takes the time-out as a signed long: WBEM_INFINITE arrives as -1.
    const HRESULT hr = as<IEnumWbemClassObject>(enumerator)
                           ->Next(static_cast<long>(timeout), count, &instance, &returned);
    return {hr, returned, as<wmi::Instance>(instance)};
  }

  std::optional<std::u16string> get(wmi::Instance* instance,
                                    std::u16string_view property) override {
    const std::wstring name = widen(property);
    as<IWbemClassObject>(instance)->Get(name.c_str(), 0, &value_, nullptr, nullptr);
    if (V_VT(&value_) != VT_BSTR || V_BSTR(&value_) == nullptr) return std::nullopt;
    // The whole BSTR, embedded nulls included; the caller cuts at the first.
    const BSTR text = V_BSTR(&value_);
    const UINT length = SysStringLen(text);
    std::u16string copy(length, u'\0');
    for (UINT i = 0; i < length; ++i) copy[i] = static_cast<char16_t>(text[i]);
    return copy;
  }

  void clear_value() override { VariantClear(&value_); }

  void release(wmi::Locator* locator) override { as<IWbemLocator>(locator)->Release(); }
  void release(wmi::Services* services) override { as<IWbemServices>(services)->Release(); }
  void release(wmi::Enumerator* enumerator) override {
    as<IEnumWbemClassObject>(enumerator)->Release();
  }
  void release(wmi::Instance* instance) override { as<IWbemClassObject>(instance)->Release(); }

  void uninitialize() override { CoUninitialize(); }

  wmi::MadeText make_text(std::u16string_view wide) override {
    const BSTR text = SysAllocString(widen(wide).c_str());
    return {as<wmi::Text>(text), text != nullptr ? S_OK : E_OUTOFMEMORY};
  }

  wmi::MadeText make_text_from_narrow(const char* narrow) override {
    const int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
    if (length == 0) return {nullptr, last_error()};
    std::vector<wchar_t> wide(static_cast<std::size_t>(length));
    if (MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide.data(), length) == 0) {
      return {nullptr, last_error()};
    }
    const BSTR text = SysAllocString(wide.data());
    return {as<wmi::Text>(text), text != nullptr ? S_OK : E_OUTOFMEMORY};
  }

  void free_text(wmi::Text* text) override { SysFreeString(as<OLECHAR>(text)); }

 private:
  VARIANT value_;
};

}  // namespace

std::string firmware_serial(const char* query) {
  ComWmi api;
  return wmi::read_firmware_serial(api, query);
}

}  // namespace zavro
