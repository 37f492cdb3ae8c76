#include "collectors/firmware_serial_wmi.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "collectors/firmware_serial.hpp"

namespace zavro {
namespace wmi {
namespace {

std::string ascii(std::u16string_view wide) { return narrow_classic(wide.data(), wide.size()); }

// What each platform call answers, in the order they come.
struct Script {
  HResult initialize = kSOk;
  HResult security = kSOk;
  HResult create = kSOk;
  bool hand_locator = true;
  HResult connect = kSOk;
  bool hand_services = true;
  HResult blanket = kSOk;
  HResult exec = kSOk;
  bool hand_enumerator = true;
  // One instance each, in enumeration order; nullopt is a null property.
  std::vector<std::optional<std::u16string>> serials;
  HResult next_hr = kSOk;               // Next's answer while instances come back
  HResult end_hr = kSFalse;             // and once none does
  bool count_without_instance = false;  // the last Next says 1 but hands back nothing
  int failing_text = -1;                // the index of the text that cannot be made
  HResult text_error = kEOutOfMemory;
};

// Records every call in order, hands out tokens it can recognise, and
// reports any token used after its release or never released.
class RecordingApi : public Api {
 public:
  explicit RecordingApi(Script script) : script_(std::move(script)) {}

  HResult initialize() override {
    calls.push_back("initialize");
    com_held_ = !failed(script_.initialize);
    return script_.initialize;
  }
  HResult initialize_security() override {
    expect_com("initialize_security");
    calls.push_back("initialize_security");
    return script_.security;
  }
  HResult create_locator(Locator** locator) override {
    expect_com("create_locator");
    calls.push_back("create_locator");
    *locator = !failed(script_.create) && script_.hand_locator ? hand<Locator>("locator") : nullptr;
    return script_.create;
  }
  HResult connect_server(Locator* locator, Text* name_space, Services** services) override {
    use(locator, "locator");
    calls.push_back("connect_server " + text(name_space));
    const bool hand_out = !failed(script_.connect) && script_.hand_services;
    *services = hand_out ? hand<Services>("services") : nullptr;
    return script_.connect;
  }
  HResult set_proxy_blanket(Services* services) override {
    use(services, "services");
    calls.push_back("set_proxy_blanket");
    return script_.blanket;
  }
  HResult exec_query(Services* services, Text* language, Text* query, std::int32_t flags,
                     Enumerator** enumerator) override {
    use(services, "services");
    calls.push_back("exec_query " + text(language) + " " + text(query) + " " +
                    std::to_string(flags));
    const bool hand_out = !failed(script_.exec) && script_.hand_enumerator;
    *enumerator = hand_out ? hand<Enumerator>("enumerator") : nullptr;
    return script_.exec;
  }
  NextResult next(Enumerator* enumerator, std::uint32_t timeout, std::uint32_t count) override {
    use(enumerator, "enumerator");
    calls.push_back("next " + std::to_string(timeout) + " " + std::to_string(count));
    if (handed_instances_ == script_.serials.size()) {
      const bool odd = script_.count_without_instance && !odd_answered_;
      odd_answered_ = odd_answered_ || odd;
      return {script_.end_hr, odd ? 1u : 0u, nullptr};
    }
    const std::string name = "instance" + std::to_string(handed_instances_++);
    return {script_.next_hr, 1, hand<Instance>(name)};
  }
  std::optional<std::u16string> get(Instance* instance, std::u16string_view property) override {
    const std::size_t index = use(instance, "instance");
    calls.push_back("get " + tokens_[index].name + " " + ascii(property));
    if (value_held_) ADD_FAILURE() << "a held value was overwritten before it was cleared";
    value_held_ = true;
    return script_.serials.at(std::stoul(tokens_[index].name.substr(8)));
  }
  void clear_value() override {
    calls.push_back("clear_value");
    value_held_ = false;
  }
  void release(Locator* p) override { drop(p, "locator"); }
  void release(Services* p) override { drop(p, "services"); }
  void release(Enumerator* p) override { drop(p, "enumerator"); }
  void release(Instance* p) override {
    if (value_held_) ADD_FAILURE() << "an instance released while its value is held";
    drop(p, "instance");
  }
  void uninitialize() override {
    expect_com("uninitialize");
    calls.push_back("uninitialize");
    com_held_ = false;
  }
  MadeText make_text(std::u16string_view wide) override {
    calls.push_back("make_text " + ascii(wide));
    return make(std::u16string(wide));
  }
  MadeText make_text_from_narrow(const char* narrow) override {
    calls.push_back(std::string("make_text_from_narrow ") + narrow);
    std::u16string wide;
    for (const char* c = narrow; *c != '\0'; ++c) wide.push_back(static_cast<unsigned char>(*c));
    return make(wide);
  }
  void free_text(Text* p) override {
    const std::size_t index = use(p, "text");
    calls.push_back("free_text " + ascii(texts_[index]));
    tokens_[index].live = false;
  }

