// Where reports come from: files, directories, archives and standard input,
// read one report at a time so that a million of them need no more memory
// than one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zavro::registry {

struct Item {
  // As shown to the user: the path, "ARCHIVE:MEMBER", or "-".
  std::string name;
  // What was read: the whole report, or the first bytes of one that is too
  // large (at most reader::kMaxFileSize + 1), kept so nothing sent is lost.
  std::string bytes;
  // Why the report as a whole could not be had; unset when bytes is all of it.
  std::optional<std::string> unreadable;
};

// Returns false to stop reading.
using ItemSink = std::function<bool(Item& item)>;

// Calls each for every report the inputs hold, inputs in the order given: a
// file; every regular file under a directory, recursively, in byte order of
// the paths; every member of an archive (.zip, .tar, .tar.gz, .tgz, .tar.xz),
// read as a stream in archive order; "-", standard input. A member above
// reader::kMaxFileSize is not read whole; a damaged archive gives an
// unreadable item for what cannot be read and goes on with the rest where it
// can. Returns false when each asked to stop.
bool read_inputs(const std::vector<std::string>& inputs, const ItemSink& each);

}  // namespace zavro::registry
