// One folder of an IMAP mailbox, through libcurl: its UIDVALIDITY, the UIDs
// above one, messages fetched by UID a window at a time with a size cap, UID
// MOVE of a set, and waiting for new mail (IDLE where the server offers it).
// The password is read from a file or ~/.netrc, handed to libcurl only, and
// never part of a message.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zavro::registry {

// The server cannot be reached, refuses, or answers what cannot be used; the
// message names the server and the folder, never the password.
class ImapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ImapOptions {
  std::string url;             // imaps://USER@HOST[:PORT]/FOLDER (FOLDER defaults to INBOX)
  std::string password_file;   // else $ZAVRO_IMAP_PASSWORD_FILE, else ~/.netrc
  std::string cacert;          // PEM file of trusted CAs; empty: the system's
  bool insecure_imap = false;  // allow imap://, without TLS
  // A server that sends nothing this long is taken for gone.
  std::chrono::seconds timeout{60};
};

// The password for user at host: the first line of password_file, else of
// $ZAVRO_IMAP_PASSWORD_FILE's file, else the ~/.netrc entry for host (and
// login user, when it names one), else the netrc default.
std::string imap_password(const std::string& password_file, const std::string& user,
                          const std::string& host);

// A logged-in connection to the server, as bytes: libcurl's, or a scripted
// one where the protocol is driven without a network.
class ImapLink {
 public:
  ImapLink() = default;
  virtual ~ImapLink() = default;
  ImapLink(const ImapLink&) = delete;
  ImapLink& operator=(const ImapLink&) = delete;

  // All of text; ImapError when it cannot go.
  virtual void send(std::string_view text) = 0;
  // Appends what came next to in. Without stop, a server gone or silent for
  // the timeout is an ImapError; with it, false once stop() says so (asked
  // about every second).
  virtual bool receive(std::string& in, const std::function<bool()>& stop) = 0;
  // Left in the middle of an answer: closing must not wait for the rest.
  virtual void cut() {}
};

// Opens a new link each time it is called; ImapError when it cannot.
using ImapOpen = std::function<std::unique_ptr<ImapLink>()>;

class ImapFolder {
 public:
  // Checks the URL and reads the password; connects on first use.
  explicit ImapFolder(const ImapOptions& options);
  // Folder over the links open gives, shown as name; no URL nor password.
  ImapFolder(const std::string& name, const std::string& folder, ImapOpen open);
  ~ImapFolder();
  ImapFolder(const ImapFolder&) = delete;
  ImapFolder& operator=(const ImapFolder&) = delete;

  // The URL as shown to the user: scheme, user, host, port, folder.
  const std::string& name() const;
  const std::string& folder() const;

  std::uint32_t uidvalidity();
  // Every UID above uid, in ascending order.
  std::vector<std::uint32_t> uids_after(std::uint32_t uid);

  struct Message {
    std::uint32_t uid = 0;
    std::string bytes;       // all of it, or its first bytes when not whole
    std::uint64_t size = 0;  // as the server gives it
    bool whole = true;
  };
  // The message with uid while the folder's UIDVALIDITY is uidvalidity:
  // whole when at most max bytes, otherwise only its first head bytes are
  // fetched. Nothing when the folder holds no such message.
  std::optional<Message> fetch(std::uint32_t uid, std::uint32_t uidvalidity, std::size_t max,
                               std::size_t head);
  // The same for each of uids (ascending), a few requests for all of them:
  // each message is handed to each in UID order as soon as its request is
  // answered, so that only a window of them is held at a time. UIDs the
  // folder no longer holds are passed over.
  void fetch(const std::vector<std::uint32_t>& uids, std::uint32_t uidvalidity, std::size_t max,
             std::size_t head, const std::function<void(Message&)>& each);
  // UID MOVE to folder (made when missing); COPY, \Deleted and UID EXPUNGE
  // on a server without MOVE. The set of UIDs goes in as few commands as fit.
  void move(std::uint32_t uid, const std::string& folder);
  void move(const std::vector<std::uint32_t>& uids, const std::string& folder);

  // Waits for mail with a UID above after_uid: returns at once when the
  // folder holds some already, when the server says more came (IDLE), when
  // stop() turns true (asked about every second), or after timeout. False,
  // having waited for nothing, when the server offers no IDLE: poll instead.
  bool wait(std::uint32_t after_uid, std::chrono::seconds timeout,
            const std::function<bool()>& stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zavro::registry
