// Where reports come from: files, directories, archives and standard input,
// read one report at a time so that a million of them need no more memory
// than one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zavro::registry {

struct Item {
  // As shown to the user: the path, "ARCHIVE:MEMBER", or "-".
  std::string name;
  // What was read: the whole report, or what was had of one that is too
  // large or failed part way (at most reader::kMaxFileSize + 1 bytes), kept
  // so nothing sent is lost.
  std::string bytes;
  // Why the report as a whole could not be had; unset when bytes is all of it.
  std::optional<std::string> unreadable;
};

// Returns false to stop reading.
using ItemSink = std::function<bool(Item& item)>;

// Calls each for every report the inputs hold, inputs in the order given:
// - "-": standard input, one report;
// - a directory: every regular file under it, recursively, in byte order of
//   the full paths, each read as a plain file whatever its name; links to
//   files are followed, links to directories are not (a link to a parent
//   would loop);
// - a name ending .zip, .tar, .tar.gz, .tgz or .tar.xz (any case): an
//   archive, read as a stream, each regular member in archive order named
//   "ARCHIVE:MEMBER" (a zip marks links only in its central directory,
//   which a stream never reaches, so there a link reads as a file);
// - any other file: one report.
// A report above reader::kMaxFileSize is unreadable, "larger than 65536
// bytes", and is not read past the first kMaxFileSize + 1 bytes. A path
// that cannot be opened is one unreadable item named as given, with the
// system's reason. In a damaged archive what cannot be read is an unreadable
// item with libarchive's reason: a member's data under the member's name,
// headers that do not read under the archive's name (one item for a run of
// them). Reading goes on with what follows where libarchive can; after a
// fatal error (a truncated or corrupt stream) that item is the archive's
// last. Memory stays bounded whatever the archive's size. Returns false when
// each asked to stop.
bool read_inputs(const std::vector<std::string>& inputs, const ItemSink& each);

// The same for one input already in memory, named name: a ZIP, tar, tar.gz
// or tar.xz archive when its first bytes say so (members "NAME:MEMBER"),
// otherwise one report.
bool read_memory(const std::string& name, std::string_view bytes, const ItemSink& each);

}  // namespace zavro::registry
