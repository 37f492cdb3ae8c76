// Where reports come from: files, directories, archives and standard input,
// read one report at a time so that a million of them need no more memory
// than one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/types.hpp"

namespace zavro::registry {

struct Item {
  // As shown to the user: the path, "ARCHIVE:MEMBER", "MAILBOX:MESSAGE:FILE", or "-".
  std::string name;
  // What was read: the whole report, or what was had of one that is too
  // large or failed part way (at most reader::kMaxFileSize + 1 bytes), kept
  // so nothing sent is lost.
  std::string bytes;
  // Why the report as a whole could not be had; unset when bytes is all of it.
  std::optional<std::string> unreadable;
  // Stored with it in place of its run's note, when set.
  std::optional<std::string> note = std::nullopt;
  // Set for what came by mail.
  std::optional<MailOrigin> mail = std::nullopt;
  // A message that holds no report (registry/mail.hpp): named as the
  // message, unreadable says so, and bytes are the message's first ones.
  bool no_report = false;
  // Who sent it, in place of the adder's actor, when set (serve's requests
  // share a batch).
  std::optional<std::string> who = std::nullopt;
};

// Returns false to stop reading.
using ItemSink = std::function<bool(Item& item)>;

// An input, or what is left of one, given no item: a path that cannot be
// opened, a link out of a directory that is not followed, an archive refused
// past one of its limits. name as Item's; reason says why, naming no path.
struct Refusal {
  std::string name;
  std::string reason;
  // An archive stopped by ArchiveLimits: what it gave before may be partial.
  bool limit = false;
};
using RefusalSink = std::function<void(const Refusal& refusal)>;

// A dictionary up to 64 MiB (xz -9 uses 64 MiB) decodes; the decoder's own
// tables fit in the extra MiB.
constexpr std::uint64_t kXzMemoryLimit = std::uint64_t{65} << 20;

// What one archive may cost whatever its size: past any of these it is
// refused (a Refusal with limit set) and reading it stops.
struct ArchiveLimits {
  // The xz decoder's memory: a stream that asks for more is refused.
  std::uint64_t xz_memory = kXzMemoryLimit;
  // Member headers of every kind, skipped ones included.
  std::uint64_t members = UINT64_MAX;
  // Bytes unpacked, skipped ones included: the larger of the sizes the
  // headers declare and what the decompressor produced.
  std::uint64_t unpacked = UINT64_MAX;
  // This thread's CPU time spent on the archive.
  std::chrono::nanoseconds cpu = std::chrono::nanoseconds::max();
};

struct ReadOptions {
  ArchiveLimits limits;
  // In a directory, follow links whose target lies outside the directory
  // given (by default each is refused: a drop folder others can write to
  // must not hand over files they cannot read).
  bool follow_symlinks = false;
  // A mail message above this is refused, unread past its head.
  std::size_t max_message = std::size_t{64} << 20;
};

// Calls each for every report the inputs hold, inputs in the order given:
// - "-": standard input, one report;
// - a directory: every regular file under it, recursively, in byte order of
//   the full paths, each read as a plain file whatever its name; links to
//   files inside the directory are followed, links to files outside it are
//   refused unless options.follow_symlinks, links to directories are not
//   followed (a link to a parent would loop);
// - a name ending .zip, .tar, .tar.gz, .tgz or .tar.xz (any case): an
//   archive, read as a stream, each regular member in archive order named
//   "ARCHIVE:MEMBER" (a zip marks links only in its central directory,
//   which a stream never reaches, so there a link reads as a file);
// - a name ending .eml: one mail message; .mbox, or a file that begins with
//   "From ": a mailbox, read a message at a time; a directory with cur/ and
//   new/: a Maildir (registry/mail.hpp says what a message yields, and
//   registry/mailbox.hpp how they are named); a message above
//   options.max_message bytes is refused, unread past its head;
// - any other file (a link named here is followed): one report.
// A report above reader::kMaxFileSize is unreadable, "larger than 65536
// bytes", and is not read past the first kMaxFileSize + 1 bytes. A path
// that cannot be opened is a refusal with the system's reason, never an
// item. In a damaged archive what cannot be read is an unreadable item: a
// member's data under the member's name, headers that do not read under the
// archive's name (one item for a run of them). Reading goes on with what
// follows where it can; after a fatal error (a truncated or corrupt stream)
// that item is the archive's last. Memory stays bounded whatever the
// archive's size. Returns false when each asked to stop.
bool read_inputs(const std::vector<std::string>& inputs, const ItemSink& each,
                 const RefusalSink& refused = {}, const ReadOptions& options = {});

// The same for one input already in memory, named name: a ZIP, tar, tar.gz
// or tar.xz archive when its first bytes say so (members "NAME:MEMBER"), a
// mail message when they begin as one, otherwise one report.
bool read_memory(const std::string& name, std::string_view bytes, const ItemSink& each,
                 const RefusalSink& refused = {}, const ArchiveLimits& limits = {});

// An archive in memory, told by its first bytes: its members as read_memory
// gives them and whether to go on; nothing, reading nothing, for any other
// bytes.
std::optional<bool> read_archive_memory(const std::string& name, std::string_view bytes,
                                        const ItemSink& each, const ArchiveLimits& limits = {});

}  // namespace zavro::registry
