// Mail as the registry reads it: messages written here from the suite's own
// reports (attachments in every encoding and naming, archives, attached and
// forwarded messages, none at all), and the mailboxes that hold them.
#include "registry/mail.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "registry/input.hpp"
#include "registry/mailbox.hpp"
#include "support/temp_dir.hpp"

namespace {

using zavro::reader::kMaxFileSize;
using zavro::registry::Item;
using zavro::registry::kNoReport;
using zavro::testing::TempDir;

std::string report(const std::string& name) {
  return "<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>" + name +
         "</MachineName><ProcessorCount>2</ProcessorCount><MacAddresses><M0>4A:77:50:68:E4:CA</M0>"
         "</MacAddresses><BiosSerial>" +
         name + "</BiosSerial><MotherboardSerial>Y1</MotherboardSerial></Node>";
}

std::string base64(const std::string& bytes) {
  static const char* const kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16U;
    if (i + 1 < bytes.size())
      v |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8U;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    if (out.size() % 78 == 76) out += "\r\n";
  }
  return out;
}

// Every byte but letters and digits as =XX, lines broken with soft breaks.
std::string quoted_printable(const std::string& bytes) {
  std::string out;
  std::size_t line = 0;
  for (const char c : bytes) {
    char code[4];
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) != 0;
    std::snprintf(code, sizeof code, "=%02X", static_cast<unsigned char>(c));
    const std::string piece = plain ? std::string(1, c) : code;
    if (line + piece.size() > 72) {
      out += "=\r\n";
      line = 0;
    }
    out += piece;
    line += piece.size();
  }
  return out;
}

std::string zip_of(const std::vector<std::pair<std::string, std::string>>& members) {
  std::vector<char> buffer(1 << 16);
  std::size_t used = 0;
  archive* a = archive_write_new();
  archive_write_set_format_zip(a);
  archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
  archive_entry* entry = archive_entry_new();
  for (const auto& [path, bytes] : members) {
    archive_entry_clear(entry);
    archive_entry_set_pathname(entry, path.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(bytes.size()));
    archive_write_header(a, entry);
    archive_write_data(a, bytes.data(), bytes.size());
  }
  archive_entry_free(entry);
  archive_write_close(a);
  archive_write_free(a);
  return {buffer.data(), used};
}

const std::string kHead =
    "From: Alice Example <alice@example.com>\r\nTo: desk@vendor.example\r\n"
    "Subject: =?UTF-8?Q?r=C3=A9port?=\r\nDate: Mon, 01 Jan 2024 10:00:00 +0000\r\n"
    "Message-ID: <m1@example.com>\r\nMIME-Version: 1.0\r\n";

// A multipart/mixed message of parts (each its headers, a blank line, its body).
std::string message(const std::vector<std::string>& parts, const std::string& head = kHead) {
  static int boundaries = 0;
  const std::string boundary = "b" + std::to_string(++boundaries);
  std::string text = head + "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
  for (const std::string& part : parts) {
    text += "--";
    text += boundary;
    text += "\r\n";
    text += part;
    text += "\r\n";
  }
  return text + "--" + boundary + "--\r\n";
}

std::string text_part(const std::string& text) {
  return "Content-Type: text/plain; charset=utf-8\r\n\r\n" + text;
}
// params follow "Content-Disposition: attachment" (empty: no file name).
std::string base64_part(const std::string& params, const std::string& bytes,
                        const std::string& type = "application/octet-stream") {
  return "Content-Type: " + type + "\r\nContent-Disposition: attachment" + params +
         "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(bytes);
}
std::string named(const std::string& file) { return "; filename=\"" + file + "\""; }
std::string attached(const std::string& inner, const std::string& params = "") {
  return "Content-Type: message/rfc822\r\nContent-Disposition: attachment" + params + "\r\n\r\n" +
         inner;
}
// A report depth messages deep, each attached nameless to the one above.
std::string chain(int depth) {
  std::string inner = message({text_part("deepest"), base64_part(named("r.txt"), report("deep"))});
  for (int i = 0; i < depth; ++i) inner = message({text_part("fwd"), attached(inner)});
  return inner;
}

struct Expected {
  std::string name;
  std::string bytes;
  std::optional<std::string> unreadable = std::nullopt;
};

