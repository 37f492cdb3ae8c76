// Search over every value any machine ever reported, by text anywhere in it.
// The values are kept folded in chunks that one sequential pass reads: a
// chunk holds many machines' entries, their texts run together with a zero
// byte after each, so that one pass over a chunk finds every hit; which
// machine a hit is of is read only for chunks with hits. A linear pass over
// a compact copy (about 20 bytes a value, 80 a machine) answers any
// fragment in tens of milliseconds at a million reports, where an index of
// every trigram would cost ingest ten times what it saves a search.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "registry/types.hpp"

namespace zavro::registry::search {

// Names and serials, and addresses (twelve hex digits): a query meets each
// in its own form.
enum class Field { kText, kAddress };

// ASCII case folded; control bytes become 0x01, so that no value holds the
// separator.
std::string fold(std::string_view text);
// Hex digits of an address's bytes, lower case.
std::string hex_address(std::string_view six_bytes);

// What a query looks for: the text folded, and for addresses the same without
// the separators people write them with (":", "-", "."); no address form
// when that is not all hex digits, as every address entry is.
struct Query {
  std::string text;
  std::string address;
  bool empty() const { return text.empty(); }
};
Query query_of(std::string_view text);

// A chunk holds at most this much: one read.
inline constexpr std::size_t kChunkBytes = 60000;

// Entries gathered into chunks of at most kChunkBytes.
class ChunkBuilder {
 public:
  void add(Id machine, Field field, std::string_view folded);
  // Bytes held.
  std::size_t size() const;
  bool empty() const { return done_.empty() && count_ == 0; }
  // Every chunk, the last one ended; the builder is then empty.
  std::vector<std::string> finish();
  // The chunks already full; the one being built stays.
  std::vector<std::string> take_done();

 private:
  struct Area {
    std::vector<std::pair<Id, std::uint32_t>> runs;  // a machine, and its entries' bytes
    std::size_t run_bytes = 0;                       // the runs as they are written
    std::string bytes;
  };
  std::string end_chunk();
  Area text_;
  Area address_;
  std::size_t count_ = 0;
  std::vector<std::string> done_;
  std::size_t done_bytes_ = 0;
};

// What a chunk's row keeps beside it: the lowest and highest machine of its
// entries, so that a search can take chunks in machine order and stop once
// it has enough, and where its addresses begin, so that a server looks for
// each form in its own area. A chunk that does not parse holds no machine.
struct Span {
  Id low = 0;
  Id high = 0;
  std::int64_t split = 0;
};
Span span_of(std::string_view chunk);

// Machines a chunk may span: entries are gathered by range of ids, so that
// chunks taken by their lowest machine cover the ids in order even where a
// machine seen again puts its entry in a later batch's chunks, and a search
// for a first page reads only the first ranges' chunks.
inline constexpr Id kRangeIds = Id{1} << 14;

// Chunks gathered as ChunkBuilder does, each within one range of kRangeIds.
class RangedBuilder {
 public:
  void add(Id machine, Field field, std::string_view folded);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Every chunk, each range's last one ended; the builder is then empty.
  std::vector<std::string> finish();
  // The chunks already full; each range's chunk being built stays.
  std::vector<std::string> take_done();

 private:
  std::map<Id, ChunkBuilder> ranges_;
  std::size_t size_ = 0;
};

// Every entry of a chunk, in order; a chunk that does not parse has none.
// Chunks of the form written before are read too.
void entries(std::string_view chunk,
             const std::function<void(Id machine, Field field, std::string_view folded)>& each);

// A chunk of the form written before, which a registry's migration writes again.
bool is_old(std::string_view chunk);

// The machines of the entries in chunk that hold the query, appended to out
// (a machine once per entry); a chunk that does not parse adds nothing.
void scan(std::string_view chunk, const Query& query, std::vector<Id>& out);

}  // namespace zavro::registry::search
