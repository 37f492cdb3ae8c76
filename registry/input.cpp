#include "registry/input.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "reader/reader.hpp"
#include "registry/loaded.hpp"
#include "registry/mail.hpp"
#include "registry/mailbox.hpp"

namespace zavro::registry {
namespace {

// libarchive, loaded on the first archive read (registry/loaded.hpp): most
// commands read none, and it pulls in a dozen libraries (ICU among them).
// clang-format off
#define ZAVRO_LIBARCHIVE(X) \
  X(archive_read_free) \
  X(archive_error_string) \
  X(archive_set_error) \
  X(archive_read_new) \
  X(archive_read_support_format_zip_streamable) \
  X(archive_read_support_filter_gzip) \
  X(archive_read_support_format_tar) \
  X(archive_read_open) \
  X(archive_read_next_header) \
  X(archive_entry_size_is_set) \
  X(archive_entry_size) \
  X(archive_filter_bytes) \
  X(archive_entry_filetype) \
  X(archive_entry_hardlink) \
  X(archive_entry_pathname_utf8) \
  X(archive_entry_pathname) \
  X(archive_read_data)
// clang-format on

struct LibArchive {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument names a member
#define ZAVRO_LIBARCHIVE_FIELD(name) decltype(&::name) name = nullptr;
  ZAVRO_LIBARCHIVE(ZAVRO_LIBARCHIVE_FIELD)
#undef ZAVRO_LIBARCHIVE_FIELD
};

const LibArchive& la() {
  static const LibArchive loaded = [] {
    constexpr const char* kSoname = "libarchive.so.13";
    void* const library = open_library(kSoname);
    LibArchive table;
#define ZAVRO_LIBARCHIVE_LOAD(name) \
  table.name = reinterpret_cast<decltype(table.name)>(library_symbol(library, kSoname, #name));
    ZAVRO_LIBARCHIVE(ZAVRO_LIBARCHIVE_LOAD)
#undef ZAVRO_LIBARCHIVE_LOAD
    return table;
  }();
  return loaded;
}

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
  void operator()(archive* a) const { la().archive_read_free(a); }
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

// In the archive's own words when it is ours (a limit, a read error, the xz
// decoder); otherwise libarchive's message is not passed on: it may name
// internals, and reasons are shown to whoever sent the archive.
std::string archive_message(archive* a) {
  const char* text = la().archive_error_string(a);
  const std::string_view message = text != nullptr ? text : "";
  if (message.rfind("zavro: ", 0) == 0) {
    return std::string(message.substr(7));
  }
  if (message.find("runcated") != std::string_view::npos) return "archive cut short";
  return "damaged archive";
}

// Sets an error of our own wording on a (see archive_message).
void own_error(archive* a, const std::string& reason) {
  la().archive_set_error(a, EINVAL, "zavro: %s", reason.c_str());
}

std::string join(const std::string& directory, const char* name) {
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  return path += name;
}

std::chrono::nanoseconds thread_cpu() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// What libarchive reads an archive from: a file or memory, .tar.xz through
// liblzma here (libarchive's own xz reader lets a stream's header ask for
// up to 1 GiB), the CPU budget checked each time it asks for more.
class Source {
 public:
  Source(int fd, std::string_view memory, bool xz, const ArchiveLimits& limits)
      : fd_(fd),
        memory_(memory),
        xz_(xz),
        limits_(limits),
        started_(limits.cpu != std::chrono::nanoseconds::max() ? thread_cpu()
                                                               : std::chrono::nanoseconds()) {}
  ~Source() {
    if (xz_) lzma_end(&stream_);
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  static la_ssize_t read(archive* a, void* self, const void** buffer) {
    return static_cast<Source*>(self)->next(a, buffer);
  }
  // Set when a limit stopped the reading: the archive is refused.
  const std::optional<std::string>& refusal() const { return refusal_; }
  std::uint64_t decoded() const { return decoded_; }

  // The refusal's reason when the archive is past its budget.
  std::optional<std::string> over_budget() const {
    // The clock is a system call: not asked when there is no budget.
    if (limits_.cpu != std::chrono::nanoseconds::max() && thread_cpu() - started_ > limits_.cpu) {
      return "took more than " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits_.cpu).count()) +
             " s of CPU to unpack";
    }
    return std::nullopt;
  }
  void refuse(archive* a, std::string reason) {
    own_error(a, reason);
    refusal_ = std::move(reason);
  }

 private:
  la_ssize_t next(archive* a, const void** buffer) {
    if (auto reason = over_budget()) {
      refuse(a, std::move(*reason));
      return ARCHIVE_FATAL;
    }
    if (!xz_) {
      const char* data = nullptr;
      const la_ssize_t n = raw(a, &data);
      *buffer = data;
      return n;
    }
    return unxz(a, buffer);
  }

  // The next bytes as stored; 0 at the end.
  la_ssize_t raw(archive* a, const char** data) {
    if (fd_ < 0) {
      const std::size_t n = std::min(memory_.size(), kArchiveBlock);
      *data = memory_.data();
      memory_.remove_prefix(n);
      return static_cast<la_ssize_t>(n);
    }
    if (!in_) in_ = std::make_unique<char[]>(kArchiveBlock);
    for (;;) {
      const ssize_t n = ::read(fd_, in_.get(), kArchiveBlock);
      if (n >= 0) {
        *data = in_.get();
        return n;
      }
      if (errno != EINTR) {
        own_error(a, read_error(errno));
        return ARCHIVE_FATAL;
      }
    }
  }

  la_ssize_t unxz(archive* a, const void** buffer) {
    if (!out_) {
      out_ = std::make_unique<std::uint8_t[]>(kArchiveBlock);
      if (lzma_stream_decoder(&stream_, limits_.xz_memory, LZMA_CONCATENATED) != LZMA_OK) {
        own_error(a, "out of memory");
        return ARCHIVE_FATAL;
      }
    }
    stream_.next_out = out_.get();
    stream_.avail_out = kArchiveBlock;
    while (stream_.avail_out == kArchiveBlock) {
      if (stream_.avail_in == 0 && !input_ended_) {
        const char* data = nullptr;
        const la_ssize_t n = raw(a, &data);
        if (n < 0) return n;
        input_ended_ = n == 0;
        stream_.next_in = reinterpret_cast<const std::uint8_t*>(data);
        stream_.avail_in = static_cast<std::size_t>(n);
      }
      const lzma_ret ret = lzma_code(&stream_, input_ended_ ? LZMA_FINISH : LZMA_RUN);
      if (ret == LZMA_STREAM_END) break;
      if (ret == LZMA_OK) continue;
      if (ret == LZMA_MEMLIMIT_ERROR) {
        refuse(a, "its xz dictionary needs more than " +
                      std::to_string((limits_.xz_memory >> 20) - 1) + " MiB of memory");
      } else {
        own_error(a, ret == LZMA_BUF_ERROR ? "archive cut short" : "damaged archive");
      }
      return ARCHIVE_FATAL;
    }
    const std::size_t n = kArchiveBlock - stream_.avail_out;
    decoded_ += n;
    if (decoded_ > limits_.unpacked) {
      refuse(a, "unpacks to more than " + std::to_string(limits_.unpacked) + " bytes");
      return ARCHIVE_FATAL;
    }
    *buffer = out_.get();
    return static_cast<la_ssize_t>(n);
  }

  int fd_;
  std::string_view memory_;
  bool xz_;
  const ArchiveLimits& limits_;
  std::chrono::nanoseconds started_;
  std::optional<std::string> refusal_;
  std::unique_ptr<char[]> in_;
  std::unique_ptr<std::uint8_t[]> out_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool input_ended_ = false;
  std::uint64_t decoded_ = 0;
};

class Inputs {
 public:
  Inputs(const ItemSink& each, const RefusalSink& refused, const ReadOptions& options)
      : each_(each), refused_(refused), options_(options), buffer_(new char[kReadLimit]) {}

  bool input(const std::string& name) {
    if (name == "-") return file(name, STDIN_FILENO);
    // Opened before looking at it, so what is read is what was looked at;
    // non-blocking, so a pipe named by mistake cannot hang the open.
    Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return refuse(name, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return refuse(name, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) {
      if (is_maildir(fd.get())) return read_maildir(name, fd.get(), options_.max_message, each_);
      char* real = ::realpath(name.c_str(), nullptr);
      root_ = real != nullptr ? real : name;
      std::free(real);  // NOLINT(cppcoreguidelines-no-malloc): realpath's
      return directory(name, fd.release());
    }
    if (S_ISFIFO(st.st_mode)) {
      // A pipe named on purpose: opened again to wait for its writer, as
      // reading standard input would.
      Fd pipe(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
      if (pipe.get() < 0) return refuse(name, std::strerror(errno));
      return file(name, pipe.get());
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const Format format = format_of(name);
    if (format != Format::kNone) return archive_members(name, fd.get(), {}, format);
    if (const auto mail = read_mail_file(name, fd.get(), options_.max_message, each_)) {
      return *mail;
    }
    return file(name, fd.get());
  }

  // A report or an archive already in memory (a request's body), told apart
  // by its first bytes since there is no file name to go by.
  bool memory(const std::string& name, std::string_view bytes) {
    const Format format = format_of_bytes(bytes);
    if (format != Format::kNone) return archive_members(name, -1, bytes, format);
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
  // Reading goes on with the next input.
  bool refuse(const std::string& name, std::string reason, bool limit = false) {
    if (refused_) refused_({name, std::move(reason), limit});
    return true;
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

  // Where a link in the directory leads, opened, when it may be followed:
  // to a file inside the directory given, or anywhere with follow_symlinks.
  // -1 when it is not followed (errno 0: silently, a link to a directory or
  // to nothing).
  int follow(int dir, const char* name, const std::string& path) {
    if (options_.follow_symlinks) {
      return ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
      errno = 0;
      return -1;
    }
    const std::string target = real;
    std::free(real);  // NOLINT(cppcoreguidelines-no-malloc): realpath's
    const std::string inside = root_.back() == '/' ? root_ : root_ + '/';
    if (target.compare(0, inside.size(), inside) != 0) {
      refuse(path, "a link to outside the directory, not followed (--follow-symlinks follows it)");
      errno = 0;
      return -1;
    }
    // The target itself, as resolved: a link put in its place since is not followed.
    return ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  }

  // Children are ordered by name, a directory's as name + "/": walking them
  // depth first in that order gives the byte order of the full paths (with
  // "a-c" before "a/b") while holding one directory's listing per level.
  // Each child is opened relative to its directory, never following a link
  // put in place of a file or directory since the listing.
  bool directory(const std::string& path, int owned) {
    struct Entry {
      std::string key;
      enum { kFile, kDirectory, kLink } type = kFile;
    };
    const Fd dir_fd(owned);
    std::vector<Entry> entries;
    int list_error = 0;
    {
      const int listing = ::dup(dir_fd.get());
      const std::unique_ptr<DIR, DirCloser> dir(listing < 0 ? nullptr : ::fdopendir(listing));
      if (!dir) {
        const int error = errno;
        if (listing >= 0) ::close(listing);
        return refuse(path, std::strerror(error));
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
        // An entry that cannot be looked at is kept as a file, so that
        // opening it names the cause.
        if (::fstatat(dir_fd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
          if (S_ISDIR(st.st_mode)) {
            entries.push_back({std::string(name) + '/', Entry::kDirectory});
            continue;
          }
          if (S_ISLNK(st.st_mode)) {
            entries.push_back({std::string(name), Entry::kLink});
            continue;
          }
          if (!S_ISREG(st.st_mode)) continue;
        }
        entries.push_back({std::string(name), Entry::kFile});
      }
    }
    if (list_error != 0 && !unreadable(path, read_error(list_error))) return false;
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    for (Entry& entry : entries) {
      if (entry.type == Entry::kDirectory) entry.key.pop_back();
      const std::string name =
          std::move(entry.key);  // the rest of this level is all that stays held
      const std::string child = join(path, name.c_str());
      if (entry.type == Entry::kDirectory) {
        const int sub =
            ::openat(dir_fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
        if (sub < 0) {
          refuse(child, std::strerror(errno));
          continue;
        }
        if (!directory(child, sub)) return false;
        continue;
      }
      // Non-blocking: a file swapped for a pipe since the listing must not hang.
      const Fd fd_child(entry.type == Entry::kLink
                            ? follow(dir_fd.get(), name.c_str(), child)
                            : ::openat(dir_fd.get(), name.c_str(),
                                       O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
      struct stat st {};
      if (fd_child.get() < 0 || ::fstat(fd_child.get(), &st) != 0) {
        if (errno != 0) refuse(child, std::strerror(errno));
        continue;
      }
      if (!S_ISREG(st.st_mode)) continue;
      if (!file(child, fd_child.get())) return false;
    }
    return true;
  }

  // fd: the archive's file; -1 to read memory instead.
  bool archive_members(const std::string& name, int fd, std::string_view memory, Format format) {
    const std::unique_ptr<archive, ArchiveFree> owned(la().archive_read_new());
    archive* a = owned.get();
    if (a == nullptr) return unreadable(name, "out of memory");
    switch (format) {
      case Format::kZip:
        // The streamable reader goes by the local headers; the seeking one
        // would hold the whole central directory.
        la().archive_read_support_format_zip_streamable(a);
        break;
      case Format::kTarGz:
        la().archive_read_support_filter_gzip(a);
        la().archive_read_support_format_tar(a);
        break;
      case Format::kTarXz:  // unpacked by Source
      case Format::kTar:
      case Format::kNone:
        la().archive_read_support_format_tar(a);
        break;
    }
    const ArchiveLimits& limits = options_.limits;
    Source source(fd, memory, format == Format::kTarXz, limits);
    if (la().archive_read_open(a, &source, nullptr, Source::read, nullptr) != ARCHIVE_OK) {
      if (source.refusal()) return refuse(name, *source.refusal(), true);
      return unreadable(name, archive_message(a));
    }
    unsigned retries = 0;
    std::uint64_t members = 0;
    std::uint64_t declared = 0;
    std::uint64_t read = 0;  // member bytes unpacked here
    for (;;) {
      archive_entry* entry = nullptr;
      const int status = la().archive_read_next_header(a, &entry);
      if (source.refusal()) return refuse(name, *source.refusal(), true);
      if (status == ARCHIVE_EOF) return true;
      if (status == ARCHIVE_FATAL) return unreadable(name, archive_message(a));
      if (status == ARCHIVE_RETRY) {
        // One item for a run of damaged headers, not one per block.
        if (++retries == 1 && !unreadable(name, archive_message(a))) return false;
        if (retries == kMaxRetries) return true;
        continue;
      }
      retries = 0;
      // Every member counts, and what it says it holds counts before a byte
      // of it is unpacked: skipping it would unpack it all the same.
      if (la().archive_entry_size_is_set(entry) != 0 && la().archive_entry_size(entry) > 0) {
        declared += static_cast<std::uint64_t>(la().archive_entry_size(entry));
      }
      const auto unpacked = std::max({declared, read, source.decoded(),
                                      static_cast<std::uint64_t>(la().archive_filter_bytes(a, 0))});
      if (++members > limits.members) {
        return refuse(name, "holds more than " + std::to_string(limits.members) + " members", true);
      }
      if (unpacked > limits.unpacked) {
        return refuse(name, "unpacks to more than " + std::to_string(limits.unpacked) + " bytes",
                      true);
      }
      if (auto reason = source.over_budget()) return refuse(name, *reason, true);
      const auto type = la().archive_entry_filetype(entry);
      // A hard link's data is its target's, read already. A header that
      // failed may not have got as far as the type.
      const bool regular = type == AE_IFREG || (status == ARCHIVE_FAILED && type == 0);
      if (!regular || la().archive_entry_hardlink(entry) != nullptr) continue;
      const char* path = la().archive_entry_pathname(entry);
      if (path == nullptr) path = la().archive_entry_pathname_utf8(entry);
      const std::string member = name + ':' + (path != nullptr ? path : "");
      if (status == ARCHIVE_FAILED) {
        // The header was read but its data cannot be; the next one may.
        if (!unreadable(member, archive_message(a))) return false;
        continue;
      }
      bool fatal = false;
      std::optional<std::string> refusal;
      if (!member_data(a, member, fatal, source, read, refusal)) return false;
      if (source.refusal()) return refuse(name, *source.refusal(), true);
      if (refusal) return refuse(name, *refusal, true);
      if (fatal) return true;
    }
  }

  // Reads at most kReadLimit bytes. The rest is left to the next header to
  // skip, or, under a budget, read here and counted: skipping a member whose
  // size its header does not give (a zip's with a data descriptor) unpacks it
  // all the same, and only reading it shows how much that is.
  bool member_data(archive* a, const std::string& member, bool& fatal, Source& source,
                   std::uint64_t& unpacked, std::optional<std::string>& refusal) {
    std::size_t size = 0;
    while (size < kReadLimit) {
      const la_ssize_t n = la().archive_read_data(a, buffer_.get() + size, kReadLimit - size);
      if (n == 0) break;
      if (n < 0) {
        // After a fatal error libarchive reads nothing more: the item that
        // names it is the last.
        fatal = n == ARCHIVE_FATAL;
        return emit(member, size, archive_message(a));
      }
      size += static_cast<std::size_t>(n);
    }
    unpacked += size;
    const ArchiveLimits& limits = options_.limits;
    const bool budget =
        limits.unpacked != UINT64_MAX || limits.cpu != std::chrono::nanoseconds::max();
    if (size == kReadLimit && budget) {
      if (!scratch_) scratch_ = std::make_unique<char[]>(kArchiveBlock);
      for (;;) {
        const la_ssize_t n = la().archive_read_data(a, scratch_.get(), kArchiveBlock);
        if (n <= 0) {
          fatal = n == ARCHIVE_FATAL;
          if (n < 0) return emit(member, size, archive_message(a));
          break;
        }
        unpacked += static_cast<std::uint64_t>(n);
        if (unpacked > limits.unpacked) {
          refusal = "unpacks to more than " + std::to_string(limits.unpacked) + " bytes";
          return true;
        }
        if ((refusal = source.over_budget())) return true;
      }
    }
    return read_so_far(member, size);
  }

  const ItemSink& each_;
  const RefusalSink& refused_;
  ReadOptions options_;
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<char[]> scratch_;  // what is read of a member past kReadLimit, counted only
  Item item_;
  std::string root_;  // the directory input being walked, resolved
};

}  // namespace

bool read_memory(const std::string& name, std::string_view bytes, const ItemSink& each,
                 const RefusalSink& refused, const ArchiveLimits& limits) {
  if (looks_like_message(bytes)) return read_message(name, bytes, each, limits);
  ReadOptions options;
  options.limits = limits;
  Inputs reader(each, refused, options);
  return reader.memory(name, bytes);
}

std::optional<bool> read_archive_memory(const std::string& name, std::string_view bytes,
                                        const ItemSink& each, const ArchiveLimits& limits) {
  if (format_of_bytes(bytes) == Format::kNone) return std::nullopt;
  ReadOptions options;
  options.limits = limits;
  Inputs reader(each, {}, options);
  return reader.memory(name, bytes);
}

bool read_inputs(const std::vector<std::string>& inputs, const ItemSink& each,
                 const RefusalSink& refused, const ReadOptions& options) {
  Inputs reader(each, refused, options);
  return std::all_of(inputs.begin(), inputs.end(),
                     [&reader](const std::string& name) { return reader.input(name); });
}

}  // namespace zavro::registry
