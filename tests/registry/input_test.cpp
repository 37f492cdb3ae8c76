// Inputs as the registry reads them: archives written here with libarchive,
// directory trees, standard input and paths that fail.
#include "registry/input.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "reader/reader.hpp"
#include "registry/digest.hpp"
#include "support/temp_dir.hpp"

namespace {

using zavro::reader::kMaxFileSize;
using zavro::registry::ArchiveLimits;
using zavro::registry::Item;
using zavro::registry::read_inputs;
using zavro::registry::read_memory;
using zavro::registry::Refusal;
using zavro::testing::TempDir;

const std::string kTooLarge = "larger than 65536 bytes";

std::string report(const std::string& name) {
  return "<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>" + name +
         "</MachineName><ProcessorCount>2</ProcessorCount><MacAddresses><M0>4A:77:50:68:E4:CA</M0>"
         "</MacAddresses><BiosSerial>X1</BiosSerial><MotherboardSerial>Y1</MotherboardSerial>"
         "</Node>";
}

std::string noise(std::size_t size) {
  std::mt19937 random(size);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

struct Member {
  std::string path;
  std::string bytes;  // a link's target for AE_IFLNK
  unsigned type = AE_IFREG;
};

void write_archive(const std::string& file, const std::string& ending,
                   const std::vector<Member>& members) {
  archive* a = archive_write_new();
  if (ending == ".zip") {
    archive_write_set_format_zip(a);
  } else {
    archive_write_set_format_pax_restricted(a);
  }
  if (ending == ".tar.gz" || ending == ".tgz") archive_write_add_filter_gzip(a);
  if (ending == ".tar.xz") archive_write_add_filter_xz(a);
  ASSERT_EQ(archive_write_open_filename(a, file.c_str()), ARCHIVE_OK) << archive_error_string(a);
  archive_entry* entry = archive_entry_new();
  for (const Member& m : members) {
    archive_entry_clear(entry);
    archive_entry_set_pathname(entry, m.path.c_str());
    archive_entry_set_filetype(entry, m.type);
    archive_entry_set_perm(entry, 0644);
    if (m.type == AE_IFLNK) archive_entry_set_symlink(entry, m.bytes.c_str());
    if (m.type == AE_IFREG) archive_entry_set_size(entry, static_cast<la_int64_t>(m.bytes.size()));
    ASSERT_EQ(archive_write_header(a, entry), ARCHIVE_OK) << archive_error_string(a);
    if (m.type == AE_IFREG) {
      ASSERT_EQ(archive_write_data(a, m.bytes.data(), m.bytes.size()),
                static_cast<la_ssize_t>(m.bytes.size()));
    }
  }
  archive_entry_free(entry);
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK) << archive_error_string(a);
  archive_write_free(a);
}

std::vector<Item> read_all(const std::vector<std::string>& inputs,
                           std::vector<Refusal>* refusals = nullptr,
                           const zavro::registry::ReadOptions& options = {}) {
  std::vector<Item> items;
  EXPECT_TRUE(read_inputs(
      inputs,
      [&items](Item& item) {
        items.push_back(item);
        return true;
      },
      [refusals](const Refusal& refusal) {
        if (refusals != nullptr) refusals->push_back(refusal);
      },
      options));
  return items;
}

std::string file_bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// bytes as one xz stream whose block header asks for the dictionary that
// props (the LZMA2 property byte) names; made with a small one, then the
// header rewritten, as a hostile sender would.
std::string xz_asking(const std::string& bytes, std::uint8_t props) {
  std::string out(bytes.size() + 4096, '\0');
  std::size_t size = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(
                0, LZMA_CHECK_CRC32, nullptr, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                bytes.size(), reinterpret_cast<std::uint8_t*>(out.data()), &size, out.size()),
            LZMA_OK);
  out.resize(size);
  // Block header after the 12-byte stream header: size, flags, the optional
  // sizes (varints), then the LZMA2 filter: id 0x21, 1 property byte.
  auto* header = reinterpret_cast<std::uint8_t*>(out.data() + 12);
  const std::size_t header_size = (std::size_t{header[0]} + 1) * 4;
  std::size_t at = 2;
  for (int field = 0; field < 2; ++field) {
    if ((header[1] & (0x40 << field)) == 0) continue;
    while ((header[at++] & 0x80) != 0) {
    }
  }
  EXPECT_EQ(header[at], 0x21);
  EXPECT_EQ(header[at + 1], 1);
  header[at + 2] = props;
  const std::uint32_t crc = lzma_crc32(header, header_size - 4, 0);
  for (std::size_t i = 0; i < 4; ++i) {
    header[header_size - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  return out;
}

// For failure messages: each item's name, size and reason.
std::string describe(const std::vector<Item>& items) {
  std::string text;
  for (const Item& item : items) {
    text += "\n  " + item.name + " (" + std::to_string(item.bytes.size()) + " bytes)";
    if (item.unreadable) text += ": " + *item.unreadable;
  }
  return text;
}

void expect_item(const Item& item, const std::string& name, const std::string& bytes,
                 const std::optional<std::string>& unreadable = std::nullopt) {
  EXPECT_EQ(item.name, name);
  EXPECT_TRUE(item.bytes == bytes)
      << item.name << ": " << item.bytes.size() << " bytes, expected " << bytes.size();
  EXPECT_EQ(item.unreadable, unreadable) << item.name;
}

const char* const kEndings[] = {".tar", ".tar.gz", ".tgz", ".tar.xz", ".zip"};

// Every format: archive order kept, only regular members, an oversized member
// cut at the limit and the member after it still read.
TEST(InputArchive, MembersInOrder) {
  std::string big(kMaxFileSize + 5000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  const std::vector<Member> members = {{"b.rec", report("b")},     {"sub/", "", AE_IFDIR},
                                       {"sub/a.rec", report("a")}, {"link", "b.rec", AE_IFLNK},
                                       {"big.rec", big},           {"z.rec", report("z")}};
  for (const char* ending : kEndings) {
    SCOPED_TRACE(ending);
    const TempDir tree;
    const std::string file = tree / (std::string("reports") + ending);
    std::vector<Member> written = members;
    // A zip marks links only in its central directory, which a stream never
    // reaches: there a link reads as a file.
    if (std::string(ending) == ".zip") written.erase(written.begin() + 3);
    write_archive(file, ending, written);
    const std::vector<Item> items = read_all({file});
    ASSERT_EQ(items.size(), 4U) << describe(items);
    expect_item(items[0], file + ":b.rec", report("b"));
    expect_item(items[1], file + ":sub/a.rec", report("a"));
    expect_item(items[2], file + ":big.rec", big.substr(0, kMaxFileSize + 1), kTooLarge);
    expect_item(items[3], file + ":z.rec", report("z"));
  }
}

// Damage: what comes before it still comes through, and what cannot be read
// is an unreadable item, never silence. The compressing filters fail a whole
// block (64 KiB out) at a time, so the damage sits past the first block.
TEST(InputArchive, Damaged) {
  enum class Damage { kTruncate, kOverwrite, kGarbage };
  struct Row {
    const char* ending;
    Damage damage;
    std::size_t third;  // size of the member the damage falls in
  };
  const Row rows[] = {
      {".tar", Damage::kTruncate, 150000},    {".tar.gz", Damage::kTruncate, 150000},
      {".tar.xz", Damage::kTruncate, 150000}, {".zip", Damage::kTruncate, 150000},
      {".zip", Damage::kOverwrite, 20000},    {".tar.gz", Damage::kGarbage, 20000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.ending) + " damage " +
                 std::to_string(static_cast<int>(row.damage)));
    const TempDir tree;
    const std::string name = std::string("reports") + row.ending;
    const std::string file = tree / name;
    write_archive(file, row.ending,
                  {{"1.rec", report("1")},
                   {"2.rec", report("2")},
                   {"3.rec", noise(row.third)},
                   {"4.rec", report("4")}});
    const auto size = std::filesystem::file_size(file);
    if (row.damage == Damage::kTruncate) std::filesystem::resize_file(file, size * 6 / 10);
    if (row.damage == Damage::kGarbage) tree.write(name, noise(size));
    if (row.damage == Damage::kOverwrite) {
      std::fstream stream(file, std::ios::binary | std::ios::in | std::ios::out);
      stream.seekp(static_cast<std::streamoff>(size / 2));
      stream << "damage";
    }
    std::vector<Item> items = read_all({file});
    if (row.damage == Damage::kGarbage) {
      ASSERT_EQ(items.size(), 1U) << describe(items);
      EXPECT_EQ(items[0].name, file);
      EXPECT_TRUE(items[0].unreadable && !items[0].unreadable->empty());
      continue;
    }
    ASSERT_GE(items.size(), 3U) << describe(items);
    expect_item(items[0], file + ":1.rec", report("1"));
    expect_item(items[1], file + ":2.rec", report("2"));
    EXPECT_EQ(items[2].name, file + ":3.rec");
    if (row.damage == Damage::kOverwrite) {
      // A checksum failure spoils one member; the next is still read.
      ASSERT_EQ(items.size(), 4U) << describe(items);
      expect_item(items[3], file + ":4.rec", report("4"));
      items.pop_back();
    }
    // The rest: the damaged member, then at most the archive naming the cause.
    ASSERT_LE(items.size(), 4U) << describe(items);
    if (items.size() == 4) {
      EXPECT_EQ(items[3].name, file);
    }
    for (std::size_t i = 2; i < items.size(); ++i) {
      EXPECT_TRUE(items[i].unreadable && !items[i].unreadable->empty()) << describe(items);
    }
  }
}

// A damaged tar header: one item for the run of blocks that do not read as a
// header, then the members after it.
TEST(InputArchive, DamagedTarHeader) {
  const TempDir tree;
  const std::string file = tree / "reports.tar";
  write_archive(file, ".tar",
                {{"1.rec", report("1")}, {"2.rec", report("2")}, {"3.rec", report("3")}});
  {
    // The second header's checksum field, after one header and one data block.
    std::fstream stream(file, std::ios::binary | std::ios::in | std::ios::out);
    stream.seekp(1024 + 148);
    stream << "damage";
  }
  const std::vector<Item> items = read_all({file});
  ASSERT_EQ(items.size(), 3U) << describe(items);
  expect_item(items[0], file + ":1.rec", report("1"));
  EXPECT_EQ(items[1].name, file);
  EXPECT_TRUE(items[1].unreadable && !items[1].unreadable->empty());
  expect_item(items[2], file + ":3.rec", report("3"));
}

// Every regular file under the directory in byte order of the full paths
// ("a-c" sorts before "a/b"); links to directories are not followed, links
// to files are, pipes are skipped.
TEST(InputDirectory, ByteOrderOfPaths) {
  const TempDir tree;
  for (const char* name : {"d/b", "d/a-c", "d/a/b", "d/a/x/y", "d/A", "d/a.z"}) {
    tree.write(name, name);
  }
  std::filesystem::create_directories(tree / "d/empty");
  std::filesystem::create_symlink("b", tree / "d/l");
  std::filesystem::create_directory_symlink(".", tree / "d/loop");
  ASSERT_EQ(::mkfifo((tree / "d/pipe").c_str(), 0600), 0);
  const std::string root = tree / "d";
  const std::vector<Item> items = read_all({root});
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"A", "d/A"},         {"a-c", "d/a-c"}, {"a.z", "d/a.z"}, {"a/b", "d/a/b"},
      {"a/x/y", "d/a/x/y"}, {"b", "d/b"},     {"l", "d/b"}};
  ASSERT_EQ(items.size(), expected.size()) << describe(items);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expect_item(items[i], root + "/" + expected[i].first, expected[i].second);
  }
}

