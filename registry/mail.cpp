#include "registry/mail.hpp"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "registry/loaded.hpp"

namespace zavro::registry {
namespace {

// GMime, loaded on the first message read (registry/loaded.hpp): most
// commands read no mail, and it pulls in some twenty libraries (GLib's,
// GnuTLS, GPGME). Its GLib functions are found through its handle too.
// clang-format off
#define ZAVRO_GMIME(X) \
  X(g_ascii_strcasecmp) \
  X(g_byte_array_append) \
  X(g_byte_array_free) \
  X(g_byte_array_new) \
  X(g_byte_array_set_size) \
  X(g_date_time_to_unix) \
  X(g_date_time_unref) \
  X(g_free) \
  X(g_mime_data_wrapper_get_encoding) \
  X(g_mime_data_wrapper_get_stream) \
  X(g_mime_encoding_flush) \
  X(g_mime_encoding_init_decode) \
  X(g_mime_encoding_outlen) \
  X(g_mime_encoding_step) \
  X(g_mime_header_get_name) \
  X(g_mime_header_get_raw_value) \
  X(g_mime_header_get_value) \
  X(g_mime_header_list_get_count) \
  X(g_mime_header_list_get_header_at) \
  X(g_mime_init) \
  X(g_mime_message_get_date) \
  X(g_mime_message_get_from) \
  X(g_mime_message_get_message_id) \
  X(g_mime_message_get_mime_part) \
  X(g_mime_message_get_sender) \
  X(g_mime_message_get_subject) \
  X(g_mime_message_part_get_message) \
  X(g_mime_message_part_get_type) \
  X(g_mime_multipart_get_count) \
  X(g_mime_multipart_get_part) \
  X(g_mime_multipart_get_type) \
  X(g_mime_object_get_content_disposition_parameter) \
  X(g_mime_object_get_content_type_parameter) \
  X(g_mime_object_get_header_list) \
  X(g_mime_parser_construct_message) \
  X(g_mime_parser_construct_part) \
  X(g_mime_parser_init_with_stream) \
  X(g_mime_parser_new) \
  X(g_mime_parser_new_with_stream) \
  X(g_mime_parser_options_free) \
  X(g_mime_parser_options_new) \
  X(g_mime_parser_set_format) \
  X(g_mime_parser_set_persist_stream) \
  X(g_mime_part_get_content) \
  X(g_mime_part_get_filename) \
  X(g_mime_part_get_type) \
  X(g_mime_stream_mem_new_with_buffer) \
  X(g_mime_stream_mem_new_with_byte_array) \
  X(g_mime_stream_mem_set_owner) \
  X(g_mime_stream_read) \
  X(g_mime_stream_reset) \
  X(g_mime_stream_set_bounds) \
  X(g_mime_utils_decode_message_id) \
  X(g_mime_utils_header_decode_date) \
  X(g_mime_utils_header_decode_text) \
  X(g_mime_utils_header_unfold) \
  X(g_object_unref) \
  X(g_type_check_instance_is_a) \
  X(internet_address_group_get_members) \
  X(internet_address_group_get_type) \
  X(internet_address_list_get_address) \
  X(internet_address_list_length) \
  X(internet_address_list_parse) \
  X(internet_address_mailbox_get_addr) \
  X(internet_address_mailbox_get_type)
// clang-format on

struct GMime {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument names a member
#define ZAVRO_GMIME_FIELD(name) decltype(&::name) name = nullptr;
  ZAVRO_GMIME(ZAVRO_GMIME_FIELD)
#undef ZAVRO_GMIME_FIELD
};

const GMime& gm() {
  static const GMime loaded = [] {
    constexpr const char* kSoname = "libgmime-3.0.so.0";
    void* const library = open_library(kSoname);
    GMime table;
#define ZAVRO_GMIME_LOAD(name) \
  table.name = reinterpret_cast<decltype(table.name)>(library_symbol(library, kSoname, #name));
    ZAVRO_GMIME(ZAVRO_GMIME_LOAD)
#undef ZAVRO_GMIME_LOAD
    return table;
  }();
  return loaded;
}

// GObject's type checks and casts without its macros, which call GLib
// directly: whether object is of the type getter names, and the cast.
struct PartKind {
  static GType type() { return gm().g_mime_part_get_type(); }
};
struct MultipartKind {
  static GType type() { return gm().g_mime_multipart_get_type(); }
};
struct MessagePartKind {
  static GType type() { return gm().g_mime_message_part_get_type(); }
};
struct MailboxKind {
  static GType type() { return gm().internet_address_mailbox_get_type(); }
};
struct GroupKind {
  static GType type() { return gm().internet_address_group_get_type(); }
};
template <typename Kind, typename T>
bool is_a(T* object) {
  return object != nullptr && gm().g_type_check_instance_is_a(
                                  reinterpret_cast<GTypeInstance*>(object), Kind::type()) != FALSE;
}
template <typename To, typename T>
To* as(T* object) {
  return reinterpret_cast<To*>(object);
}

using reader::kMaxFileSize;
constexpr std::size_t kReadLimit = kMaxFileSize + 1;
// An attachment's file name is only a label: a hostile one is cut here.
constexpr std::size_t kMaxNameBytes = 255;
// Each field of an origin: a header line holds at most 998 bytes.
constexpr std::size_t kMaxOriginBytes = 998;
// How much of the head looks_like_message reads.
constexpr std::size_t kSniffBytes = 16384;
// A part is read this much at a time while it is decoded.
constexpr std::size_t kDecodeBlock = 16384;
// GMime makes objects for every header field and every part: a message of
// many small ones costs far more than its size (a million empty parts in 7 MB
// took 1.3 GB and 8 s), so one with more is refused before it is parsed.
// Lines that look like header fields anywhere (attached messages have
// headers inside bodies), and lines that may be boundaries.
constexpr std::size_t kMaxFieldLines = 20000;
constexpr std::size_t kMaxBoundaryLines = 5000;
// Header fields are decoded whole (a subject of two million encoded words
// took 7 s, a From of two million addresses 37 s): one field, with its
// continuation lines, and all of them together are bounded.
constexpr std::size_t kMaxFieldBytes = std::size_t{64} << 10;
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;
// Up to this size a message's parts are copied out of its buffer as it is
// parsed: GMime then makes one stream for each part rather than two (a view
// of the buffer and one that measured it). A larger one's parts stay views,
// so that it is not held twice.
constexpr std::size_t kCopyPartsBelow = std::size_t{1} << 20;
// The tool's report file, whatever a mail program appended to its name.
constexpr std::string_view kReportName = "zavro_system_info";

struct Unref {
  void operator()(void* object) const { gm().g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

void init_gmime() {
  static std::once_flag once;
  std::call_once(once, [] { gm().g_mime_init(); });
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_folded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return fold(a) == fold(b); });
}

bool ends_folded(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         starts_folded(text.substr(text.size() - suffix.size()), suffix);
}

// Cut to at most max bytes, not inside a UTF-8 sequence.
std::string cut(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

std::string field(const char* text) {
  return text == nullptr ? std::string() : cut(text, kMaxOriginBytes);
}

// "From " at the very start: a postmark from an mbox, not a header field.
std::size_t postmark_end(std::string_view bytes) {
  if (bytes.substr(0, 5) != "From ") return 0;
  const std::size_t eol = bytes.find('\n');
  return eol == std::string_view::npos ? bytes.size() : eol + 1;
}

// Field names a message has and nothing else starts with.
constexpr std::array<std::string_view, 12> kMessageFields = {
    "from", "date",        "message-id", "mime-version", "subject",      "received",
    "to",   "return-path", "sender",     "delivered-to", "content-type", "reply-to"};

// The first mailbox of a list, groups included.
std::string first_address(InternetAddressList* list) {
  if (list == nullptr) return {};
  for (int i = 0; i < gm().internet_address_list_length(list); ++i) {
    InternetAddress* address = gm().internet_address_list_get_address(list, i);
    if (is_a<MailboxKind>(address)) {
      const char* addr =
          gm().internet_address_mailbox_get_addr(as<InternetAddressMailbox>(address));
      if (addr != nullptr && *addr != 0) return field(addr);
    } else if (is_a<GroupKind>(address)) {
      InternetAddressList* members =
          gm().internet_address_group_get_members(as<InternetAddressGroup>(address));
      // Groups do not nest in a valid header; one level is all that is looked at.
      for (int j = 0; members != nullptr && j < gm().internet_address_list_length(members); ++j) {
        InternetAddress* member = gm().internet_address_list_get_address(members, j);
        if (!is_a<MailboxKind>(member)) continue;
        const char* addr =
            gm().internet_address_mailbox_get_addr(as<InternetAddressMailbox>(member));
        if (addr != nullptr && *addr != 0) return field(addr);
      }
    }
  }
  return {};
}

// The first mailbox of a raw address field's value, as GMime parses it.
std::string first_address(GMimeParserOptions* options, const char* raw) {
  const Ref<InternetAddressList> list(gm().internet_address_list_parse(options, raw));
  return first_address(list.get());
}

MailOrigin origin_of(GMimeMessage* message) {
  MailOrigin origin;
  origin.sender = first_address(gm().g_mime_message_get_from(message));
  if (origin.sender.empty()) origin.sender = first_address(gm().g_mime_message_get_sender(message));
  origin.message_id = field(gm().g_mime_message_get_message_id(message));
  origin.subject = field(gm().g_mime_message_get_subject(message));
  if (GDateTime* date = gm().g_mime_message_get_date(message))
    origin.date = gm().g_date_time_to_unix(date);
  return origin;
}

// The same from the fields of a message read as a part, taken as GMime takes
// them for a message: the first mailbox of its From fields, all of them in
// order, else of its Sender fields; the last Subject and Message-ID; the
// last Date that has a value.
MailOrigin origin_of(GMimeObject* object, GMimeParserOptions* options) {
  GMimeHeaderList* fields = gm().g_mime_object_get_header_list(object);
  const int count = fields != nullptr ? gm().g_mime_header_list_get_count(fields) : 0;
  const auto field_at = [fields](int i) {
    return gm().g_mime_header_list_get_header_at(fields, i);
  };
  const auto named = [](GMimeHeader* header, const char* name) {
    const char* own = header != nullptr ? gm().g_mime_header_get_name(header) : nullptr;
    return own != nullptr && gm().g_ascii_strcasecmp(own, name) == 0;
  };
  const auto first_of = [&](const char* name) {
    for (int i = 0; i < count; ++i) {
      GMimeHeader* header = field_at(i);
      if (!named(header, name)) continue;
      const char* raw = gm().g_mime_header_get_raw_value(header);
      if (raw == nullptr) continue;
      std::string address = first_address(options, raw);
      if (!address.empty()) return address;
    }
    return std::string();
  };
  MailOrigin origin;
  origin.sender = first_of("From");
  if (origin.sender.empty()) origin.sender = first_of("Sender");
  GMimeHeader* subject = nullptr;
  GMimeHeader* id = nullptr;
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = field_at(i);
    if (named(header, "Subject")) subject = header;
    if (named(header, "Message-Id")) id = header;
  }
  if (subject != nullptr) origin.subject = field(gm().g_mime_header_get_value(subject));
  if (const char* value = id != nullptr ? gm().g_mime_header_get_value(id) : nullptr) {
    char* decoded = gm().g_mime_utils_decode_message_id(value);
    origin.message_id = field(decoded);
    gm().g_free(decoded);
  }
  for (int i = count; i-- > 0;) {
    GMimeHeader* header = field_at(i);
    const char* value = named(header, "Date") ? gm().g_mime_header_get_value(header) : nullptr;
    if (value == nullptr) continue;
    if (GDateTime* date = gm().g_mime_utils_header_decode_date(value)) {
      origin.date = gm().g_date_time_to_unix(date);
      gm().g_date_time_unref(date);
    }
    break;
  }
  return origin;
}

// A header field of a message's head, as GMime takes it: its name, and its
// raw value from after the colon through its last line break.
struct HeadField {
  std::string_view name;
  std::string_view raw;
  std::string_view lines;  // the whole field
};

// The head of bytes, from start, split into its fields when it is plain:
// every line a field ("Name:", a name of printable ASCII) or the continuation
// of one, no control byte but tabs, "\n" or "\r\n" line breaks, and a blank
// line that ends it. There GMime splits it the same way. The offset of that
// blank line, or nothing for any other head, which is left to GMime.
std::optional<std::size_t> split_head(std::string_view bytes, std::size_t start,
                                      std::vector<HeadField>& fields) {
  fields.clear();
  for (std::size_t at = start; at < bytes.size();) {
    const std::size_t eol = bytes.find('\n', at);
    if (eol == std::string_view::npos) return std::nullopt;
    std::string_view line = bytes.substr(at, eol - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return fields.empty() ? std::nullopt : std::optional<std::size_t>(at);
    if (!std::all_of(line.begin(), line.end(), [](char c) {
          const auto byte = static_cast<unsigned char>(c);
          return byte == '\t' || (byte >= ' ' && byte != 0x7F);
        })) {
      return std::nullopt;
    }
    const std::size_t next = eol + 1;
    if (line[0] == ' ' || line[0] == '\t') {
      if (fields.empty()) return std::nullopt;
      HeadField& last = fields.back();
      const std::size_t from = static_cast<std::size_t>(last.lines.data() - bytes.data());
      const std::size_t value = static_cast<std::size_t>(last.raw.data() - bytes.data());
      last.lines = bytes.substr(from, next - from);
      last.raw = bytes.substr(value, next - value);
    } else {
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0 ||
          !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return c > ' ' && c < 127; })) {
        return std::nullopt;
      }
      fields.push_back({line.substr(0, colon), bytes.substr(at + colon + 1, next - at - colon - 1),
                        bytes.substr(at, next - at)});
    }
    at = next;
  }
  return std::nullopt;
}

bool is_content_field(std::string_view name) { return starts_folded(name, "content-"); }

// A field's value when it is one line of printable ASCII and tabs without
// an encoded word: GMime's value of it is then that line without the blanks
// around it (unfolding and RFC 2047 decoding change nothing else), and the
// value is taken so, not through three allocations and a token list.
std::optional<std::string_view> plain_value(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\t' && (c < ' ' || c > '~')) return std::nullopt;
    if (c == '=' && i + 1 < raw.size() && raw[i + 1] == '?') return std::nullopt;
  }
  const std::size_t begin = raw.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return std::string_view();
  return raw.substr(begin, raw.find_last_not_of(" \t") + 1 - begin);
}

// A field's value as GMime gives it (unfolded, RFC 2047 decoded) into value.
// text: a buffer, kept from field to field.
void value_of(const HeadField& head_field, GMimeParserOptions* options, std::string& text,
              std::string& value) {
  if (const auto plain = plain_value(head_field.raw)) {
    value.assign(*plain);
    return;
  }
  text.assign(head_field.raw);
  char* unfolded = gm().g_mime_utils_header_unfold(text.c_str());
  char* decoded = gm().g_mime_utils_header_decode_text(options, unfolded);
  value.assign(decoded != nullptr ? decoded : "");
  gm().g_free(decoded);
  gm().g_free(unfolded);
}

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Letters, digits and also, in dot-separated runs.
bool dot_atom(std::string_view text, std::string_view also) {
  return !text.empty() && text.front() != '.' && text.back() != '.' &&
         text.find("..") == std::string_view::npos &&
         std::all_of(text.begin(), text.end(), [also](char c) {
           return is_alnum(c) || also.find(c) != std::string_view::npos;
         });
}

// The address of a plain value that is one plain mailbox, "a@b.c" or
// "Name <a@b.c>" (a name of letters, digits and blanks; letters, digits and
// "._+-" before the "@", letters, digits, "." and "-" after it, no IDN
// label): GMime reads such a value as that address, so it is taken without
// an address list and its mailbox, two GObjects. Nothing for any other.
std::optional<std::string_view> plain_mailbox(std::string_view value) {
  std::string_view address = value;
  if (!value.empty() && value.back() == '>') {
    const std::size_t open = value.find('<');
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view name = value.substr(0, open);
    if (!std::all_of(name.begin(), name.end(),
                     [](char c) { return is_alnum(c) || c == ' ' || c == '\t'; })) {
      return std::nullopt;
    }
    address = value.substr(open + 1, value.size() - open - 2);
  }
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view domain = address.substr(at + 1);
  if (!dot_atom(address.substr(0, at), "._+-") || !dot_atom(domain, ".-")) return std::nullopt;
  for (std::size_t i = 0; i + 4 <= domain.size(); ++i) {
    if (starts_folded(domain.substr(i), "xn--")) return std::nullopt;
  }
  return address;
}

bool digits(std::string_view text, int& out) {
  out = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return !text.empty();
}

// The time of a plain value that is a date as mail programs write it,
// "[Www, ]D Mmm YYYY HH:MM:SS +ZZZZ" with every part in range and a year
// from 1970: GMime reads it as that time, through a GDateTime, a GTimeZone
// and a formatted zone name, so it is taken directly. Nothing for any other.
std::optional<std::int64_t> plain_date(std::string_view value) {
  static constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu",
                                                            "Fri", "Sat", "Sun"};
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static constexpr std::array<int, 12> kLengths = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (value.size() > 5 && value[3] == ',' && value[4] == ' ') {
    if (std::find(kDays.begin(), kDays.end(), value.substr(0, 3)) == kDays.end()) {
      return std::nullopt;
    }
    value.remove_prefix(5);
  }
  const std::size_t space = value.find(' ');
  int mday = 0;
  if (space == std::string_view::npos || space > 2 || !digits(value.substr(0, space), mday)) {
    return std::nullopt;
  }
  value.remove_prefix(space + 1);  // "Mmm YYYY HH:MM:SS +ZZZZ"
  if (value.size() != 23 || value[3] != ' ' || value[8] != ' ' || value[11] != ':' ||
      value[14] != ':' || value[17] != ' ' || (value[18] != '+' && value[18] != '-')) {
    return std::nullopt;
  }
  const auto month_at = std::find(kMonths.begin(), kMonths.end(), value.substr(0, 3));
  int year = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int zone = 0;
  if (month_at == kMonths.end() || !digits(value.substr(4, 4), year) ||
      !digits(value.substr(9, 2), hour) || !digits(value.substr(12, 2), minute) ||
      !digits(value.substr(15, 2), second) || !digits(value.substr(19, 4), zone)) {
    return std::nullopt;
  }
  const int month = static_cast<int>(month_at - kMonths.begin()) + 1;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int length = kLengths[static_cast<std::size_t>(month - 1)] + (month == 2 && leap ? 1 : 0);
  if (year < 1970 || mday < 1 || mday > length || hour > 23 || minute > 59 || second > 59 ||
      zone / 100 > 23 || zone % 100 > 59) {
    return std::nullopt;
  }
  // Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
  const int shifted = year - (month <= 2 ? 1 : 0);
  const int era = shifted / 400;
  const int year_of_era = shifted - era * 400;
  const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + mday - 1;
  const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const std::int64_t days = std::int64_t{era} * 146097 + day_of_era - 719468;
  const std::int64_t offset = std::int64_t{zone / 100} * 3600 + std::int64_t{zone % 100} * 60;
  return days * 86400 + std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second -
         (value[18] == '-' ? -offset : offset);
}