  // Everything handed out and not given back, COM included.
  std::vector<std::string> held() const {
    std::vector<std::string> names;
    for (const Token& t : tokens_) {
      if (t.live) names.push_back(t.name);
    }
    if (com_held_) names.push_back("com");
    if (value_held_) names.push_back("value");
    return names;
  }

  std::vector<std::string> calls;

 private:
  struct Token {
    std::string name;
    bool live;
  };

  template <typename T>
  T* hand(const std::string& name) {
    tokens_.push_back({name, true});
    texts_.emplace_back();
    return reinterpret_cast<T*>(&tokens_.back());
  }
  MadeText make(std::u16string wide) {
    if (texts_made_++ == script_.failing_text) return {nullptr, script_.text_error};
    Text* t = hand<Text>("text");
    texts_.back() = std::move(wide);
    return {t, kSOk};
  }
  // The index of a live token of that kind; a failure for anything else.
  std::size_t use(const void* p, const std::string& kind) {
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
      if (&tokens_[i] != p) continue;
      if (tokens_[i].name.compare(0, kind.size(), kind) != 0) {
        ADD_FAILURE() << kind << " expected, got " << tokens_[i].name;
      }
      if (!tokens_[i].live) ADD_FAILURE() << tokens_[i].name << " used after its release";
      return i;
    }
    ADD_FAILURE() << kind << " that was never handed out";
    return 0;
  }
  void drop(const void* p, const std::string& kind) {
    const std::size_t index = use(p, kind);
    calls.push_back("release " + tokens_[index].name);
    tokens_[index].live = false;
  }
  std::string text(Text* t) { return ascii(texts_[use(t, "text")]); }
  void expect_com(const char* call) {
    if (!com_held_) ADD_FAILURE() << call << " without COM initialised";
  }

  Script script_;
  std::deque<Token> tokens_;  // a deque keeps the token addresses stable
  std::deque<std::u16string> texts_;
  std::size_t handed_instances_ = 0;
  bool odd_answered_ = false;
  int texts_made_ = 0;
  bool com_held_ = false;
  bool value_held_ = false;
};

using Calls = std::vector<std::string>;

Calls join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Calls kStart = {"initialize", "initialize_security", "create_locator"};
const Calls kConnect = {"make_text ROOT\\CIMV2", "connect_server ROOT\\CIMV2",
                        "free_text ROOT\\CIMV2", "set_proxy_blanket"};
const Calls kExec = {"make_text_from_narrow SELECT * FROM Win32_Bios", "make_text_from_narrow WQL",
                     "exec_query WQL SELECT * FROM Win32_Bios 48", "free_text WQL",
                     "free_text SELECT * FROM Win32_Bios"};
const Calls kNext = {"next 4294967295 1"};
// Services and locator given back, without any enumerator.
const Calls kLetGo = {"release services", "release locator", "uninitialize"};
const Calls kEnd = {"release services", "release locator", "release enumerator", "uninitialize"};

Calls instance(int i) {
  const std::string name = "instance" + std::to_string(i);
  return {"next 4294967295 1", "get " + name + " SerialNumber", "clear_value", "release " + name};
}

Script listing(std::vector<std::optional<std::u16string>> serials) {
  Script s;
  s.serials = std::move(serials);
  return s;
}

class FirmwareSerialSequence : public ::testing::Test {
 protected:
  std::string run(Script script, const char* query = kBiosQuery) {
    api_.emplace(std::move(script));
    std::string result = read_firmware_serial(*api_, query);
    EXPECT_EQ(api_->held(), Calls{}) << "left held";
    return result;
  }
  const Calls& calls() const { return api_->calls; }
  // The code of the error the run raises, after checking nothing is held.
  HResult raised(Script script) {
    api_.emplace(std::move(script));
    HResult code = kSOk;
    try {
      read_firmware_serial(*api_, kBiosQuery);
      ADD_FAILURE() << "no error raised";
    } catch (const ComError& e) {
      code = e.code();
    }
    EXPECT_EQ(api_->held(), Calls{}) << "left held";
    return code;
  }

