// The IMAP client and collect against a throwaway Dovecot server
// (scripts/imap-throwaway, started by CTest's imap fixture; its directory in
// $ZAVRO_TEST_IMAP). Without the server these fail: they never skip.
#include "registry/imap.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
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