// The same as origin_of above from a plain head's fields, with GMime's
// decoders: the fields that are not the part's own ("Content-...") need not
// become GMime's objects, which cost more than the rest of a small message.
MailOrigin origin_of(const std::vector<HeadField>& fields, GMimeParserOptions* options) {
  const auto named = [](const HeadField& head_field, std::string_view name) {
    return head_field.name.size() == name.size() && starts_folded(head_field.name, name);
  };
  std::string text;
  std::string value;
  const auto first_of = [&](std::string_view name) {
    for (const HeadField& head_field : fields) {
      if (!named(head_field, name)) continue;
      if (const auto plain = plain_value(head_field.raw)) {
        if (const auto address = plain_mailbox(*plain)) return cut(*address, kMaxOriginBytes);
      }
      text.assign(head_field.raw);
      std::string address = first_address(options, text.c_str());
      if (!address.empty()) return address;
    }
    return std::string();
  };
  MailOrigin origin;
  origin.sender = first_of("from");
  if (origin.sender.empty()) origin.sender = first_of("sender");
  const HeadField* subject = nullptr;
  const HeadField* id = nullptr;
  const HeadField* date = nullptr;
  for (const HeadField& head_field : fields) {
    if (named(head_field, "subject")) subject = &head_field;
    if (named(head_field, "message-id")) id = &head_field;
    if (named(head_field, "date")) date = &head_field;
  }
  if (subject != nullptr) {
    value_of(*subject, options, text, value);
    origin.subject = field(value.c_str());
  }
  if (id != nullptr) {
    value_of(*id, options, text, value);
    char* decoded = gm().g_mime_utils_decode_message_id(value.c_str());
    origin.message_id = field(decoded);
    gm().g_free(decoded);
  }
  if (date != nullptr) {
    const auto plain = plain_value(date->raw);
    origin.date = plain ? plain_date(*plain) : std::nullopt;
    if (!origin.date) {
      value_of(*date, options, text, value);
      if (GDateTime* when = gm().g_mime_utils_header_decode_date(value.c_str())) {
        origin.date = gm().g_date_time_to_unix(when);
        gm().g_date_time_unref(when);
      }
    }
  }
  return origin;
}

