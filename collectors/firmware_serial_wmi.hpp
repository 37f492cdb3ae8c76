// The COM and WMI call sequence of the firmware serial query, over a narrow
// interface so it runs against a recording fake on every target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zavro {
namespace wmi {

// An HRESULT: negative means failure. Named apart from the Windows macros.
using HResult = std::int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kRpcETooLate = static_cast<HResult>(0x80010119u);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005u);

inline constexpr bool failed(HResult hr) { return hr < 0; }

inline constexpr std::u16string_view kNamespace = u"ROOT\\CIMV2";
inline constexpr const char* kQueryLanguage = "WQL";
inline constexpr std::u16string_view kSerialProperty = u"SerialNumber";
inline constexpr std::int32_t kQueryFlags = 0x20 | 0x10;  // forward only, return immediately
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Opaque platform objects; only the Api that handed one out looks inside.
struct Locator;
struct Services;
struct Enumerator;
struct Instance;
struct Text;  // a BSTR

// A BSTR just made, or nullptr and the reason.
struct MadeText {
  Text* text;
  HResult error;
};

// One Next: the instance handed back (nullptr for none) and its HRESULT.
struct NextResult {
  HResult hr;
  std::uint32_t returned;
  Instance* instance;
};

// The platform calls, one method each, in the order the sequence makes them.
class Api {
 public:
  virtual ~Api() = default;
  virtual HResult initialize() = 0;           // COM, multithreaded apartment
  virtual HResult initialize_security() = 0;  // process-wide, default level, impersonate
  virtual HResult create_locator(Locator** locator) = 0;
  virtual HResult connect_server(Locator* locator, Text* name_space, Services** services) = 0;
  virtual HResult set_proxy_blanket(Services* services) = 0;
  virtual HResult exec_query(Services* services, Text* language, Text* query, std::int32_t flags,
                             Enumerator** enumerator) = 0;
  virtual NextResult next(Enumerator* enumerator, std::uint32_t timeout, std::uint32_t count) = 0;
  // Gets the property into the current value; its text, whole, or nothing
  // when the value holds no text. The value stays held until clear_value().
  virtual std::optional<std::u16string> get(Instance* instance, std::u16string_view property) = 0;
  virtual void clear_value() = 0;
  virtual void release(Locator* locator) = 0;
  virtual void release(Services* services) = 0;
  virtual void release(Enumerator* enumerator) = 0;
  virtual void release(Instance* instance) = 0;
  virtual void uninitialize() = 0;
  virtual MadeText make_text(std::u16string_view wide) = 0;        // SysAllocString
  virtual MadeText make_text_from_narrow(const char* narrow) = 0;  // through the ANSI code page
  virtual void free_text(Text* text) = 0;
};

// Raised when a BSTR cannot be made; nothing catches it.
class ComError : public std::runtime_error {
 public:
  explicit ComError(HResult code);
  HResult code() const { return code_; }

 private:
  HResult code_;
};

// The whole query: "not found" when a call before the enumeration fails,
// else the narrow serial of the last instance holding one, else "".
std::string read_firmware_serial(Api& api, const char* query);

}  // namespace wmi

// The classic C locale's wide-to-narrow result for up to `count` units: each
// unit 0x01-0xFF becomes that byte; the first null or a unit above 0xFF ends
// the text; at most kSerialMaxBytes bytes are kept.
std::string narrow_classic(const char16_t* units, std::size_t count);
inline constexpr std::size_t kSerialMaxBytes = 511;  // a 512-byte buffer with its terminator

}  // namespace zavro
