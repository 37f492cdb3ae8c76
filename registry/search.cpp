#include "registry/search.hpp"

#include <string.h>  // memmem

#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "registry/varint.hpp"

namespace zavro::registry::search {
namespace {

// Chunks as written today: each area's runs (a machine and the bytes of its
// entries), then its entries, each ended by a zero byte.
constexpr std::string_view kMagic = "Z3";
// As written before: fixed-width runs by entry, and each entry's end.
constexpr std::string_view kOldMagic = "Z2";
// The magic, and each area's runs' and entries' sizes.
constexpr std::size_t kHeaderBytes = 2 + 4 * 4;
// A value longer than this is searched for by its beginning.
constexpr std::size_t kMaxEntryBytes = 0x7FFF;
// What one more entry can add to a chunk's runs: a new run's machine (ten
// bytes at most) and length (three), or one byte more of a run's length.
constexpr std::size_t kMaxRunBytes = 13;

// A machine as the step from the run before: mostly a small number.
std::uint64_t step_of(Id from, Id to) {
  const std::uint64_t d = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
  return d << 1 ^ (0 - (d >> 63));
}
Id step_to(Id from, std::uint64_t step) {
  const std::uint64_t d = step >> 1 ^ (0 - (step & 1));
  return static_cast<Id>(static_cast<std::uint64_t>(from) + d);
}

template <typename T>
void put(std::string& out, T v) {
  char b[sizeof v];
  std::memcpy(b, &v, sizeof v);
  out.append(b, sizeof v);
}

template <typename T>
bool take(std::string_view& in, T& v) {
  if (in.size() < sizeof v) return false;
  std::memcpy(&v, in.data(), sizeof v);
  in.remove_prefix(sizeof v);
  return true;
}

// One area of an old chunk: entry i's text ends at end(i), the next starts
// one byte later; runs give each machine's first entry.
struct OldArea {
  std::uint32_t count = 0;
  std::uint32_t run_count = 0;
  const char* runs = nullptr;  // (i64 machine, u32 first entry) each
  const char* ends = nullptr;  // u16 each
  std::string_view bytes;
  std::uint16_t end(std::uint32_t i) const {
    std::uint16_t v = 0;
    std::memcpy(&v, ends + std::size_t{2} * i, 2);
    return v;
  }
  Id run_machine(std::uint32_t r) const {
    Id v = 0;
    std::memcpy(&v, runs + std::size_t{12} * r, 8);
    return v;
  }
  std::uint32_t run_first(std::uint32_t r) const {
    std::uint32_t v = 0;
    std::memcpy(&v, runs + std::size_t{12} * r + 8, 4);
    return v;
  }
  // The machine of entry i: the last run starting at or before it.
  Id machine(std::uint32_t i) const {
    std::uint32_t lo = 0;
    std::uint32_t hi = run_count;
    while (hi - lo > 1) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      if (run_first(mid) <= i) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    return run_machine(lo);
  }
};

bool take_area(std::string_view& in, OldArea& area) {
  if (!take(in, area.count) || !take(in, area.run_count)) return false;
  const std::size_t need = std::size_t{12} * area.run_count + std::size_t{2} * area.count;
  if (in.size() < need || (area.count > 0 && area.run_count == 0)) return false;
  area.runs = in.data();
  area.ends = in.data() + std::size_t{12} * area.run_count;
  in.remove_prefix(need);
  return true;
}

// The two areas of an old chunk; false when it does not parse.
bool parse_old(std::string_view chunk, OldArea& text, OldArea& address) {
  if (chunk.substr(0, kOldMagic.size()) != kOldMagic) return false;
  chunk.remove_prefix(kOldMagic.size());
  std::uint32_t text_size = 0;
  if (!take_area(chunk, text) || !take_area(chunk, address) || !take(chunk, text_size) ||
      text_size > chunk.size()) {
    return false;
  }
  text.bytes = chunk.substr(0, text_size);
  address.bytes = chunk.substr(text_size);
  // Ends must rise within their area and runs start in order, or a damaged
  // chunk could point anywhere.
  for (const OldArea* area : {&text, &address}) {
    std::size_t last = 0;
    for (std::uint32_t i = 0; i < area->count; ++i) {
      const std::size_t end = area->end(i);
      if (end < last || end >= area->bytes.size()) return false;
      last = end + 1;
    }
    for (std::uint32_t r = 0; r < area->run_count; ++r) {
      if (area->run_first(r) >= area->count ||
          (r > 0 && area->run_first(r) <= area->run_first(r - 1)) ||
          (r == 0 && area->run_first(0) != 0)) {
        return false;
      }
    }
  }
  return true;
}

// One area of a chunk: its runs, read in order, and its entries.
struct AreaView {
  std::string_view runs;
  std::string_view bytes;
};

// An area's runs one after another: each gives a machine and where its
// entries end. A run that does not fit the area ends the walk.
class Runs {
 public:
  explicit Runs(const AreaView& area) : in_(area.runs), bytes_(area.bytes) {}
  bool next() {
    std::uint64_t step = 0;
    std::uint64_t length = 0;
    if (!take_varint(in_, step) || !take_varint(in_, length) || length == 0 ||
        length > bytes_.size() - end_) {
      return false;
    }
    machine_ = step_to(machine_, step);
    end_ += static_cast<std::size_t>(length);
    // Every run ends an entry, so that none spans two machines.
    return bytes_[end_ - 1] == '\0';
  }
  // Every run read, and they cover the area exactly.
  bool whole() const { return in_.empty() && end_ == bytes_.size(); }
  Id machine() const { return machine_; }
  std::size_t end() const { return end_; }