// The file name a part was sent with (RFC 2231 and RFC 2047 decoded by
// GMime), or nothing.
const char* file_name_of(GMimeObject* object) {
  const char* name = nullptr;
  if (is_a<PartKind>(object)) name = gm().g_mime_part_get_filename(as<GMimePart>(object));
  if (name == nullptr)
    name = gm().g_mime_object_get_content_disposition_parameter(object, "filename");
  if (name == nullptr) name = gm().g_mime_object_get_content_type_parameter(object, "name");
  return name != nullptr && *name != 0 ? name : nullptr;
}

// Why a message is refused unparsed for holding too many fields or parts.
std::optional<std::string> too_complex(std::string_view bytes) {
  std::size_t fields = 0;
  std::size_t boundaries = 0;
  std::size_t field_bytes = 0;  // the field the line is part of
  std::size_t header_bytes = 0;
  bool in_field = false;
  for (std::size_t at = 0; at < bytes.size();) {
    const char* start = bytes.data() + at;
    const void* found = std::memchr(start, '\n', bytes.size() - at);
    const std::size_t length =
        found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - start)
                         : bytes.size() - at;
    const std::string_view line(start, length);
    at += length + 1;
    if (in_field && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      field_bytes += length + 1;
      header_bytes += length + 1;
    } else if (line.size() >= 2 && line[0] == '-' && line[1] == '-') {
      in_field = false;
      if (++boundaries > kMaxBoundaryLines) {
        return "message with more than " + std::to_string(kMaxBoundaryLines) + " parts";
      }
      continue;
    } else {
      const std::size_t colon = line.substr(0, 80).find(':');
      in_field = colon != std::string_view::npos && colon > 0 &&
                 std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                             [](char c) { return c > ' ' && c < 127; });
      if (!in_field) continue;
      if (++fields > kMaxFieldLines) {
        return "message with more than " + std::to_string(kMaxFieldLines) + " header fields";
      }
      field_bytes = length + 1;
      header_bytes += length + 1;
    }
    if (field_bytes > kMaxFieldBytes) {
      return "a header field longer than " + std::to_string(kMaxFieldBytes) + " bytes";
    }
    if (header_bytes > kMaxHeaderBytes) {
      return "header fields of more than " + std::to_string(kMaxHeaderBytes) + " bytes";
    }
  }
  return std::nullopt;
}

