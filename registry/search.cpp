#include "registry/search.hpp"

#include <string.h>  // memmem

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zavro::registry::search {
namespace {

constexpr std::string_view kMagic = "Z2";
// Each area's text stays below this, so that its ends fit 16 bits.
constexpr std::size_t kAreaBytes = 0xFFFF;
// The magic, each area's two counts, and the text area's size.
constexpr std::size_t kHeaderBytes = 2 + 2 * 8 + 4;

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

// The first index in [lo, end) for which before() is false, where before()
// holds for a prefix of them: looked for from lo by doubling steps, then
// halving, so that a walk through many hits in order stays short.
template <typename Before>
std::uint32_t gallop(std::uint32_t lo, std::uint32_t end, const Before& before) {
  std::uint32_t step = 1;
  std::uint32_t hi = lo;
  while (hi < end && before(hi)) {
    lo = hi + 1;
    hi = end - hi > step ? hi + step : end;
    step *= 2;
  }
  // before(lo - 1) holds (or lo is where we began), and hi is end or fails.
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (before(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// One area of a parsed chunk: entry i's text ends at end(i), the next starts
// one byte later; runs give each machine's first entry.
struct AreaView {
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

bool take_area(std::string_view& in, AreaView& area) {
  if (!take(in, area.count) || !take(in, area.run_count)) return false;
  const std::size_t need = std::size_t{12} * area.run_count + std::size_t{2} * area.count;
  if (in.size() < need || (area.count > 0 && area.run_count == 0)) return false;
  area.runs = in.data();
  area.ends = in.data() + std::size_t{12} * area.run_count;
  in.remove_prefix(need);
  return true;
}

// The two areas of a chunk; false when it does not parse.
bool parse_chunk(std::string_view chunk, AreaView& text, AreaView& address) {
  if (chunk.substr(0, kMagic.size()) != kMagic) return false;
  chunk.remove_prefix(kMagic.size());
  std::uint32_t text_size = 0;
  if (!take_area(chunk, text) || !take_area(chunk, address) || !take(chunk, text_size) ||
      text_size > chunk.size()) {
    return false;
  }
  text.bytes = chunk.substr(0, text_size);
  address.bytes = chunk.substr(text_size);
  // Ends must rise within their area and runs start in order, or a damaged
  // chunk could point anywhere.
  for (const AreaView* area : {&text, &address}) {
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

void scan_area(const AreaView& area, std::string_view needle, std::vector<Id>& out) {
  if (needle.empty() || area.count == 0) return;
  const std::string_view bytes = area.bytes;
  // Hits come in order: each entry and run is looked for from the last one
  // found, by doubling steps, so many hits cost little more than few.
  std::uint32_t entry = 0;
  std::uint32_t run = 0;
  std::size_t from = 0;
  while (from < bytes.size()) {
    std::size_t at = 0;
    if (needle.size() == 1) {
      const void* hit = std::memchr(bytes.data() + from, needle[0], bytes.size() - from);
      if (hit == nullptr) return;
      at = static_cast<std::size_t>(static_cast<const char*>(hit) - bytes.data());
    } else {
      at = find(bytes, from, needle);
      if (at == std::string_view::npos) return;
    }
    // The entry the hit is in: the first whose end lies past it. No needle
    // holds the zero byte between entries, so a hit never spans two.
    entry = gallop(entry, area.count, [&](std::uint32_t i) { return area.end(i) <= at; });
    if (entry == area.count) return;
    // Its machine: the last run starting at or before it.
    run = gallop(run, area.run_count, [&](std::uint32_t r) { return area.run_first(r) <= entry; });
    out.push_back(area.run_machine(run - 1));
    from = std::size_t{area.end(entry)} + 1;
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
    if (c != ':' && c != '-' && c != '.') q.address += c;
  }
  return q;
}

void ChunkBuilder::add(Id machine, Field field, std::string_view folded) {
  folded = folded.substr(0, kAreaBytes / 2);
  Area* area = field == Field::kText ? &text_ : &address_;
  // The chunk being built, not what is held: chunks already done must not
  // make every later entry a chunk of its own.
  if (area->bytes.size() + folded.size() + 1 > kAreaBytes ||
      kHeaderBytes + size() - done_bytes_ + folded.size() + 15 > kChunkBytes) {
    done_bytes_ += (done_.emplace_back(end_chunk())).size();
    area = field == Field::kText ? &text_ : &address_;
  }
  if (area->runs.empty() || area->runs.back().first != machine) {
    area->runs.emplace_back(machine, static_cast<std::uint32_t>(area->ends.size()));
  }
  area->bytes.append(folded);
  area->ends.push_back(static_cast<std::uint16_t>(area->bytes.size()));
  area->bytes += '\0';
  ++count_;
}

std::size_t ChunkBuilder::size() const {
  std::size_t size = done_bytes_;
  for (const Area* area : {&text_, &address_}) {
    size += area->bytes.size() + 2 * area->ends.size() + 12 * area->runs.size();
  }
  return size;
}

std::string ChunkBuilder::end_chunk() {
  std::string out(kMagic);
  for (const Area* area : {&text_, &address_}) {
    put(out, static_cast<std::uint32_t>(area->ends.size()));
    put(out, static_cast<std::uint32_t>(area->runs.size()));
    for (const auto& [machine, first] : area->runs) {
      put(out, machine);
      put(out, first);
    }
    for (const std::uint16_t end : area->ends) put(out, end);
  }
  put(out, static_cast<std::uint32_t>(text_.bytes.size()));
  out += text_.bytes;
  out += address_.bytes;
  text_ = Area();
  address_ = Area();
  count_ = 0;
  return out;
}

std::vector<std::string> ChunkBuilder::finish() {
  if (count_ > 0) done_.push_back(end_chunk());
  std::vector<std::string> out;
  out.swap(done_);
  done_bytes_ = 0;
  return out;
}

void entries(std::string_view chunk,
             const std::function<void(Id machine, Field field, std::string_view folded)>& each) {
  AreaView text;
  AreaView address;
  if (!parse_chunk(chunk, text, address)) return;
  for (const auto& [area, field] : {std::pair{&text, Field::kText}, {&address, Field::kAddress}}) {
    std::size_t start = 0;
    for (std::uint32_t i = 0; i < area->count; ++i) {
      const std::size_t end = area->end(i);
      each(area->machine(i), field, area->bytes.substr(start, end - start));
      start = end + 1;
    }
  }
}

void scan(std::string_view chunk, const Query& query, std::vector<Id>& out) {
  AreaView text;
  AreaView address;
  if (!parse_chunk(chunk, text, address)) return;
  scan_area(text, query.text, out);
  scan_area(address, query.address, out);
}

}  // namespace zavro::registry::search
