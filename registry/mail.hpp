// Reports that come by mail: one RFC 5322 message at a time, read with GMime.
// A report is every attachment that is one, every archive attachment's
// members, and what attached messages hold, followed kMaxAttachedDepth deep.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "registry/input.hpp"

namespace zavro::registry {

// A message above this is refused unread past its head, so that one huge or
// hostile message costs bounded memory and time.
inline constexpr std::size_t kDefaultMaxMessage = std::size_t{64} << 20;
// Messages attached to messages are followed this deep, no deeper.
inline constexpr int kMaxAttachedDepth = 8;
// What a message without a report says as its item's reason.
inline constexpr const char* kNoReport = "no report in this message";

// True when bytes begin as a message does: header fields up to a blank line,
// among them one a message has (From, Date, Message-ID, MIME-Version...).
bool looks_like_message(std::string_view bytes);

// Reads messages one after another into a buffer it keeps. Each item a
// message yields carries the message's origin (registry::MailOrigin); a
// message that yields none reaches the sink as one item of its own, named as
// the message, flagged no_report, with reason kNoReport and the message's
// first reader::kMaxFileSize + 1 bytes (so that a sink which knows nothing of
// mail keeps it as rejected). A message above max_message bytes is one
// unreadable item, "message larger than N bytes", with its first bytes and
// the origin its head gives. Names: the message's name, then ":FILE" for an
// attachment with a file name, or "#N" for the Nth part of its message
// without one; an archive's members follow as ":MEMBER". One reader per
// thread.
class MessageReader {
 public:
  MessageReader(ItemSink each, std::size_t max_message, const ArchiveLimits& limits = {});
  ~MessageReader();
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // Gathering a message: bytes past max_message are counted, not kept.
  void clear();
  void append(std::string_view bytes);
  // Bytes of the message that were not fetched, counted (a server gave only
  // the head of a message it said is larger).
  void skip(std::size_t bytes);
  std::size_t size() const;
  bool over_limit() const;

  // The gathered message, named name. False when the sink asked to stop.
  bool read(const std::string& name);
  // One message held elsewhere.
  bool read(const std::string& name, std::string_view bytes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One message in memory (a request's body).
bool read_message(const std::string& name, std::string_view bytes, const ItemSink& each,
                  const ArchiveLimits& limits = {}, std::size_t max_message = kDefaultMaxMessage);

}  // namespace zavro::registry