// Inputs in the order given: a missing path, a file, standard input above the limit.
TEST(InputPaths, MissingFileAndStandardInput) {
  const TempDir tree;
  tree.write("one.rec", report("one"));
  const std::string big(kMaxFileSize + 10, 'x');
  tree.write("big", big);
  const int saved = ::dup(STDIN_FILENO);
  const int source = ::open((tree / "big").c_str(), O_RDONLY);
  ASSERT_GE(source, 0);
  ASSERT_EQ(::dup2(source, STDIN_FILENO), STDIN_FILENO);
  ::close(source);
  const std::string missing = tree / "missing.tar.gz";
  std::vector<Refusal> refusals;
  const std::vector<Item> items = read_all({missing, tree / "one.rec", "-"}, &refusals);
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  // A path that cannot be opened is no report: refused, named, with the reason.
  ASSERT_EQ(refusals.size(), 1U);
  EXPECT_EQ(refusals[0].name, missing);
  EXPECT_EQ(refusals[0].reason, std::strerror(ENOENT));
  ASSERT_EQ(items.size(), 2U);
  expect_item(items[0], tree / "one.rec", report("one"));
  expect_item(items[1], "-", big.substr(0, kMaxFileSize + 1), kTooLarge);
}

// A drop folder: a link to a file outside it is refused (unless asked to
// follow), one inside is followed; a link named as the input is followed.
TEST(InputDirectory, LinksOutside) {
  const TempDir tree;
  tree.write("secret", "outside");
  tree.write("drop/own", "inside");
  std::filesystem::create_symlink(tree / "secret", tree / "drop/out");
  std::filesystem::create_symlink("own", tree / "drop/in");
  std::filesystem::create_symlink(tree / "drop", tree / "drop-link");
  const std::string drop = tree / "drop";
  struct Row {
    std::string input;
    bool follow;
    std::vector<std::string> contents;
    std::size_t refused;
  };
  const Row rows[] = {{drop, false, {"inside", "inside"}, 1},
                      {drop, true, {"inside", "outside", "inside"}, 0},
                      {tree / "drop-link", false, {"inside", "inside"}, 1},
                      {tree / "drop/out", false, {"outside"}, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input + (row.follow ? " following" : ""));
    std::vector<Refusal> refusals;
    zavro::registry::ReadOptions options;
    options.follow_symlinks = row.follow;
    const std::vector<Item> items = read_all({row.input}, &refusals, options);
    std::vector<std::string> contents;
    contents.reserve(items.size());
    for (const Item& item : items) contents.push_back(item.bytes);
    EXPECT_EQ(contents, row.contents) << describe(items);
    ASSERT_EQ(refusals.size(), row.refused);
    if (row.refused > 0) {
      EXPECT_EQ(refusals[0].name, row.input + "/out");
      EXPECT_NE(refusals[0].reason.find("--follow-symlinks"), std::string::npos);
    }
  }
}