// A part is taken for a report when the reader sees a record begin in it
// (past "<Node>"), or when it carries the tool's file name: so a damaged
// report is kept and rejected, while a signature or a logo is not a report.
bool looks_like_report(std::string_view head) {
  const reader::Parsed parsed = reader::parse(head.substr(0, kMaxFileSize));
  return parsed.status != reader::Status::kMalformed || parsed.offset >= 6;
}

// Decodes part's content (base64, quoted-printable, uuencode or as it is)
// into out until it holds limit bytes or the content ends; true when it ended.
// block: kDecodeBlock bytes to read into, kept from part to part (one made
// for each part cost a heap consolidation each time, as much as its parse).
bool decode(GMimePart* part, std::string& out, std::size_t limit, char* block) {
  out.clear();
  GMimeDataWrapper* wrapper = gm().g_mime_part_get_content(part);
  GMimeStream* stream = wrapper != nullptr ? gm().g_mime_data_wrapper_get_stream(wrapper) : nullptr;
  if (stream == nullptr) return true;
  const GMimeContentEncoding encoding = gm().g_mime_data_wrapper_get_encoding(wrapper);
  const bool decoding = encoding == GMIME_CONTENT_ENCODING_BASE64 ||
                        encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
                        encoding == GMIME_CONTENT_ENCODING_UUENCODE;
  GMimeEncoding state{};
  if (decoding) gm().g_mime_encoding_init_decode(&state, encoding);
  gm().g_mime_stream_reset(stream);
  for (;;) {
    const ssize_t n = gm().g_mime_stream_read(stream, block, kDecodeBlock);
    const std::size_t in = n > 0 ? static_cast<std::size_t>(n) : 0;
    const std::size_t at = out.size();
    if (!decoding) {
      out.append(block, in);
    } else {
      out.resize(at + gm().g_mime_encoding_outlen(&state, in));
      const std::size_t made = n > 0 ? gm().g_mime_encoding_step(&state, block, in, &out[at])
                                     : gm().g_mime_encoding_flush(&state, block, 0, &out[at]);
      out.resize(at + made);
    }
    if (out.size() >= limit) {
      out.resize(limit);
      return false;
    }
    if (n <= 0) return true;
  }
}

}  // namespace

