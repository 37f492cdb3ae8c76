// The IMAP client and collect against a throwaway Dovecot server
// (scripts/imap-throwaway, started by CTest's imap fixture; its directory in
// $ZAVRO_TEST_IMAP). Without the server these fail: they never skip. What no
// real server sends goes over a scripted link.
#include "registry/imap.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "registry/collect.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace rg = zavro::registry;
using zavro::testing::TempDir;

const char* const kPassword = "throwaway-secret";

std::string server_dir() {
  const char* dir = std::getenv("ZAVRO_TEST_IMAP");
  return dir != nullptr ? dir : "";
}

std::string port() {
  std::ifstream file(server_dir() + "/port");
  std::string text;
  std::getline(file, text);
  return text;
}

std::string report(const std::string& name) {
  return "<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>" + name +
         "</MachineName><ProcessorCount>2</ProcessorCount><MacAddresses><M0>02:1B:21:3A:4F:11</M0>"
         "</MacAddresses><BiosSerial>BS-" +
         name + "</BiosSerial><MotherboardSerial>MB-" + name + "</MotherboardSerial></Node>";
}

// A message from who: with a report of that name attached, or none.
std::string message(const std::string& who, bool with_report, std::size_t padding = 0) {
  std::string text =
      "From: " + who + "@example.com\nSubject: " + who + "\nMessage-ID: <" + who +
      "@example.com>\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\n"
      "hello\n" +
      std::string(padding, 'x') + "\n";
  if (with_report) {
    text +=
        "--b\nContent-Type: text/plain\nContent-Disposition: attachment; "
        "filename=ZAVRO_system_info.txt\n\n" +
        report(who) + "\n";
  }
  return text + "--b--\n";
}

class Imap : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server_dir().empty()) << "no IMAP server: run through ctest (imap fixture)";
    ASSERT_FALSE(port().empty()) << "no IMAP server at " << server_dir();
    tree_.write("password", std::string(kPassword) + "\n");
    options_.url = "imaps://desk@localhost:" + port() + "/INBOX";
    options_.password_file = tree_ / "password";
    options_.cacert = server_dir() + "/cert.pem";
    options_.timeout = std::chrono::seconds(20);
    // Each test starts from an empty INBOX.
    rg::ImapFolder folder(options_);
    for (const std::uint32_t uid : folder.uids_after(0)) folder.move(uid, "Old");
  }

  // Delivers messages to the INBOX, in order.
  void deliver(const std::vector<std::string>& messages) {
    std::string command = "bash '" ZAVRO_IMAP_SCRIPT "' deliver '" + server_dir() + "'";
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const std::string name = "m" + std::to_string(i);
      tree_.write(name, messages[i]);
      command += " '" + (tree_ / name) + "'";
    }
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  TempDir tree_;
  rg::ImapOptions options_;
};