 private:
  std::string_view in_;
  std::string_view bytes_;
  Id machine_ = 0;
  std::size_t end_ = 0;
};

bool parse_chunk(std::string_view chunk, AreaView& text, AreaView& address) {
  if (chunk.substr(0, kMagic.size()) != kMagic) return false;
  chunk.remove_prefix(kMagic.size());
  std::uint32_t sizes[4] = {};
  for (std::uint32_t& size : sizes) {
    if (!take(chunk, size)) return false;
  }
  std::string_view* parts[4] = {&text.runs, &address.runs, &text.bytes, &address.bytes};
  for (std::size_t i = 0; i < 4; ++i) {
    if (sizes[i] > chunk.size()) return false;
    *parts[i] = chunk.substr(0, sizes[i]);
    chunk.remove_prefix(sizes[i]);
  }
  return chunk.empty();
}

// The first place at or after from where needle (two bytes or more) starts,
// or npos. Sixteen places are tried at once by their first and last bytes, so
// that only real candidates are compared whole; glibc's memmem does a byte at
// a time and sets up a table on every call, which a search of many hits makes
// again for each.
std::size_t find(std::string_view hay, std::size_t from, std::string_view needle) {
  const std::size_t n = needle.size();
  if (hay.size() < n || from > hay.size() - n) return std::string_view::npos;
  const char* p = hay.data();
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(needle.front());
  const __m128i last = _mm_set1_epi8(needle.back());
  // Each block reads 16 bytes at i and at i + n - 1; both end inside hay.
  for (; from + n - 1 + 16 <= hay.size(); from += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from + n - 1));
    auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    while (mask != 0) {
      const std::size_t at = from + static_cast<std::size_t>(__builtin_ctz(mask));
      if (std::memcmp(p + at + 1, needle.data() + 1, n - 2) == 0) return at;
      mask &= mask - 1;
    }
  }
#endif
  const void* hit = ::memmem(p + from, hay.size() - from, needle.data(), n);
  return hit == nullptr ? std::string_view::npos
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - p);
}

// The next hit at or after from, or npos.
std::size_t next_hit(std::string_view bytes, std::size_t from, std::string_view needle) {
  if (needle.size() != 1) return find(bytes, from, needle);
  if (from >= bytes.size()) return std::string_view::npos;
  const void* hit = std::memchr(bytes.data() + from, needle[0], bytes.size() - from);
  return hit == nullptr ? std::string_view::npos
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
}

// Only an area with a hit has its runs read; an area whose runs do not fit
// adds nothing.
void scan_area(const AreaView& area, std::string_view needle, std::vector<Id>& out) {
  if (needle.empty()) return;
  std::size_t at = next_hit(area.bytes, 0, needle);
  if (at == std::string_view::npos) return;
  const std::size_t kept = out.size();
  Runs runs(area);
  if (!runs.next()) return;
  while (at != std::string_view::npos) {
    // The run the hit is in. No needle holds the zero byte that ends each
    // entry, so a hit never spans two.
    while (runs.end() <= at) {
      if (!runs.next()) {
        out.resize(kept);
        return;
      }
    }
    out.push_back(runs.machine());
    // On past the end of the entry hit: a machine once per entry.
    const void* end = std::memchr(area.bytes.data() + at, '\0', runs.end() - at);
    at = next_hit(area.bytes,
                  static_cast<std::size_t>(static_cast<const char*>(end) - area.bytes.data()) + 1,
                  needle);
  }
}

}  // namespace

std::string fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 'A' && b <= 'Z') {
      c = static_cast<char>(b - 'A' + 'a');
    } else if (b < 0x20 || b == 0x7F) {
      c = '\x01';
    }
  }
  return out;
}

std::string hex_address(std::string_view six_bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : six_bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

Query query_of(std::string_view text) {
  Query q;
  q.text = fold(text);
  for (const char c : q.text) {
    if (c == ':' || c == '-' || c == '.') continue;
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) {
      q.address.clear();
      break;
    }
    q.address += c;
  }
  return q;
}