bool looks_like_message(std::string_view bytes) {
  bytes = bytes.substr(postmark_end(bytes));
  bytes = bytes.substr(0, kSniffBytes);
  std::size_t fields = 0;
  bool known = false;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t eol = bytes.find('\n', at);
    const bool last = eol == std::string_view::npos;
    if (last) eol = bytes.size();
    std::string_view line = bytes.substr(at, eol - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (fields == 0) return false;
    } else {
      const std::size_t colon = line.find(':');
      if (colon == 0 || colon == std::string_view::npos) return false;
      const std::string_view name = line.substr(0, colon);
      if (!std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127; })) {
        return false;
      }
      ++fields;
      known = known ||
              std::any_of(kMessageFields.begin(), kMessageFields.end(), [name](std::string_view f) {
                return name.size() == f.size() && starts_folded(name, f);
              });
    }
    if (last) break;
    at = eol + 1;
  }
  return fields > 0 && known;
}

struct MessageReader::State {
  State(ItemSink each_sink, std::size_t max, const ArchiveLimits& archive_limits)
      : each(std::move(each_sink)),
        max_message(max),
        buffer(gm().g_byte_array_new()),
        buffer_stream(gm().g_mime_stream_mem_new_with_byte_array(buffer)),
        lean(gm().g_byte_array_new()),
        lean_stream(gm().g_mime_stream_mem_new_with_byte_array(lean)),
        parser(gm().g_mime_parser_new()),
        options(gm().g_mime_parser_options_new()),
        limits(archive_limits) {
    gm().g_mime_stream_mem_set_owner(as<GMimeStreamMem>(buffer_stream.get()), FALSE);
    gm().g_mime_stream_mem_set_owner(as<GMimeStreamMem>(lean_stream.get()), FALSE);
    gm().g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  }
  ~State() {
    parser.reset();  // it holds buffer_stream or lean_stream, over buffer or lean
    buffer_stream.reset();
    lean_stream.reset();
    gm().g_byte_array_free(lean, TRUE);
    gm().g_mime_parser_options_free(options);
    gm().g_byte_array_free(buffer, TRUE);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // The message in bytes[0, size), or the head of one larger than max_message.
  bool read(const std::string& name, std::string_view bytes, bool oversized) {
    if (oversized) {
      const std::string head(bytes.substr(0, kReadLimit));
      origin = parse_origin(head);
      return emit(name, head, "message larger than " + std::to_string(max_message) + " bytes");
    }
    if (auto reason = too_complex(bytes)) {
      const std::string head(bytes.substr(0, kReadLimit));
      origin = parse_origin(head);
      return emit(name, head, std::move(reason));
    }
    auto message = parse(bytes, postmark_end(bytes));
    emitted = 0;
    if (!message) {
      origin.reset();
      return emit(name, bytes.substr(0, kReadLimit), "cannot be read as a mail message");
    }
    origin = std::move(message->origin);
    if (!walk_body(message->body, name, 0)) return false;
    if (emitted > 0) return true;
    return emit(name, bytes.substr(0, kReadLimit), kNoReport, true);
  }

  struct Message {
    Ref<void> owner;  // the body, or the message that holds it
    GMimeObject* body = nullptr;
    MailOrigin origin;
  };

  // Parses bytes from start, through buffer (copied there unless they are
  // all of it already): the message's body and origin, or nothing.
  std::optional<Message> parse(std::string_view bytes, std::size_t start) {
    if (bytes.data() != reinterpret_cast<const char*>(buffer->data) ||
        bytes.size() != buffer->len) {
      gm().g_byte_array_set_size(buffer, 0);
      gm().g_byte_array_append(buffer, reinterpret_cast<const guint8*>(bytes.data()),
                               static_cast<guint>(bytes.size()));
    }
    // Read as a part first: GMime then makes no message object, with its six
    // address lists and every To and Cc parsed (a seventh of its time on a
    // small message). A plain head is split here and GMime reads the part
    // with its Content- fields alone: each field it reads is a GObject and
    // its strings made and torn down, near a microsecond, a thirtieth of a
    // small message. A large message is left whole, not held twice.
    if (bytes.size() < kCopyPartsBelow) {
      if (const auto blank = split_head(bytes, start, fields)) {
        gm().g_byte_array_set_size(lean, 0);
        for (const HeadField& head_field : fields) {
          if (is_content_field(head_field.name)) append_to(lean, head_field.lines);
        }
        append_to(lean, bytes.substr(*blank));
        restart(lean_stream.get(), lean->len, 0);
        if (GMimeObject* part = gm().g_mime_parser_construct_part(parser.get(), options)) {
          return Message{Ref<void>(part), part, origin_of(fields, options)};
        }
      }
    }
    // Only a message may begin with a From line, which GMime skips there:
    // one that does is read again as a message.
    restart(buffer_stream.get(), bytes.size(), start);
    if (GMimeObject* part = gm().g_mime_parser_construct_part(parser.get(), options)) {
      return Message{Ref<void>(part), part, origin_of(part, options)};
    }
    restart(buffer_stream.get(), bytes.size(), start);
    GMimeMessage* whole = gm().g_mime_parser_construct_message(parser.get(), options);
    if (whole == nullptr) return std::nullopt;
    return Message{Ref<void>(whole), gm().g_mime_message_get_mime_part(whole), origin_of(whole)};
  }

  // The parser set to read stream, of size bytes, from start; through
  // streams kept for every message rather than one made for each.
  void restart(GMimeStream* stream, std::size_t bytes, std::size_t start) {
    gm().g_mime_stream_set_bounds(stream, static_cast<gint64>(start), -1);
    gm().g_mime_stream_reset(stream);
    gm().g_mime_parser_set_persist_stream(parser.get(), bytes >= kCopyPartsBelow);
    gm().g_mime_parser_init_with_stream(parser.get(), stream);
  }

  static void append_to(GByteArray* array, std::string_view bytes) {
    gm().g_byte_array_append(array, reinterpret_cast<const guint8*>(bytes.data()),
                             static_cast<guint>(bytes.size()));
  }

  std::optional<MailOrigin> parse_origin(std::string_view head) {
    auto message = parse(head, postmark_end(head));
    if (!message) return std::nullopt;
    return std::move(message->origin);
  }

  bool emit(const std::string& name, std::string_view bytes, std::optional<std::string> unreadable,
            bool no_report = false) {
    item.name = name;
    item.bytes.assign(bytes.data(), bytes.size());
    item.unreadable = std::move(unreadable);
    item.mail = origin;
    item.no_report = no_report;
    ++emitted;
    return each(item);
  }

  bool walk_message(GMimeMessage* message, const std::string& name, int depth) {
    return walk_body(gm().g_mime_message_get_mime_part(message), name, depth);
  }

  bool walk_body(GMimeObject* body, const std::string& name, int depth) {
    unsigned position = 0;
    return body == nullptr || walk(body, name, depth, position);
  }

  bool walk(GMimeObject* object, const std::string& message, int depth, unsigned& position) {
    if (is_a<MultipartKind>(object)) {
      GMimeMultipart* multipart = as<GMimeMultipart>(object);
      const int count = gm().g_mime_multipart_get_count(multipart);
      for (int i = 0; i < count; ++i) {
        if (!walk(gm().g_mime_multipart_get_part(multipart, i), message, depth, position))
          return false;
      }
      return true;
    }
    ++position;
    const char* file = file_name_of(object);
    const std::string name = file != nullptr ? message + ':' + cut(file, kMaxNameBytes)
                                             : message + '#' + std::to_string(position);
    if (is_a<MessagePartKind>(object)) {
      GMimeMessage* attached = gm().g_mime_message_part_get_message(as<GMimeMessagePart>(object));
      if (attached == nullptr) return true;
      if (depth >= kMaxAttachedDepth) return too_deep(name);
      return walk_message(attached, name, depth + 1);
    }
    if (!is_a<PartKind>(object)) return true;
    return part(as<GMimePart>(object), name, file, depth);
  }

  bool too_deep(const std::string& name) {
    return emit(
        name, {},
        "attached messages nested more than " + std::to_string(kMaxAttachedDepth) + " deep");
  }

  bool part(GMimePart* mime_part, const std::string& name, const char* file, int depth) {
    bool whole = decode(mime_part, content, kReadLimit, block.get());
    if (!whole) whole = decode(mime_part, content, max_message, block.get());
    const auto archive = read_archive_memory(
        name, content,
        [this](Item& member) {
          member.mail = origin;
          ++emitted;
          return each(member);
        },
        limits);
    if (archive) return *archive;
    const std::string_view head = std::string_view(content).substr(0, kReadLimit);
    if ((file != nullptr && starts_folded(file, kReportName)) || looks_like_report(head)) {
      std::optional<std::string> unreadable;
      if (head.size() > kMaxFileSize) {
        unreadable = "larger than " + std::to_string(kMaxFileSize) + " bytes";
      }
      return emit(name, head, std::move(unreadable));
    }
    // Some mail programs attach a message as a file rather than as message/rfc822.
    if (file != nullptr && ends_folded(file, ".eml") && looks_like_message(content)) {
      if (depth >= kMaxAttachedDepth) return too_deep(name);
      const std::string bytes = std::move(content);
      const Ref<GMimeStream> stream(
          gm().g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
      const Ref<GMimeParser> parser_of_file(gm().g_mime_parser_new_with_stream(stream.get()));
      const Ref<GMimeMessage> attached(
          gm().g_mime_parser_construct_message(parser_of_file.get(), options));
      return !attached || walk_message(attached.get(), name, depth + 1);
    }
    return true;
  }

  ItemSink each;  // a copy: a caller may hand a temporary
  std::size_t max_message;
  GByteArray* buffer;
  std::size_t size = 0;  // appended, kept or not
  Ref<GMimeStream> buffer_stream;
  // A small message with a plain head, its fields split into fields and only
  // its Content- fields kept in lean, with its body.
  std::vector<HeadField> fields;
  GByteArray* lean;
  Ref<GMimeStream> lean_stream;
  Ref<GMimeParser> parser;
  GMimeParserOptions* options;
  // What each archive attachment may cost.
  ArchiveLimits limits;
  std::string content;  // the part being looked at
  // Not zeroed: a block is read into before it is looked at, and clearing it
  // for each part cost a tenth of reading a small message.
  std::unique_ptr<char[]> block{new char[kDecodeBlock]};
  Item item;
  std::optional<MailOrigin> origin;
  std::size_t emitted = 0;  // items of the message being read
};

MessageReader::MessageReader(ItemSink each, std::size_t max_message, const ArchiveLimits& limits) {
  init_gmime();
  state_ = std::make_unique<State>(std::move(each), max_message, limits);
}
MessageReader::~MessageReader() = default;

void MessageReader::clear() {
  gm().g_byte_array_set_size(state_->buffer, 0);
  state_->size = 0;
}

void MessageReader::append(std::string_view bytes) {
  State& s = *state_;
  s.size += bytes.size();
  if (s.size > s.max_message) {
    // Only the head of a message too large is kept: its item's bytes.
    if (s.buffer->len < kReadLimit) {
      const std::size_t room = kReadLimit - s.buffer->len;
      gm().g_byte_array_append(s.buffer, reinterpret_cast<const guint8*>(bytes.data()),
                               static_cast<guint>(std::min(room, bytes.size())));
    } else if (s.buffer->len > kReadLimit) {
      gm().g_byte_array_set_size(s.buffer, kReadLimit);
    }
    return;
  }
  gm().g_byte_array_append(s.buffer, reinterpret_cast<const guint8*>(bytes.data()),
                           static_cast<guint>(bytes.size()));
}

void MessageReader::skip(std::size_t bytes) { state_->size += bytes; }

std::size_t MessageReader::size() const { return state_->size; }
bool MessageReader::over_limit() const { return state_->size > state_->max_message; }

bool MessageReader::read(const std::string& name) {
  State& s = *state_;
  const std::string_view bytes(reinterpret_cast<const char*>(s.buffer->data), s.buffer->len);
  return s.read(name, bytes, over_limit());
}

bool MessageReader::read(const std::string& name, std::string_view bytes) {
  return state_->read(name, bytes, bytes.size() > state_->max_message);
}

bool read_message(const std::string& name, std::string_view bytes, const ItemSink& each,
                  const ArchiveLimits& limits, std::size_t max_message) {
  MessageReader reader(each, max_message, limits);
  return reader.read(name, bytes);
}

}  // namespace zavro::registry