std::string crlf(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// UIDs, UIDVALIDITY, a fetch whole and one cut at its cap, a move, a UID gone;
// a window fetched in one go, a message past its first part among them.
TEST_F(Imap, FolderByUid) {
  deliver({message("a", true), message("b", true, 5000), message("c", false),
           message("d", true, 300000)});
  rg::ImapFolder folder(options_);
  const std::uint32_t validity = folder.uidvalidity();
  const std::vector<std::uint32_t> uids = folder.uids_after(0);
  ASSERT_EQ(uids.size(), 4U);
  EXPECT_EQ(folder.uids_after(uids[2]), std::vector<std::uint32_t>{uids[3]});
  EXPECT_TRUE(folder.uids_after(uids[3]).empty());
  std::vector<std::string> window;
  folder.fetch(uids, validity, 200000, 100, [&window](rg::ImapFolder::Message& m) {
    window.push_back(std::to_string(m.bytes.size()) + (m.whole ? " whole" : " cut"));
  });
  EXPECT_EQ(window, (std::vector<std::string>{
                        std::to_string(crlf(message("a", true)).size()) + " whole",
                        std::to_string(crlf(message("b", true, 5000)).size()) + " whole",
                        std::to_string(crlf(message("c", false)).size()) + " whole", "100 cut"}));
  const auto large = folder.fetch(uids[3], validity, 1 << 20, 100);
  ASSERT_TRUE(large);
  EXPECT_TRUE(large->whole);
  EXPECT_EQ(large->bytes, crlf(message("d", true, 300000)));
  folder.move({uids[2], uids[3]}, "Old");
  const auto whole = folder.fetch(uids[0], validity, 1 << 20, 100);
  ASSERT_TRUE(whole);
  EXPECT_TRUE(whole->whole);
  EXPECT_EQ(whole->bytes, crlf(message("a", true)));
  const auto cut = folder.fetch(uids[1], validity, 4000, 100);
  ASSERT_TRUE(cut);
  EXPECT_FALSE(cut->whole);
  EXPECT_EQ(cut->size, crlf(message("b", true, 5000)).size());
  EXPECT_EQ(cut->bytes, crlf(message("b", true, 5000)).substr(0, 100));
  folder.move(uids[0], "Done");
  EXPECT_EQ(folder.uids_after(0), (std::vector<std::uint32_t>{uids[1]}));
  EXPECT_FALSE(folder.fetch(uids[0], validity, 1 << 20, 100));
  EXPECT_THROW(folder.fetch(uids[1], validity + 1, 1 << 20, 100), rg::ImapError);
}

// What is refused, and that no message names the password.
TEST_F(Imap, Refusals) {
  const TempDir home;
  const std::string wrong = home / "wrong";
  home.write("wrong", "not-the-password\n");
  struct Row {
    const char* what;
    std::string url;
    std::string password_file;
    std::string cacert;
    std::string expected;  // in the message
  };
  const std::string at = "desk@localhost:" + port();
  const Row rows[] = {
      {"plain imap", "imap://" + at + "/INBOX", options_.password_file, options_.cacert,
       "imap://" + at + "/INBOX: plain imap:// sends the password unencrypted"},
      {"password in the URL", "imaps://desk:" + std::string(kPassword) + "@localhost/INBOX",
       options_.password_file, options_.cacert, "a password in the URL is refused"},
      {"wrong password", "imaps://" + at + "/INBOX", wrong, options_.cacert,
       "imaps://" + at + "/INBOX: "},
      {"certificate not trusted", "imaps://" + at + "/INBOX", options_.password_file, "",
       "imaps://" + at + "/INBOX: "},
      {"not IMAP", "https://" + at + "/", options_.password_file, options_.cacert,
       "not an imaps:// URL"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    rg::ImapOptions options = options_;
    options.url = row.url;
    options.password_file = row.password_file;
    options.cacert = row.cacert;
    try {
      rg::ImapFolder folder(options);
      folder.uidvalidity();
      ADD_FAILURE() << "no error";
    } catch (const rg::ImapError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(row.expected), std::string::npos) << text;
      EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
      EXPECT_EQ(text.find("not-the-password"), std::string::npos) << text;
    }
  }
}

// The password: --password-file, else $ZAVRO_IMAP_PASSWORD_FILE, else ~/.netrc.
TEST(ImapPassword, Sources) {
  const TempDir home;
  home.write("given", "from-option\n");
  home.write("env", "from-env\r\n");
  home.write(".netrc",
             "machine other.example login desk password other\n"
             "machine mail.example login someone password not-ours\n"
             "machine mail.example\n  login desk\n  password from-netrc\n"
             "default login desk password fallback\n");
  const char* saved_home = std::getenv("HOME");
  const std::string old_home = saved_home != nullptr ? saved_home : "";
  setenv("HOME", home.path().c_str(), 1);
  unsetenv("ZAVRO_IMAP_PASSWORD_FILE");
  EXPECT_EQ(rg::imap_password(home / "given", "desk", "mail.example"), "from-option");
  EXPECT_EQ(rg::imap_password("", "desk", "mail.example"), "from-netrc");
  EXPECT_EQ(rg::imap_password("", "desk", "elsewhere.example"), "fallback");
  setenv("ZAVRO_IMAP_PASSWORD_FILE", (home / "env").c_str(), 1);
  EXPECT_EQ(rg::imap_password("", "desk", "mail.example"), "from-env");
  unsetenv("ZAVRO_IMAP_PASSWORD_FILE");
  home.write(".netrc", "");
  EXPECT_THROW(rg::imap_password("", "desk", "mail.example"), rg::ImapError);
  EXPECT_THROW(rg::imap_password(home / "missing", "desk", "mail.example"), rg::ImapError);
  setenv("HOME", old_home.c_str(), 1);
}

// A server that answers each command with what piece(tag, command, n) gives
// for n = 0, 1, ... as the client reads on; nothing more closes it.
using Piece =
    std::function<std::string(const std::string& tag, const std::string& command, std::size_t n)>;

class ScriptedLink final : public rg::ImapLink {
 public:
  explicit ScriptedLink(Piece piece) : piece_(std::move(piece)) {}
  void send(std::string_view text) override {
    const std::size_t space = text.find(' ');
    tag_ = std::string(text.substr(0, space));
    command_ = std::string(text.substr(space + 1, text.size() - space - 3));
    n_ = 0;
  }
  bool receive(std::string& in, const std::function<bool()>&) override {
    const std::string more = piece_(tag_, command_, n_++);
    if (more.empty()) throw rg::ImapError("the server closed the connection");
    in += more;
    return true;
  }

 private:
  Piece piece_;
  std::string tag_;
  std::string command_;
  std::size_t n_ = 0;
};

// SELECT gives a UIDVALIDITY, "UID FETCH *" UID 5; the rest OK, or what
// other gives when it gives something.
Piece server(const Piece& other) {
  return [other](const std::string& tag, const std::string& command, std::size_t n) {
    if (std::string got = other(tag, command, n); !got.empty()) return got;
    if (n > 0) return std::string();
    if (command.rfind("SELECT", 0) == 0)
      return "* 1 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n" + tag + " OK\r\n";
    if (command == "UID FETCH * (UID)") return "* 1 FETCH (UID 5)\r\n" + tag + " OK\r\n";
    return tag + " OK\r\n";
  };
}

// Answers without end, or too long to hold, fail with what went wrong; none
// runs on for as long as the server would send.
TEST(ImapScripted, EndlessAnswers) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  struct Row {
    const char* what;
    Piece piece;
    std::function<void(rg::ImapFolder&)> call;
    std::string expected;
  };
  const Row rows[] = {
      {"capabilities, every one new",
       [](const std::string& tag, const std::string& command, std::size_t n) {
         if (command != "CAPABILITY") return std::string();
         if (n == 8) return tag + " OK\r\n";  // 8 MiB
         std::string line = "* CAPABILITY";
         while (line.size() < kMiB - 16)
           line += " X" + std::to_string(n) + "-" + std::to_string(line.size());
         return line + "\r\n";
       },
       [](rg::ImapFolder& folder) { folder.wait(0, std::chrono::seconds(1), {}); },
       "INBOX: the server sent too many capabilities"},
      {"the same capability again and again",
       [](const std::string& tag, const std::string& command, std::size_t n) {
         if (command != "CAPABILITY") return std::string();
         if (n == 8) return tag + " OK\r\n";
         return "* CAPABILITY" + std::string(kMiB / 8, ' ') + std::string(kMiB / 2, 'I') + "\r\n";
       },
       [](rg::ImapFolder& folder) { folder.wait(0, std::chrono::seconds(1), {}); },
       "INBOX: the server sent too many capabilities"},
      {"a literal of 2 MiB in an answer to NOOP",
       [](const std::string& tag, const std::string& command, std::size_t n) {
         if (command != "NOOP" || n > 0) return std::string();
         return "* OK {" + std::to_string(2 * kMiB) + "}\r\n" + std::string(2 * kMiB, 'x') +
                "\r\n" + tag + " OK\r\n";
       },
       [](rg::ImapFolder& folder) { folder.uids_after(0); },
       "INBOX: the server sent a response too long"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    rg::ImapFolder folder("imaps://test/INBOX", "INBOX",
                          [&row] { return std::make_unique<ScriptedLink>(server(row.piece)); });
    try {
      row.call(folder);
      ADD_FAILURE() << "no error";
    } catch (const rg::ImapError& e) {
      EXPECT_EQ(e.what(), "imaps://test/" + row.expected);
    }
  }
}

// Bytes malloc holds, those it mapped for large blocks too.
std::size_t in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// UID SEARCH naming the same UIDs 32 MiB over: each once, in order, and the
// memory held while it is read no more than a few lines of it.
TEST(ImapScripted, SearchRepeatingUids) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  const std::size_t before = in_use();
  std::size_t most = 0;
  rg::ImapFolder folder("imaps://test/INBOX", "INBOX", [&] {
    return std::make_unique<ScriptedLink>(
        server([&](const std::string& tag, const std::string& command, std::size_t n) {
          if (command.rfind("UID SEARCH", 0) != 0) return std::string();
          most = std::max(most, in_use());
          if (n == 32) return "* SEARCH 3\r\n" + tag + " OK\r\n";
          std::string line = "* SEARCH";
          while (line.size() < kMiB - 16) line += " 5 4 5";
          return line + "\r\n";
        }));
  });
  EXPECT_EQ(folder.uids_after(2), (std::vector<std::uint32_t>{3, 4, 5}));
  EXPECT_LT(most - std::min(most, before), 16 * kMiB);
}

