#include "registry/mailbox.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "registry/mail.hpp"

namespace zavro::registry {
namespace {

// An mbox is read this much at a time; a longer line comes in pieces.
constexpr std::size_t kBlock = std::size_t{64} * 1024;

std::string read_error(int error) { return std::string("read error: ") + std::strerror(error); }

bool unreadable(const std::string& name, std::string reason, const ItemSink& each) {
  Item item;
  item.name = name;
  item.unreadable = std::move(reason);
  return each(item);
}

bool ends_folded(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  const std::string_view tail = name.substr(name.size() - suffix.size());
  return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

// A file's lines a block at a time: each piece is a whole line with its
// break, or part of one longer than the block (or the last, without a break).
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd), buffer_(new char[kBlock]) {}

  struct Piece {
    std::string_view bytes;  // valid until the next call
    bool starts_line = false;
    bool ends_line = false;
  };

  bool next(Piece& piece) {
    for (;;) {
      const char* data = buffer_.get();
      const void* found = std::memchr(data + begin_, '\n', end_ - begin_);
      if (found != nullptr) {
        const std::size_t length =
            static_cast<std::size_t>(static_cast<const char*>(found) - (data + begin_)) + 1;
        piece = {{data + begin_, length}, line_start_, true};
        begin_ += length;
        line_start_ = true;
        return true;
      }
      if (eof_ || (begin_ == 0 && end_ == kBlock)) {
        if (begin_ == end_) return false;
        piece = {{data + begin_, end_ - begin_}, line_start_, false};
        line_start_ = false;
        begin_ = end_ = 0;
        return true;
      }
      std::memmove(buffer_.get(), data + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
      const ssize_t n = ::read(fd_, buffer_.get() + end_, kBlock - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error_ = errno;
      if (n <= 0) {
        eof_ = true;
      } else {
        end_ += static_cast<std::size_t>(n);
      }
    }
  }

  int error() const { return error_; }

 private:
  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool line_start_ = true;
  int error_ = 0;
};

std::string_view without_break(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Splits an mbox (mboxrd or mboxo) into messages: a postmark at the start
// or after a blank line begins one; that blank line is the separator's, not
// the message's; ">From ", ">>From "... lose one ">" (mboxrd's quoting; in
// mboxo a ">From " line the sender wrote cannot be told from a quoted one).
bool read_mbox(const std::string& name, int fd, std::size_t max_message, const ItemSink& each) {
  MessageReader reader(each, max_message);
  Lines lines(fd);
  std::size_t position = 0;
  bool in_message = false;
  bool after_blank = true;  // the start of the file counts as one
  std::string held_blank;   // a blank line that may be the separator's
  const auto finish = [&] {
    return !in_message || reader.read(name + ':' + std::to_string(position));
  };
  Lines::Piece piece;
  while (lines.next(piece)) {
    std::string_view line = piece.bytes;
    if (!piece.starts_line) {
      reader.append(line);
      continue;
    }
    const std::string_view text = without_break(line);
    if (after_blank && piece.ends_line && is_postmark(text)) {
      if (!finish()) return false;
      reader.clear();
      held_blank.clear();
      in_message = true;
      ++position;
      after_blank = false;
      continue;
    }
    if (!in_message) {
      // Bytes before any postmark: a first message all the same.
      in_message = true;
      ++position;
      reader.clear();
    }
    reader.append(held_blank);
    held_blank.clear();
    after_blank = piece.ends_line && text.empty();
    if (after_blank) {
      held_blank.assign(line);
      continue;
    }
    if (line[0] == '>') {
      const std::size_t quotes = line.find_first_not_of('>');
      if (quotes != std::string_view::npos && line.substr(quotes, 5) == "From ") {
        line.remove_prefix(1);
      }
    }
    reader.append(line);
  }
  if (!finish()) return false;
  if (lines.error() != 0) return unreadable(name, read_error(lines.error()), each);
  return true;
}

// One message file, read until it ends or is known to be too large.
bool read_message_file(const std::string& name, const std::string& message, int fd,
                       MessageReader& reader, const ItemSink& each) {
  reader.clear();
  std::array<char, kBlock> block{};
  while (!reader.over_limit()) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return unreadable(name, read_error(errno), each);
    }
    reader.append({block.data(), static_cast<std::size_t>(n)});
  }
  return reader.read(message);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool is_directory_at(int dir_fd, const char* name) {
  struct stat st {};
  return ::fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool is_postmark(std::string_view line) {
  static constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu",
                                                            "Fri", "Sat", "Sun"};
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (line.substr(0, 5) != "From ") return false;
  std::vector<std::string_view> words;
  for (std::size_t at = 5; at < line.size() && words.size() < 16;) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  const auto digits = [](std::string_view word, std::size_t min, std::size_t max) {
    return word.size() >= min && word.size() <= max &&
           std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  const auto is_time = [&digits](std::string_view word) {
    const std::size_t colon = word.find(':');
    return colon != std::string_view::npos && digits(word.substr(0, colon), 1, 2) &&
           (digits(word.substr(colon + 1), 2, 2) ||
            (word.size() == colon + 6 && word[colon + 3] == ':' &&
             digits(word.substr(colon + 1, 2), 2, 2) && digits(word.substr(colon + 4), 2, 2)));
  };
  // After the sender (which may hold spaces when quoted): day, month, day of
  // the month, time, then the year within the next two words.
  for (std::size_t i = 1; i + 3 < words.size(); ++i) {
    if (std::find(kDays.begin(), kDays.end(), words[i]) == kDays.end() ||
        std::find(kMonths.begin(), kMonths.end(), words[i + 1]) == kMonths.end() ||
        !digits(words[i + 2], 1, 2) || !is_time(words[i + 3])) {
      continue;
    }
    for (std::size_t j = i + 4; j < words.size() && j < i + 6; ++j) {
      if (digits(words[j], 4, 4)) return true;
    }
  }
  return false;
}

bool is_maildir(int dir_fd) {
  return is_directory_at(dir_fd, "cur") && is_directory_at(dir_fd, "new");
}

bool read_maildir(const std::string& name, int dir_fd, std::size_t max_message,
                  const ItemSink& each) {
  MessageReader reader(each, max_message);
  for (const char* folder : {"cur", "new"}) {
    const std::string folder_name = name + (name.empty() || name.back() != '/' ? "/" : "") + folder;
    const int fd = ::openat(dir_fd, folder, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) {
      if (!unreadable(folder_name, std::strerror(errno), each)) return false;
      continue;
    }
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
      const int error = errno;
      ::close(fd);
      if (!unreadable(folder_name, std::strerror(error), each)) return false;
      continue;
    }
    // One folder's names are held to read them in order: delivery order, as
    // Maildir names begin with the time.
    std::vector<std::string> files;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0 && !unreadable(folder_name, read_error(errno), each)) return false;
        break;
      }
      if (entry->d_name[0] != '.') files.emplace_back(entry->d_name);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      std::string path = folder_name;
      path += '/';
      path += file;
      // Non-blocking: a file swapped for a pipe since the listing must not hang.
      const int message_fd =
          ::openat(::dirfd(dir.get()), file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      struct stat st {};
      if (message_fd < 0 || ::fstat(message_fd, &st) != 0) {
        const int error = errno;
        if (message_fd >= 0) ::close(message_fd);
        if (!unreadable(path, std::strerror(error), each)) return false;
        continue;
      }
      bool go_on = true;
      if (S_ISREG(st.st_mode)) {
        std::string message = name;
        message += ':';
        message += file;
        go_on = read_message_file(path, message, message_fd, reader, each);
      }
      ::close(message_fd);
      if (!go_on) return false;
    }
  }
  return true;
}

std::optional<bool> read_mail_file(const std::string& name, int fd, std::size_t max_message,
                                   const ItemSink& each) {
  if (ends_folded(name, ".eml")) {
    MessageReader reader(each, max_message);
    return read_message_file(name, name, fd, reader, each);
  }
  bool mbox = ends_folded(name, ".mbox");
  if (!mbox) {
    std::array<char, 5> head{};
    mbox = ::pread(fd, head.data(), head.size(), 0) == 5 &&
           std::string_view(head.data(), head.size()) == "From ";
  }
  if (!mbox) return std::nullopt;
  return read_mbox(name, fd, max_message, each);
}

}  // namespace zavro::registry