  std::optional<RecordingApi> api_;
};

constexpr HResult kRpcEChangedMode = static_cast<HResult>(0x80010106u);
constexpr HResult kAccessDenied = static_cast<HResult>(0x80070005u);
constexpr HResult kWbemEInvalidClass = static_cast<HResult>(0x80041010u);
constexpr HResult kWbemEFailed = static_cast<HResult>(0x80041001u);

using FailureTable = FirmwareSerialSequence;

TEST_F(FailureTable, InitializeFailsWithNothingToUndo) {
  for (const HResult hr : {kRpcEChangedMode, kEOutOfMemory}) {
    Script s;
    s.initialize = hr;
    EXPECT_EQ(run(s), "not found");
    EXPECT_EQ(calls(), Calls{"initialize"});
  }
}

TEST_F(FailureTable, SecurityFailsThenUninitializes) {
  Script s;
  s.security = kAccessDenied;
  EXPECT_EQ(run(s), "not found");
  EXPECT_EQ(calls(), (Calls{"initialize", "initialize_security", "uninitialize"}));
}

TEST_F(FailureTable, CreateFailsThenUninitializes) {
  Script s;
  s.create = kEOutOfMemory;
  EXPECT_EQ(run(s), "not found");
  EXPECT_EQ(calls(), join({kStart, {"uninitialize"}}));
  // A success that hands back no locator cannot be connected either.
  Script empty;
  empty.hand_locator = false;
  EXPECT_EQ(run(empty), "not found");
  EXPECT_EQ(calls(), join({kStart, {"uninitialize"}}));
}

TEST_F(FailureTable, ConnectFailsReleasesTheLocator) {
  Script s;
  s.connect = kAccessDenied;
  EXPECT_EQ(run(s), "not found");
  const Calls failed_connect = join({kStart,
                                     {"make_text ROOT\\CIMV2", "connect_server ROOT\\CIMV2",
                                      "free_text ROOT\\CIMV2", "release locator", "uninitialize"}});
  EXPECT_EQ(calls(), failed_connect);
  // A success without a services reference goes no further.
  Script empty;
  empty.hand_services = false;
  EXPECT_EQ(run(empty), "not found");
  EXPECT_EQ(calls(), failed_connect);
}

TEST_F(FailureTable, BlanketFailsReleasesServicesThenLocator) {
  Script s;
  s.blanket = kAccessDenied;
  EXPECT_EQ(run(s), "not found");
  EXPECT_EQ(calls(), join({kStart, kConnect, kLetGo}));
}

TEST_F(FailureTable, ExecFailsAfterFreeingBothTexts) {
  Script s;
  s.exec = kWbemEInvalidClass;
  EXPECT_EQ(run(s), "not found");
  EXPECT_EQ(calls(), join({kStart, kConnect, kExec, kLetGo}));
}

TEST_F(FailureTable, AlreadyInitialisedComAndSecurityGoOn) {
  Script s;
  s.initialize = kSFalse;
  s.security = kRpcETooLate;
  s.serials = {u"PF0ABC12"};
  EXPECT_EQ(run(s), "PF0ABC12");
  EXPECT_EQ(calls(), join({kStart, kConnect, kExec, instance(0), kNext, kEnd}));
}

TEST_F(FailureTable, ExecWithoutEnumeratorGivesEmptyText) {
  Script s;
  s.hand_enumerator = false;
  s.serials = {u"never read"};
  EXPECT_EQ(run(s), "");
  EXPECT_EQ(calls(), join({kStart, kConnect, kExec, kLetGo}));
}

// A text that cannot be made raises; what was obtained is still given back.
TEST_F(FailureTable, TextThatCannotBeMadeRaisesAfterReleasing) {
  Script ns;
  ns.failing_text = 0;
  EXPECT_EQ(raised(ns), kEOutOfMemory);
  EXPECT_EQ(calls(), join({kStart, {"make_text ROOT\\CIMV2", "release locator", "uninitialize"}}));

  Script wql;
  wql.failing_text = 2;
  wql.text_error = static_cast<HResult>(0x80070459u);  // no Unicode translation
  EXPECT_EQ(raised(wql), wql.text_error);
  EXPECT_EQ(calls(), join({kStart,
                           kConnect,
                           {"make_text_from_narrow SELECT * FROM Win32_Bios",
                            "make_text_from_narrow WQL", "free_text SELECT * FROM Win32_Bios",
                            "release services", "release locator", "uninitialize"}}));

  // No BSTR and no failure code: still an error, never a null argument.
  Script silent;
  silent.failing_text = 1;
  silent.text_error = kSOk;
  EXPECT_EQ(raised(silent), kEFail);
}

using Enumeration = FirmwareSerialSequence;

TEST_F(Enumeration, NoInstanceGivesEmptyTextAfterEveryRelease) {
  EXPECT_EQ(run(Script{}), "");
  EXPECT_EQ(calls(), join({kStart, kConnect, kExec, kNext, kEnd}));
}

TEST_F(Enumeration, ErrorThroughNextEndsWithWhatWasGathered) {
  Script first = listing({});
  first.end_hr = kWbemEFailed;
  EXPECT_EQ(run(first), "");
  Script later = listing({u"A"});
  later.end_hr = kWbemEFailed;
  EXPECT_EQ(run(later), "A");
  // Only the instance count decides; an instance handed back is read.
  Script odd = listing({u"A"});
  odd.next_hr = kWbemEFailed;
  EXPECT_EQ(run(odd), "A");
  // A count of one with no instance ends the walk too: there is nothing to read.
  Script phantom = listing({u"A"});
  phantom.count_without_instance = true;
  EXPECT_EQ(run(phantom), "A");
  EXPECT_EQ(calls(), join({kStart, kConnect, kExec, instance(0), kNext, kEnd}));
}

TEST_F(Enumeration, LastInstanceHoldingATextWins) {
  EXPECT_EQ(run(listing({u"A", u"B"})), "B");
  EXPECT_EQ(calls(), join({kStart, kConnect, kExec, instance(0), instance(1), kNext, kEnd}));
  EXPECT_EQ(run(listing({u"A", std::nullopt})), "A");
  EXPECT_EQ(run(listing({std::nullopt})), "");
  EXPECT_EQ(run(listing({u"A", u""})), "");
  EXPECT_EQ(run(listing({u"A", std::nullopt, u"C", std::nullopt})), "C");
  EXPECT_EQ(calls().size(),
            join({kStart, kConnect, kExec, kNext, kEnd}).size() + 4 * instance(0).size());
}

TEST_F(Enumeration, SerialIsNarrowedAndCut) {
  Script s = listing({std::u16string(u"AB\0CD", 5), u"Caf\u00e9 \u20ac9"});
  EXPECT_EQ(run(s), "Caf\xE9 ");
  s.serials.pop_back();
  EXPECT_EQ(run(s), "AB");
  s.serials = {std::u16string(600, u'7')};
  EXPECT_EQ(run(s), std::string(511, '7'));
}

TEST_F(Enumeration, QueryTextPassesUnchanged) {
  EXPECT_EQ(run(listing({u"/7XJ2KF2/CN129636"}), kBaseboardQuery), "/7XJ2KF2/CN129636");
  EXPECT_EQ(calls()[7], "make_text_from_narrow SELECT * FROM Win32_Baseboard");
  EXPECT_EQ(calls()[9], "exec_query WQL SELECT * FROM Win32_Baseboard 48");
}

}  // namespace
}  // namespace wmi