void ChunkBuilder::add(Id machine, Field field, std::string_view folded) {
  folded = folded.substr(0, kMaxEntryBytes);
  Area* area = field == Field::kText ? &text_ : &address_;
  // The chunk being built, not what is held: chunks already done must not
  // make every later entry a chunk of its own.
  if (count_ > 0 &&
      kHeaderBytes + size() - done_bytes_ + folded.size() + 1 + kMaxRunBytes > kChunkBytes) {
    done_bytes_ += (done_.emplace_back(end_chunk())).size();
  }
  if (area->runs.empty() || area->runs.back().first != machine) {
    const Id before = area->runs.empty() ? 0 : area->runs.back().first;
    area->runs.emplace_back(machine, 0);
    area->run_bytes += varint_size(step_of(before, machine)) + varint_size(0);
  }
  std::uint32_t& length = area->runs.back().second;
  area->run_bytes -= varint_size(length);
  length += static_cast<std::uint32_t>(folded.size() + 1);
  area->run_bytes += varint_size(length);
  area->bytes.append(folded);
  area->bytes += '\0';
  ++count_;
}

std::size_t ChunkBuilder::size() const {
  return done_bytes_ + text_.run_bytes + text_.bytes.size() + address_.run_bytes +
         address_.bytes.size();
}

std::string ChunkBuilder::end_chunk() {
  std::string out(kMagic);
  for (const std::size_t size :
       {text_.run_bytes, address_.run_bytes, text_.bytes.size(), address_.bytes.size()}) {
    put(out, static_cast<std::uint32_t>(size));
  }
  for (const Area* area : {&text_, &address_}) {
    Id before = 0;
    for (const auto& [machine, length] : area->runs) {
      put_varint(out, step_of(before, machine));
      put_varint(out, length);
      before = machine;
    }
  }
  out += text_.bytes;
  out += address_.bytes;
  text_ = Area();
  address_ = Area();
  count_ = 0;
  return out;
}

std::vector<std::string> ChunkBuilder::finish() {
  if (count_ > 0) done_.push_back(end_chunk());
  return take_done();
}

std::vector<std::string> ChunkBuilder::take_done() {
  std::vector<std::string> out;
  out.swap(done_);
  done_bytes_ = 0;
  return out;
}

void RangedBuilder::add(Id machine, Field field, std::string_view folded) {
  ChunkBuilder& range = ranges_[machine / kRangeIds];
  size_ -= range.size();
  range.add(machine, field, folded);
  size_ += range.size();
}

std::vector<std::string> RangedBuilder::finish() {
  std::vector<std::string> out;
  for (auto& [range, builder] : ranges_) {
    for (std::string& chunk : builder.finish()) out.push_back(std::move(chunk));
  }
  ranges_.clear();
  size_ = 0;
  return out;
}

std::vector<std::string> RangedBuilder::take_done() {
  std::vector<std::string> out;
  size_ = 0;
  for (auto& [range, builder] : ranges_) {
    for (std::string& chunk : builder.take_done()) out.push_back(std::move(chunk));
    size_ += builder.size();
  }
  return out;
}

void entries(std::string_view chunk,
             const std::function<void(Id machine, Field field, std::string_view folded)>& each) {
  AreaView text;
  AreaView address;
  if (parse_chunk(chunk, text, address)) {
    // Read whole first: a chunk whose runs do not fit gives nothing.
    for (const AreaView* area : {&text, &address}) {
      Runs runs(*area);
      while (!runs.whole()) {
        if (!runs.next()) return;
      }
    }
    for (const auto& [area, field] :
         {std::pair{&text, Field::kText}, {&address, Field::kAddress}}) {
      Runs runs(*area);
      std::size_t start = 0;
      while (runs.next()) {
        for (std::size_t end = start; end < runs.end(); start = ++end) {
          end = area->bytes.find('\0', start);
          each(runs.machine(), field, area->bytes.substr(start, end - start));
        }
      }
    }
    return;
  }
  // Chunks written before, read once to be written again.
  OldArea old_text;
  OldArea old_address;
  if (!parse_old(chunk, old_text, old_address)) return;
  for (const auto& [area, field] :
       {std::pair{&old_text, Field::kText}, {&old_address, Field::kAddress}}) {
    std::size_t start = 0;
    for (std::uint32_t i = 0; i < area->count; ++i) {
      const std::size_t end = area->end(i);
      each(area->machine(i), field, area->bytes.substr(start, end - start));
      start = end + 1;
    }
  }
}

Span span_of(std::string_view chunk) {
  AreaView text;
  AreaView address;
  if (!parse_chunk(chunk, text, address)) return {};
  Span span{std::numeric_limits<Id>::max(), std::numeric_limits<Id>::min(),
            static_cast<std::int64_t>(chunk.size() - address.bytes.size())};
  for (const AreaView* area : {&text, &address}) {
    Runs runs(*area);
    while (!runs.whole()) {
      if (!runs.next()) return {};
      span.low = std::min(span.low, runs.machine());
      span.high = std::max(span.high, runs.machine());
    }
  }
  if (span.low > span.high) return {};
  return span;
}

bool is_old(std::string_view chunk) { return chunk.substr(0, kOldMagic.size()) == kOldMagic; }

void scan(std::string_view chunk, const Query& query, std::vector<Id>& out) {
  AreaView text;
  AreaView address;
  if (!parse_chunk(chunk, text, address)) return;
  scan_area(text, query.text, out);
  scan_area(address, query.address, out);
}

}  // namespace zavro::registry::search