std::vector<Item> read_all(const std::string& name, const std::string& bytes,
                           std::size_t max = zavro::registry::kDefaultMaxMessage) {
  std::vector<Item> items;
  EXPECT_TRUE(zavro::registry::read_message(
      name, bytes,
      [&items](Item& item) {
        items.push_back(item);
        return true;
      },
      {}, max));
  return items;
}

std::vector<Item> read_inputs(const std::vector<std::string>& inputs, std::size_t max) {
  std::vector<Item> items;
  zavro::registry::ReadOptions options;
  options.max_message = max;
  EXPECT_TRUE(zavro::registry::read_inputs(
      inputs,
      [&items](Item& item) {
        items.push_back(item);
        return true;
      },
      {}, options));
  return items;
}

std::string describe(const std::vector<Item>& items) {
  std::string text;
  for (const Item& item : items) {
    text += "\n  " + item.name + " (" + std::to_string(item.bytes.size()) + " bytes)";
    if (item.unreadable) text += ": " + *item.unreadable;
  }
  return text;
}

void expect_items(const std::vector<Item>& items, const std::vector<Expected>& expected) {
  ASSERT_EQ(items.size(), expected.size()) << describe(items);
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].name, expected[i].name);
    EXPECT_TRUE(items[i].bytes == expected[i].bytes)
        << items[i].name << ": " << items[i].bytes.substr(0, 200);
    EXPECT_EQ(items[i].unreadable, expected[i].unreadable) << items[i].name;
    EXPECT_FALSE(items[i].no_report) << items[i].name;
  }
}

