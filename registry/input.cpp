#include "registry/input.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "reader/reader.hpp"

namespace zavro::registry {
namespace {

using reader::kMaxFileSize;
// One byte past the limit tells a report that is too large from one that fits.
constexpr std::size_t kReadLimit = kMaxFileSize + 1;
// libarchive's read size; it keeps about this much in flight per archive.
constexpr std::size_t kArchiveBlock = std::size_t{64} * 1024;
// Damaged tar headers are retried a block at a time; a bound keeps a filter
// that stops making progress from looping for ever.
constexpr unsigned kMaxRetries = 1U << 20;

std::string too_large() { return "larger than " + std::to_string(kMaxFileSize) + " bytes"; }
std::string read_error(int error) { return std::string("read error: ") + std::strerror(error); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
struct ArchiveFree {
  void operator()(archive* a) const { archive_read_free(a); }
};

enum class Format { kNone, kZip, kTar, kTarGz, kTarXz };

// ASCII case folded: archives made on Windows often end in upper case.
bool ends_with(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  const std::string_view tail = name.substr(name.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

Format format_of(std::string_view name) {
  if (ends_with(name, ".zip")) return Format::kZip;
  if (ends_with(name, ".tar")) return Format::kTar;
  if (ends_with(name, ".tar.gz") || ends_with(name, ".tgz")) return Format::kTarGz;
  if (ends_with(name, ".tar.xz")) return Format::kTarXz;
  return Format::kNone;
}

Format format_of_bytes(std::string_view bytes) {
  const auto starts = [bytes](std::string_view magic) {
    return bytes.substr(0, magic.size()) == magic;
  };
  if (starts({"PK\x03\x04", 4}) || starts({"PK\x05\x06", 4})) return Format::kZip;
  if (starts("\x1f\x8b")) return Format::kTarGz;
  if (starts({"\xfd"
              "7zXZ\0",
              6}))
    return Format::kTarXz;
  // POSIX and GNU tar both put "ustar" at 257.
  if (bytes.size() >= 512 && bytes.substr(257, 5) == "ustar") return Format::kTar;
  return Format::kNone;
}

std::string archive_message(archive* a) {
  const char* text = archive_error_string(a);
  return text != nullptr && *text != 0 ? text : "damaged archive";
}

std::string join(const std::string& directory, const char* name) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  return path += name;
}

class Inputs {
 public:
  explicit Inputs(const ItemSink& each) : each_(each), buffer_(new char[kReadLimit]) {}

  bool input(const std::string& name) {
    if (name == "-") return file(name, STDIN_FILENO);
    // Opened before looking at it, so what is read is what was looked at.
    Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return unreadable(name, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return unreadable(name, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return directory(name, fd.release());
    const Format format = format_of(name);
    if (format != Format::kNone) return archive_members(name, fd.get(), format);
    return file(name, fd.get());
  }

  // A report or an archive already in memory (a request's body), told apart
  // by its first bytes since there is no file name to go by.
  bool memory(const std::string& name, std::string_view bytes) {
    const Format format = format_of_bytes(bytes);
    if (format != Format::kNone) {
      return archive_members(name, format, [bytes](archive* a) {
        return archive_read_open_memory(a, bytes.data(), bytes.size());
      });
    }
    const std::size_t size = std::min(bytes.size(), kReadLimit);
    std::copy_n(bytes.data(), size, buffer_.get());
    return read_so_far(name, size);
  }

 private:
  // The item is reused: its strings keep their capacity unless the sink takes them.
  bool emit(const std::string& name, std::size_t size, std::optional<std::string> unreadable) {
    item_.name = name;
    item_.bytes.assign(buffer_.get(), size);
    item_.unreadable = std::move(unreadable);
    return each_(item_);
  }
  bool unreadable(const std::string& name, std::string reason) {
    return emit(name, 0, std::move(reason));
  }
  bool read_so_far(const std::string& name, std::size_t size) {
    return emit(name, size, size > kMaxFileSize ? std::optional(too_large()) : std::nullopt);
  }

  bool file(const std::string& name, int fd) {
    std::size_t size = 0;
    while (size < kReadLimit) {
      const ssize_t n = ::read(fd, buffer_.get() + size, kReadLimit - size);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        return emit(name, size, read_error(errno));
      }
      size += static_cast<std::size_t>(n);
    }
    return read_so_far(name, size);
  }

  // Children are ordered by name, a directory's as name + "/": walking them
  // depth first in that order gives the byte order of the full paths (with
  // "a-c" before "a/b") while holding one directory's listing per level.
  bool directory(const std::string& path, int fd) {
    struct Entry {
      std::string key;
      bool is_directory = false;
    };
    std::vector<Entry> entries;
    int list_error = 0;
    {
      const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
      if (!dir) {
        const int error = errno;
        ::close(fd);
        return unreadable(path, std::strerror(error));
      }
      for (;;) {
        errno = 0;
        const dirent* d = ::readdir(dir.get());
        if (d == nullptr) {
          list_error = errno;
          break;
        }
        const std::string_view name = d->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        // Links are not followed to directories (a link to a parent would
        // loop), only to files. An entry that cannot be looked at is kept
        // as a file, so that opening it names the cause.
        if (::fstatat(::dirfd(dir.get()), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
          if (S_ISDIR(st.st_mode)) {
            entries.push_back({std::string(name) + '/', true});
            continue;
          }
          if (S_ISLNK(st.st_mode) && ::fstatat(::dirfd(dir.get()), d->d_name, &st, 0) != 0) {
            continue;
          }
          if (!S_ISREG(st.st_mode)) continue;
        }
        entries.push_back({std::string(name), false});
      }
    }
    if (list_error != 0 && !unreadable(path, read_error(list_error))) return false;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (Entry& entry : entries) {
      if (entry.is_directory) entry.key.pop_back();
      const std::string child = join(path, entry.key.c_str());
      entry.key = std::string();  // the rest of this level is all that stays held
      if (entry.is_directory) {
        const int sub = ::open(child.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
        if (sub < 0) {
          if (!unreadable(child, std::strerror(errno))) return false;
          continue;
        }
        if (!directory(child, sub)) return false;
        continue;
      }
      // Non-blocking: a file swapped for a pipe since the listing must not hang.
      const Fd fd_child(::open(child.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
      struct stat st {};
      if (fd_child.get() < 0 || ::fstat(fd_child.get(), &st) != 0) {
        if (!unreadable(child, std::strerror(errno))) return false;
        continue;
      }
      if (!S_ISREG(st.st_mode)) continue;
      if (!file(child, fd_child.get())) return false;
    }
    return true;
  }

  bool archive_members(const std::string& name, int fd, Format format) {
    return archive_members(name, format,
                           [fd](archive* a) { return archive_read_open_fd(a, fd, kArchiveBlock); });
  }

  bool archive_members(const std::string& name, Format format,
                       const std::function<int(archive*)>& open) {
    const std::unique_ptr<archive, ArchiveFree> owned(archive_read_new());
    archive* a = owned.get();
    if (a == nullptr) return unreadable(name, "out of memory");
    switch (format) {
      case Format::kZip:
        // The streamable reader goes by the local headers; the seeking one
        // would hold the whole central directory.
        archive_read_support_format_zip_streamable(a);
        break;
      case Format::kTarGz:
        archive_read_support_filter_gzip(a);
        archive_read_support_format_tar(a);
        break;
      case Format::kTarXz:
        archive_read_support_filter_xz(a);
        archive_read_support_format_tar(a);
        break;
      case Format::kTar:
      case Format::kNone:
        archive_read_support_format_tar(a);
        break;
    }
    if (open(a) != ARCHIVE_OK) {
      return unreadable(name, archive_message(a));
    }
    unsigned retries = 0;
    for (;;) {
      archive_entry* entry = nullptr;
      const int status = archive_read_next_header(a, &entry);
      if (status == ARCHIVE_EOF) return true;
      if (status == ARCHIVE_FATAL) return unreadable(name, archive_message(a));
      if (status == ARCHIVE_RETRY) {
        // One item for a run of damaged headers, not one per block.
        if (++retries == 1 && !unreadable(name, archive_message(a))) return false;
        if (retries == kMaxRetries) return true;
        continue;
      }
      retries = 0;
      const auto type = archive_entry_filetype(entry);
      // A hard link's data is its target's, read already. A header that
      // failed may not have got as far as the type.
      const bool regular = type == AE_IFREG || (status == ARCHIVE_FAILED && type == 0);
      if (!regular || archive_entry_hardlink(entry) != nullptr) continue;
      const char* path = archive_entry_pathname(entry);
      if (path == nullptr) path = archive_entry_pathname_utf8(entry);
      const std::string member = name + ':' + (path != nullptr ? path : "");
      if (status == ARCHIVE_FAILED) {
        // The header was read but its data cannot be; the next one may.
        if (!unreadable(member, archive_message(a))) return false;
        continue;
      }
      bool fatal = false;
      if (!member_data(a, member, fatal)) return false;
      if (fatal) return true;
    }
  }

  // Reads at most kReadLimit bytes; the next header skips the rest.
  bool member_data(archive* a, const std::string& member, bool& fatal) {
    std::size_t size = 0;
    while (size < kReadLimit) {
      const la_ssize_t n = archive_read_data(a, buffer_.get() + size, kReadLimit - size);
      if (n == 0) break;
      if (n < 0) {
        // After a fatal error libarchive reads nothing more: the item that
        // names it is the last.
        fatal = n == ARCHIVE_FATAL;
        return emit(member, size, archive_message(a));
      }
      size += static_cast<std::size_t>(n);
    }
    return read_so_far(member, size);
  }

  const ItemSink& each_;
  std::unique_ptr<char[]> buffer_;
  Item item_;
};

}  // namespace

bool read_memory(const std::string& name, std::string_view bytes, const ItemSink& each) {
  Inputs reader(each);
  return reader.memory(name, bytes);
}

bool read_inputs(const std::vector<std::string>& inputs, const ItemSink& each) {
  Inputs reader(each);
  return std::all_of(inputs.begin(), inputs.end(),
                     [&reader](const std::string& name) { return reader.input(name); });
}

}  // namespace zavro::registry