// IDLE: returns once mail comes, or when asked to stop, or at once when mail
// above the UID is there already.
TEST_F(Imap, WaitsForMail) {
  rg::ImapFolder folder(options_);
  const std::uint32_t validity = folder.uidvalidity();
  (void)validity;
  std::thread later([this] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    deliver({message("w", true)});
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(folder.wait(UINT32_MAX - 1, std::chrono::seconds(60), {}));
  later.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  const auto uids = folder.uids_after(0);
  ASSERT_EQ(uids.size(), 1U);
  EXPECT_TRUE(folder.wait(0, std::chrono::seconds(60), {}));  // there already
  EXPECT_TRUE(folder.wait(uids[0], std::chrono::seconds(60), [] { return true; }));
}

class MemoryState final : public rg::CollectState {
 public:
  std::optional<rg::CollectMark> mark(const std::string& folder) override {
    const auto found = marks.find(folder);
    if (found == marks.end()) return std::nullopt;
    return found->second;
  }
  void set_mark(const std::string& folder, const rg::CollectMark& mark) override {
    marks[folder] = mark;
  }
  std::map<std::string, rg::CollectMark> marks;
};

// collect: reports stored, messages moved by what became of them, the mark
// past each; a second pass finds nothing; a changed UIDVALIDITY reads again.
TEST_F(Imap, Collect) {
  deliver({message("a", true), message("b", false), message("c", true, 8000), message("a", true)});
  const TempDir tree;
  auto registry = rg::Registry::open(tree / "r.sqlite", true);
  rg::ImapFolder folder(options_);
  MemoryState state;
  rg::CollectOptions options;
  options.done = "Done";
  options.refused = "Refused";
  options.max_message = 4000;
  options.batch = 3;
  options.evidence = true;
  std::vector<std::string> outcomes;
  std::vector<std::string> moved;
  const auto outcome = [&outcomes](const rg::Outcome& o) {
    outcomes.push_back((o.no_report ? std::string("no-report") : rg::name_of(o.status)) + " " +
                       (o.mail ? o.mail->sender : "?"));
  };
  const auto message_done = [&moved](const rg::CollectedMessage& m) {
    moved.push_back(std::string(m.refused ? "refused" : "done") + " " + std::to_string(m.reports));
  };
  const rg::CollectCounts counts =
      rg::collect_once(folder, *registry, state, options, outcome, message_done);
  EXPECT_EQ(counts.messages, 4U);
  EXPECT_EQ(counts.refused, 2U);
  EXPECT_EQ(outcomes,
            (std::vector<std::string>{"stored a@example.com", "no-report b@example.com",
                                      "rejected c@example.com", "duplicate a@example.com"}));
  EXPECT_EQ(moved, (std::vector<std::string>{"done 1", "refused 1", "refused 1", "done 1"}));
  EXPECT_TRUE(folder.uids_after(0).empty());
  const rg::CollectMark mark = state.marks.at(folder.name());
  EXPECT_EQ(mark.uidvalidity, folder.uidvalidity());
  EXPECT_EQ(rg::collect_once(folder, *registry, state, options, outcome, message_done).messages,
            0U);
  // Left where they are without folders to move to; a changed UIDVALIDITY
  // reads the folder again, the known report a duplicate.
  deliver({message("d", true)});
  options.done.clear();
  state.marks[folder.name()].uidvalidity += 1;
  outcomes.clear();
  const rg::CollectCounts again =
      rg::collect_once(folder, *registry, state, options, outcome, message_done);
  EXPECT_TRUE(again.uidvalidity_changed);
  EXPECT_EQ(outcomes, std::vector<std::string>{"stored d@example.com"});
  EXPECT_EQ(folder.uids_after(0).size(), 1U);
  EXPECT_EQ(rg::collect_once(folder, *registry, state, options, outcome, message_done).messages,
            0U);
}

// A run stopped once its reports were committed, before it moved the
// messages: the next moves each where it belongs and stores none again.
TEST_F(Imap, MovesWhatAStoppedRunStoredWithoutStoringItAgain) {
  deliver({message("s", true), message("t", false), message("u", true, 8000)});
  const TempDir tree;
  auto registry = rg::Registry::open(tree / "r.sqlite", true);
  rg::ImapFolder folder(options_);
  rg::RegistryCollectState state(*registry);
  rg::CollectOptions options;
  options.max_message = 4000;
  ASSERT_EQ(rg::collect_once(folder, *registry, state, options, {}, {}).messages, 3U);
  const rg::CollectMark stored = state.mark(folder.name()).value();
  EXPECT_EQ(stored.settled_uid, stored.last_uid) << "nothing to move: settled with its reports";
  // As a run with folders to move to leaves it when stopped before its moves.
  state.set_mark(folder.name(), {stored.uidvalidity, stored.last_uid, 0});
  const auto held = [this](const char* name) {
    rg::ImapOptions other = options_;
    other.url = "imaps://desk@localhost:" + port() + "/" + name;
    return rg::ImapFolder(other).uids_after(0).size();
  };
  const std::size_t done = held("Done");
  const std::size_t refused = held("Refused");
  options.done = "Done";
  options.refused = "Refused";
  std::size_t told = 0;
  const rg::CollectCounts counts = rg::collect_once(folder, *registry, state, options,
                                                    [&told](const rg::Outcome&) { ++told; }, {});
  EXPECT_EQ(counts.messages, 3U);
  EXPECT_EQ(counts.refused, 2U);
  EXPECT_EQ(told, 0U);
  EXPECT_TRUE(folder.uids_after(0).empty());
  EXPECT_EQ(held("Done"), done + 1);
  EXPECT_EQ(held("Refused"), refused + 2);
  EXPECT_EQ(registry->assignments().size(), 3U) << "stored a second time";
  EXPECT_EQ(state.mark(folder.name())->settled_uid, stored.last_uid);
}

// --watch: mail that comes while it waits is collected; a stop ends it.
TEST_F(Imap, Watch) {
  const TempDir tree;
  auto registry = rg::Registry::open(tree / "r.sqlite", true);
  rg::ImapFolder folder(options_);
  MemoryState state;
  rg::CollectOptions options;
  options.done = "Done";
  std::atomic<std::size_t> collected{0};
  std::atomic<bool> stop{false};
  std::thread watcher([&] {
    rg::ImapFolder watched(options_);
    rg::collect(
        watched, *registry, state, options, std::chrono::seconds(30),
        [&stop] { return stop.load(); }, {},
        [&collected](const rg::CollectedMessage&) { ++collected; });
  });
  deliver({message("w1", true), message("w2", true)});
  for (int i = 0; i < 300 && collected < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop = true;
  watcher.join();
  EXPECT_EQ(collected, 2U);
  EXPECT_TRUE(folder.uids_after(0).empty());
}

}  // namespace
