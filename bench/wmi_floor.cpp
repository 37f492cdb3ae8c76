// The floor of the platform calls the tool must make under Wine: the desktop
// directory from the shell, then the two WMI serial queries, nothing else.
#define _WIN32_DCOM
#include <windows.h>
// windows.h first: the COM and shell headers need its types.
#include <shlobj.h>
#include <wbemidl.h>

namespace {

void query(const wchar_t* wql) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  IWbemLocator* locator = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                 reinterpret_cast<void**>(&locator)))) {
    BSTR name_space = SysAllocString(L"ROOT\\CIMV2");
    IWbemServices* services = nullptr;
    if (SUCCEEDED(locator->ConnectServer(name_space, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                         &services))) {
      CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                        RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
      BSTR language = SysAllocString(L"WQL");
      BSTR text = SysAllocString(wql);
      IEnumWbemClassObject* instances = nullptr;
      if (SUCCEEDED(services->ExecQuery(language, text,
                                        WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                        nullptr, &instances))) {
        IWbemClassObject* instance = nullptr;
        ULONG returned = 0;
        while (instances->Next(WBEM_INFINITE, 1, &instance, &returned) == S_OK && returned) {
          VARIANT value;
          VariantInit(&value);
          instance->Get(L"SerialNumber", 0, &value, nullptr, nullptr);
          VariantClear(&value);
          instance->Release();
        }
        instances->Release();
      }
      SysFreeString(text);
      SysFreeString(language);
      services->Release();
    }
    SysFreeString(name_space);
    locator->Release();
  }
  CoUninitialize();
}

}  // namespace

int main() {
  char path[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, path, CSIDL_DESKTOPDIRECTORY, FALSE);
  query(L"SELECT * FROM Win32_Bios");
  query(L"SELECT * FROM Win32_Baseboard");
  return 0;
}