// Where the reports of a message are found and what each is named.
TEST(MailMessage, ReportsAndTheirNames) {
  const std::string big = report("big") + std::string(kMaxFileSize, ' ');
  const std::string inner = message(
      {text_part("see attached"), base64_part(named("ZAVRO_system_info.txt"), report("a"))});
  struct Row {
    const char* what;
    std::string message;
    std::vector<Expected> expected;
  };
  const std::vector<Row> rows = {
      {"base64 attachment",
       message({text_part("hi"), base64_part(named("ZAVRO_system_info.txt"), report("a"))}),
       {{"m:ZAVRO_system_info.txt", report("a")}}},
      {"quoted-printable, RFC 2231 name",
       message({text_part("hi"),
                "Content-Type: text/plain\r\nContent-Disposition: attachment; "
                "filename*=UTF-8''rapport%20%C3%A9.txt\r\nContent-Transfer-Encoding: "
                "quoted-printable\r\n\r\n" +
                    quoted_printable(report("b"))}),
       {{"m:rapport \xc3\xa9.txt", report("b")}}},
      {"RFC 2231 continuations",
       message({base64_part("; filename*0*=UTF-8''r%C3%A9; filename*1=\".txt\"", report("c"))}),
       {{"m:r\xc3\xa9.txt", report("c")}}},
      {"RFC 2047 name",
       message({base64_part("", report("d"), "text/plain; name=\"=?UTF-8?B?w6kudHh0?=\"")}),
       {{"m:\xc3\xa9.txt", report("d")}}},
      {"no name: the position",
       message({text_part("hi"), base64_part("", report("e"))}),
       {{"m#2", report("e")}}},
      {"inline report",
       kHead + "Content-Type: text/plain\r\n\r\n" + report("f"),
       {{"m#1", report("f")}}},
      {"ZIP attachment",
       message({base64_part(named("r.zip"), zip_of({{"a.rec", report("a")}, {"b", "junk"}}))}),
       {{"m:r.zip:a.rec", report("a")}, {"m:r.zip:b", "junk"}}},
      {"attached message",
       message({text_part("fwd"), attached(inner, named("fwd.eml"))}),
       {{"m:fwd.eml:ZAVRO_system_info.txt", report("a")}}},
      {"re-forwarded, no names",
       message({text_part("fwd"), attached(message({text_part("fwd"), attached(inner)}))}),
       {{"m#2#2:ZAVRO_system_info.txt", report("a")}}},
      {"message attached as a file",
       message({base64_part(named("Fwd.EML"), inner, "application/octet-stream")}),
       {{"m:Fwd.EML:ZAVRO_system_info.txt", report("a")}}},
      {"eight deep", chain(8), {{"m#2#2#2#2#2#2#2#2:r.txt", report("deep")}}},
      {"nine deep: refused",
       chain(9),
       {{"m#2#2#2#2#2#2#2#2#2", "", "attached messages nested more than 8 deep"}}},
      {"damaged, by its name",
       message({base64_part(named("ZAVRO_system_info (1).txt"), "garbage")}),
       {{"m:ZAVRO_system_info (1).txt", "garbage"}}},
      {"too large",
       message({base64_part(named("r.txt"), big)}),
       {{"m:r.txt", big.substr(0, kMaxFileSize + 1), "larger than 65536 bytes"}}},
      {"signature and logo are no reports",
       message({text_part("-- \r\nAlice"), base64_part(named("logo.png"), "\x89PNG\r\n"),
                base64_part(named("r.txt"), report("g"))}),
       {{"m:r.txt", report("g")}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    expect_items(read_all("m", row.message), row.expected);
  }
}

// Every item keeps the origin of the message read from the mailbox, also
// what an attached message holds.
TEST(MailMessage, Origin) {
  const std::string inner = message({base64_part(named("r.txt"), report("a"))},
                                    "From: other@example.org\r\nSubject: inner\r\n");
  const std::vector<Item> items = read_all("m", message({attached(inner)}));
  ASSERT_EQ(items.size(), 1U) << describe(items);
  ASSERT_TRUE(items[0].mail.has_value());
  EXPECT_EQ(items[0].mail->sender, "alice@example.com");
  EXPECT_EQ(items[0].mail->message_id, "m1@example.com");
  EXPECT_EQ(items[0].mail->date, 1704103200);
  EXPECT_EQ(items[0].mail->subject, "r\xc3\xa9port");
}

// Repeated, empty or odd fields: the origin GMime gives a message, whether
// it is read as a part (the usual way) or, beginning with a From line, again
// as a message; and whether its head is split before GMime reads it (plain
// lines, "\r\n" or "\n") or not (a field with a space before its colon).
TEST(MailMessage, OriginOfOddFields) {
  struct Row {
    const char* what;
    std::string head;
    std::string sender;
    std::string message_id;
    std::optional<std::int64_t> date;
    std::string subject;
  };
  const std::string date = "Date: Mon, 01 Jan 2024 10:00:00 +0000\r\n";
  const Row rows[] = {
      {"first From without a mailbox", "From: undisclosed:;\r\nFrom: B <b@example.org>\r\n",
       "b@example.org", "", std::nullopt, ""},
      {"group member", "From: team: m@example.org, n@example.org;\r\n", "m@example.org", "",
       std::nullopt, ""},
      {"Sender when From has none", "From: @@@\r\nSender: s@example.org\r\n", "s@example.org", "",
       std::nullopt, ""},
      {"the last Subject and Message-ID",
       "Subject: one\r\nMessage-ID: <1@x>\r\nSubject: =?UTF-8?Q?tw=C3=B6?=\r\nMESSAGE-ID: "
       "<2@x>\r\n",
       "", "2@x", std::nullopt, "tw\xc3\xb6"},
      {"the last Date, unreadable", date + "Date: garbage\r\n", "", "", std::nullopt, ""},
      {"the last Date", "Date: garbage\r\n" + date, "", "", 1704103200, ""},
      {"a leap day west of UTC", "Date: Thu, 29 Feb 2024 23:59:59 -0130\r\n", "", "", 1709256599,
       ""},
      {"folded fields",
       "From:\r\n B <b@example.org>\r\nSubject: =?UTF-8?Q?a?=\r\n =?UTF-8?Q?b?=\r\n\tc\r\n",
       "b@example.org", "", std::nullopt, "ab\tc"},
      {"blanks around plain values",
       "From: \t A B\t<a.b+c@d-e.example>  \r\nSubject: \t spaced \t out \r\nMessage-ID:  <1@x> "
       "\r\n",
       "a.b+c@d-e.example", "1@x", std::nullopt, "spaced \t out"},
      {"a From line first", ">From a@b Mon Jan  1 10:00:00 2024\r\nFrom: c@example.org\r\n" + date,
       "c@example.org", "", 1704103200, ""},
  };
  const auto lf = [](std::string text) {
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
    return text;
  };
  for (const Row& row : rows) {
    const std::string crlf = message({base64_part(named("r.txt"), report("a"))}, row.head);
    for (const std::string& bytes : {crlf, lf(crlf), "X-Split : no\r\n" + crlf}) {
      SCOPED_TRACE(std::string(row.what) + " in " + bytes.substr(0, 40));
      const std::vector<Item> items = read_all("m", bytes);
      ASSERT_EQ(items.size(), 1U) << describe(items);
      ASSERT_TRUE(items[0].mail.has_value());
      EXPECT_EQ(items[0].mail->sender, row.sender);
      EXPECT_EQ(items[0].mail->message_id, row.message_id);
      EXPECT_EQ(items[0].mail->date, row.date);
      EXPECT_EQ(items[0].mail->subject, row.subject);
    }
  }
}

// A message holding no report is one item of its own, never silence; so is
// one too large to read, and what is no message at all.
TEST(MailMessage, WithoutAReport) {
  const std::string none = message({text_part("hello"), base64_part(named("logo.png"), "PNG")});
  const std::string large = message({base64_part(named("r.txt"), report("a"))});
  // Many small fields or parts: GMime would spend far more than their size.
  std::string parts = kHead + "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 5001; ++i) parts += "--b\r\n\r\n";
  std::string fields = kHead;
  for (int i = 0; i < 20001; ++i) fields += "X-Field: " + std::to_string(i) + "\r\n";
  fields += "\r\n" + report("a");
  std::string folded = kHead + "X-Long: x";
  for (int i = 0; i < 33000; ++i) folded += "\r\n x";
  folded += "\r\n\r\n" + report("a");
  struct Row {
    const char* what;
    std::string bytes;
    std::size_t max;
    std::string reason;
    bool no_report;
    bool origin;
  };
  const Row rows[] = {
      {"no report", none, 1 << 20, kNoReport, true, true},
      {"empty body", kHead + "\r\n", 1 << 20, kNoReport, true, true},
      {"over the limit", large, 600, "message larger than 600 bytes", false, true},
      {"too many parts", parts, 1 << 20, "message with more than 5000 parts", false, true},
      {"too many fields", fields, 1 << 20, "message with more than 20000 header fields", false,
       true},
      {"a field too long", folded, 1 << 20, "a header field longer than 65536 bytes", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::vector<Item> items = read_all("m", row.bytes, row.max);
    ASSERT_EQ(items.size(), 1U) << describe(items);
    EXPECT_EQ(items[0].name, "m");
    EXPECT_EQ(items[0].unreadable, row.reason);
    EXPECT_EQ(items[0].no_report, row.no_report);
    EXPECT_EQ(items[0].bytes, row.bytes.substr(0, kMaxFileSize + 1));
    ASSERT_EQ(items[0].mail.has_value(), row.origin);
    EXPECT_EQ(items[0].mail->sender, "alice@example.com");
  }
}

// Told apart by their first bytes: a message's header, and nothing else.
TEST(MailMessage, LooksLikeMessage) {
  const std::pair<std::string, bool> rows[] = {
      {kHead + "\r\nbody", true},
      {"From alice@example.com Mon Jan  1 10:00:00 2024\nFrom: a@b\nSubject: x\n\nhi", true},
      {"Received: from x\r\n\tby y\r\nX-Other: 1\r\n\r\n", true},
      {"X-Only: custom\r\n\r\n", false},
      {report("a"), false},
      {"\xef\xbb\xbf" + report("a"), false},
      {"PK\x03\x04", false},
      {"Subject: no colon line next\r\nnot a header\r\n\r\n", false},
      {"", false},
  };
  for (const auto& [bytes, expected] : rows) {
    EXPECT_EQ(zavro::registry::looks_like_message(bytes), expected) << bytes.substr(0, 40);
  }
}

TEST(Mailbox, Postmarks) {
  const std::pair<const char*, bool> rows[] = {
      {"From alice@example.com Mon Jan  1 10:00:00 2024", true},
      {"From - Tue Feb 13 09:05 2024", true},
      {"From \"a b\"@example.com Sun Dec 31 23:59:59 +0000 2023", true},
      {"From MAILER-DAEMON Fri Jul  8 12:08:34 2011", true},
      {"From here on, Mon Jan 1 we meet", false},
      {"From 9:30 to 10:00 on Mon Jan 1 2024", false},
      {"From alice@example.com", false},
      {"From: alice@example.com", false},
  };
  for (const auto& [line, expected] : rows) {
    EXPECT_EQ(zavro::registry::is_postmark(line), expected) << line;
  }
}

// mboxrd and mboxo: postmarks split, quoted "From " lines lose one ">", a
// line merely starting with "From " splits nothing, line ends kept as
// written; one message too large is refused and the next still read.
TEST(Mailbox, Mbox) {
  const std::string body =
      "Hello\n\n>From me, quoted\n>>From the archive\nFrom here on, unquoted\n\nFrom now on\n";
  const std::string plain = "From: bob@example.com\nSubject: no report\n\n" + body;
  const std::string unquoted =
      "Hello\n\nFrom me, quoted\n>From the archive\nFrom here on, unquoted\n\nFrom now on\n";
  for (const char* eol : {"\n", "\r\n"}) {
    SCOPED_TRACE(eol[0] == '\r' ? "CRLF" : "LF");
    const auto lines = [eol](const std::string& text) {
      std::string out;
      for (const char c : text) out += c == '\n' ? std::string(eol) : std::string(1, c);
      return out;
    };
    const std::string first = message({text_part("x"), base64_part(named("a.txt"), report("a"))});
    const std::string big = message({base64_part(named("big.txt"), std::string(3000, 'x'))});
    const std::string last = message({base64_part(named("c.txt"), report("c"))});
    std::string mbox;
    for (const std::string& m : {first, lines(plain), big, last}) {
      mbox += lines("From alice@example.com Mon Jan  1 10:00:00 2024\n") + m + lines("\n");
    }
    const TempDir tree;
    tree.write("inbox", mbox);  // told by its first line, not its name
    const std::string path = tree / "inbox";
    const std::vector<Item> items = read_inputs({path}, 2500);
    ASSERT_EQ(items.size(), 4U) << describe(items);
    EXPECT_EQ(items[0].name, path + ":1:a.txt");
    EXPECT_EQ(items[0].bytes, report("a"));
    EXPECT_EQ(items[1].name, path + ":2");
    EXPECT_TRUE(items[1].no_report);
    EXPECT_EQ(items[1].bytes, lines("From: bob@example.com\nSubject: no report\n\n" + unquoted));
    EXPECT_EQ(items[2].name, path + ":3");
    EXPECT_EQ(items[2].unreadable, "message larger than 2500 bytes");
    EXPECT_EQ(items[3].name, path + ":4:c.txt");
    EXPECT_EQ(items[3].bytes, report("c"));
  }
}

// cur/ then new/, each in name order, dot files and tmp/ left alone; a
// directory without both is read as files.
TEST(Mailbox, Maildir) {
  const TempDir tree;
  const auto one = [](const std::string& who) {
    return message({base64_part(named("r.txt"), report(who))});
  };
  tree.write("md/cur/2.host:2,S", one("b"));
  tree.write("md/cur/1.host:2,", one("a"));
  tree.write("md/new/3.host", message({text_part("none")}));
  tree.write("md/new/.hidden", one("x"));
  tree.write("md/tmp/4.host", one("y"));
  const std::string root = tree / "md";
  const std::vector<Item> items = read_inputs({root}, 1 << 20);
  ASSERT_EQ(items.size(), 3U) << describe(items);
  EXPECT_EQ(items[0].name, root + ":1.host:2,:r.txt");
  EXPECT_EQ(items[0].bytes, report("a"));
  EXPECT_EQ(items[1].name, root + ":2.host:2,S:r.txt");
  EXPECT_EQ(items[2].name, root + ":3.host");
  EXPECT_TRUE(items[2].no_report);
  std::filesystem::remove_all(tree / "md/new");
  EXPECT_EQ(read_inputs({root}, 1 << 20).size(), 3U);  // cur/ and tmp/ as plain files
}

// A body in memory (the API's) is a message when it begins as one.
TEST(Mailbox, MemoryToldByContent) {
  const std::string mail = message({base64_part(named("r.txt"), report("a"))});
  std::vector<std::string> names;
  for (const std::string& bytes : {mail, report("a"), zip_of({{"z.rec", report("a")}})}) {
    zavro::registry::read_memory("up", bytes, [&names](Item& item) {
      names.push_back(item.name);
      return true;
    });
  }
  EXPECT_EQ(names, (std::vector<std::string>{"up:r.txt", "up", "up:z.rec"}));
}

}  // namespace