namespace {

std::string narrow(std::u16string_view units) { return narrow_classic(units.data(), units.size()); }

TEST(NarrowClassic, EachUnitUpTo0xFFIsItsByte) {
  EXPECT_EQ(narrow(u"caf\u00e9"), "caf\xE9");
  std::u16string all;
  std::string bytes;
  for (int u = 1; u <= 0xFF; ++u) {
    all.push_back(static_cast<char16_t>(u));
    bytes.push_back(static_cast<char>(u));
  }
  EXPECT_EQ(narrow(all), bytes);
}

TEST(NarrowClassic, FirstNullOrWiderUnitEndsTheText) {
  EXPECT_EQ(narrow(std::u16string(u"AB\0CD", 5)), "AB");
  EXPECT_EQ(narrow(std::u16string(u"\0AB", 3)), "");
  EXPECT_EQ(narrow(u"AB\u0100CD"), "AB");
  EXPECT_EQ(narrow(u"\u20acAB"), "");
  EXPECT_EQ(narrow(u"\U0001F600AB"), "");  // a surrogate pair starts above 0xFF
}

TEST(NarrowClassic, ReadsOnlyTheUnitsItIsGiven) {
  const char16_t unterminated[3] = {u'A', u'B', u'C'};
  EXPECT_EQ(narrow_classic(unterminated, 2), "AB");
  EXPECT_EQ(narrow_classic(unterminated, 3), "ABC");
  EXPECT_EQ(narrow_classic(nullptr, 0), "");
}

TEST(NarrowClassic, KeepsAtMost511Bytes) {
  std::u16string serial;
  for (int i = 0; i < 600; ++i) serial.push_back(static_cast<char16_t>(u'A' + i % 26));
  const std::string all = narrow(serial);
  ASSERT_EQ(all.size(), 511u);
  for (const std::size_t n : {511u, 512u, 600u}) {
    EXPECT_EQ(narrow(serial.substr(0, n)), all.substr(0, 511)) << n;
  }
  EXPECT_EQ(narrow(serial.substr(0, 510)), all.substr(0, 510));
  // The cut comes before a wider unit at 512 is even looked at.
  std::u16string wide_after = serial.substr(0, 511) + u'\u0100';
  EXPECT_EQ(narrow(wide_after), all);
}

}  // namespace
}  // namespace zavro