// Each limit an archive may reach refuses it, named, saying which; under
// the limits the same archive reads whole.
TEST(InputArchive, Limits) {
  const TempDir tree;
  write_archive(tree / "five.tar", ".tar",
                {{"1", "a"}, {"2", "b"}, {"3", "c"}, {"4", "d"}, {"5", std::string(70000, 'z')}});
  const std::string tar = file_bytes(tree / "five.tar");
  // LZMA2's property byte 35 asks for a 768 MiB dictionary, 28 for 64 MiB.
  const std::string xz_768 = xz_asking(tar, 35);
  const std::string xz_64 = xz_asking(tar, 28);
  struct Row {
    const char* what;
    std::string body;
    ArchiveLimits limits;
    const char* reason;  // nullptr: read whole
  };
  ArchiveLimits three_members;
  three_members.members = 3;
  ArchiveLimits small;
  small.unpacked = 50000;
  ArchiveLimits no_time;
  no_time.cpu = std::chrono::nanoseconds(0);
  const Row rows[] = {
      {"xz asking 768 MiB", xz_768, {}, "its xz dictionary needs more than 64 MiB of memory"},
      {"xz asking 64 MiB", xz_64, {}, nullptr},
      {"members", tar, three_members, "holds more than 3 members"},
      {"declared size", tar, small, "unpacks to more than 50000 bytes"},
      {"xz declared size", xz_64, small, "unpacks to more than 50000 bytes"},
      {"CPU", xz_64, no_time, "took more than 0 s of CPU to unpack"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<Refusal> refusals;
    std::size_t items = 0;
    EXPECT_TRUE(read_memory(
        "up", row.body,
        [&items](Item&) {
          ++items;
          return true;
        },
        [&refusals](const Refusal& refusal) { refusals.push_back(refusal); }, row.limits));
    if (row.reason == nullptr) {
      EXPECT_TRUE(refusals.empty());
      EXPECT_EQ(items, 5U);
      continue;
    }
    ASSERT_EQ(refusals.size(), 1U);
    EXPECT_EQ(refusals[0].name, "up");
    EXPECT_EQ(refusals[0].reason, row.reason);
    EXPECT_TRUE(refusals[0].limit);
  }
}

TEST(InputPaths, SinkStops) {
  const TempDir tree;
  const std::string file = tree / "r.zip";
  write_archive(file, ".zip", {{"1", "a"}, {"2", "b"}});
  int calls = 0;
  EXPECT_FALSE(read_inputs({file, file}, [&calls](Item&) { return ++calls == 0; }));
  EXPECT_EQ(calls, 1);
}

TEST(Digest, KnownVector) {
  EXPECT_EQ(zavro::registry::hex(zavro::registry::sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
