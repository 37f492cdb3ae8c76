// The reader's throughput, and its test files, from records the tool's own code
// writes (format_cpuid, compose_addresses, the value buffer, elements, record).
// reader_bench rate [RECORDS [SECONDS]]: parse, and parse + decode, on this
//   thread, the median of 7 runs of SECONDS of CPU time each; one JSON line.
// reader_bench files DIR COUNT: COUNT record files for the show --json comparison.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "collectors/cpuid.hpp"
#include "collectors/mac_addresses.hpp"
#include "reader/reader.hpp"
#include "record/cpuid_value.hpp"
#include "record/record.hpp"

namespace {

using zavro::Key;

// Leaf-1 EDX and EAX of real processors; whether Windows folds the model.
struct Processor {
  std::uint32_t edx, eax;
  bool folded;
};
constexpr Processor kProcessors[] = {
    {0xBFEBFBFF, 0x000906EA, true}, {0xBFEBFBFF, 0x000A0655, true}, {0xBFEBFBFF, 0x000B06A2, true},
    {0xBFEBFBFF, 0x000C06F2, true}, {0xBFEBFBFF, 0x000806EC, true}, {0x178BFBFF, 0x00A20F12, true},
    {0x178BFBFF, 0x00800F82, true}, {0x178BFBFF, 0x00A60F12, true}, {0x178BFBFF, 0x00870F10, true},
    {0xBFEBFBFF, 0x000306C3, true},
};
// Adapter prefixes seen on desktops and laptops, one of them Hyper-V's.
constexpr std::uint8_t kPrefixes[][3] = {{0x3C, 0x7C, 0x3F}, {0xA4, 0xBB, 0x6D},
                                         {0x00, 0x15, 0x5D}, {0xF0, 0x2F, 0x74},
                                         {0xB0, 0x6E, 0xBF}, {0x00, 0xE0, 0x4C}};
constexpr const char* kPlaceholders[] = {"To be filled by O.E.M.", "Default string", "0", "None"};

enum class Kind { kPlain, kAmpersand, kLessThan, kHighBytes, kManyAdapters };
constexpr const char* kKindNames[] = {"plain", "ampersand", "less-than", "high-bytes",
                                      "many-adapters"};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : random_(seed) {}

  std::string record(Kind kind) {
    const Processor& p = kProcessors[below(std::size(kProcessors))];
    std::array<std::string, zavro::kKeyCount> returned;
    returned[0] = zavro::format_cpuid(p.edx, p.eax, zavro::revision_of(p.eax, p.folded));
    returned[1] = name(kind);
    returned[2] = std::to_string(std::array{2, 4, 8, 12, 16, 32}[below(6)]);
    std::vector<zavro::MacBytes> adapters(kind == Kind::kManyAdapters ? 19 + below(8)
                                                                      : 1 + below(4));
    for (zavro::MacBytes& a : adapters) {
      const auto& prefix = kPrefixes[below(std::size(kPrefixes))];
      a = {prefix[0], prefix[1], prefix[2], byte(), byte(), byte()};
    }
    returned[3] = zavro::compose_addresses(adapters);
    returned[4] = below(5) == 0 ? kPlaceholders[below(4)]
                                : text("0123456789ABCDEFGHJKLMNPRSTUVWXYZ", 8 + below(5));
    returned[5] = below(5) == 0 ? kPlaceholders[below(4)]
                                : "/" + text("0123456789ABCDEFGHJKLMNPRSTUVWXYZ", 7) + "/CN" +
                                      text("0123456789", 12) + "/";
    std::array<std::string, zavro::kKeyCount> elements;
    for (std::size_t k = 0; k < zavro::kKeyCount; ++k) {
      zavro::ValueBuffer buffer;
      elements[k] =
          zavro::element(zavro::pass_through_buffer(returned[k], buffer), zavro::kKeyNames[k]);
    }
    return zavro::record_of(elements);
  }

 private:
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }
  std::string text(const char* alphabet, std::size_t length) {
    const std::string a = alphabet;
    std::string out;
    for (std::size_t i = 0; i < length; ++i) out += a[below(a.size())];
    return out;
  }
  std::string name(Kind kind) {
    switch (kind) {
      case Kind::kAmpersand:
        return text("abcdefghijklmnopqrstuvwxyz", 3 + below(4)) + "&" +
               text("abcdefghijklmnopqrstuvwxyz", 3);
      case Kind::kLessThan:
        return "lab<" + text("0123456789", 1 + below(3));
      case Kind::kHighBytes:
        // One byte per letter, as an 8-bit code page writes "Müller-PC" or a Cyrillic name.
        return below(2) == 0 ? "M\xFCller-" + text("0123456789", 2)
                             : "\xCF\xCA-" + text("\xC0\xC1\xC2\xC3\xC4\xC5\xE0\xE1\xE2\xE3", 5);
      default:
        return below(2) == 0
                   ? "DESKTOP-" + text("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", 7)
                   : "ws-" + text("abcdefghijklmnopqrstuvwxyz", 4) + "-" + text("0123456789", 2);
    }
  }

  std::mt19937_64 random_;
};

// This thread's CPU time: the rate on one core, whatever else the machine runs.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Passes over the corpus until `seconds` of CPU time have gone by; records per CPU second.
template <class Step>
double rate(const std::vector<std::string>& records, double seconds, Step step,
            std::uint64_t& passes) {
  const double start = cpu_seconds();
  passes = 0;
  double elapsed = 0;
  do {
    for (const std::string& r : records) step(r);
    ++passes;
    elapsed = cpu_seconds() - start;
  } while (elapsed < seconds);
  return static_cast<double>(passes * records.size()) / elapsed;
}

int run_rate(std::size_t count, double seconds) {
  Generator generator(20261207);
  std::vector<std::string> records;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    records.push_back(generator.record(Kind::kPlain));
    bytes += records.back().size();
    // A record the reader does not take as ok would make the numbers meaningless.
    if (zavro::reader::parse(records.back()).status != zavro::reader::Status::kOk) {
      std::fprintf(stderr, "reader_bench: generated record %zu does not parse as ok\n", i);
      return 1;
    }
  }
  // Short runs, the two steps in turn, and the median of each: one slow
  // second on a shared machine moves a median little.
  constexpr std::size_t kRuns = 7;
  std::uint64_t sink = 0;
  std::uint64_t passes = 0;
  std::array<double, kRuns> parse_rates{};
  std::array<double, kRuns> both_rates{};
  for (std::size_t run = 0; run < kRuns; ++run) {
    parse_rates[run] = rate(
        records, seconds,
        [&sink](const std::string& r) { sink += zavro::reader::parse(r).value_length[1]; }, passes);
    both_rates[run] = rate(
        records, seconds,
        [&sink](const std::string& r) {
          const zavro::reader::Parsed parsed = zavro::reader::parse(r);
          sink += zavro::reader::decode(parsed).warnings.size();
        },
        passes);
  }
  std::sort(parse_rates.begin(), parse_rates.end());
  std::sort(both_rates.begin(), both_rates.end());
  const double mean = static_cast<double>(bytes) / static_cast<double>(count);
  const auto step = [mean](const char* name, const std::array<double, kRuns>& rates) {
    std::printf(
        "\"%s\": {\"records_per_s\": %.0f, \"mb_per_s\": %.1f, \"min\": %.0f, \"max\": %.0f}", name,
        rates[kRuns / 2], rates[kRuns / 2] * mean / 1e6, rates.front(), rates.back());
  };
  std::printf("{\"records\": %zu, \"mean_bytes\": %.1f, \"runs\": %zu, \"seconds\": %.1f, ", count,
              mean, kRuns, seconds);
  step("parse", parse_rates);
  std::printf(", ");
  step("parse_decode", both_rates);
  std::printf(", \"sink\": %llu}\n", static_cast<unsigned long long>(sink));
  return 0;
}

// Six in ten plain records; one in ten each of "&" and "<" in the host name,
// a host name in 8-bit bytes (0x80-0xFF), and 19-26 adapters (cut at 511).
int run_files(const std::string& dir, std::size_t count) {
  Generator generator(42);
  std::array<std::size_t, std::size(kKindNames)> made{};
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t slot = i % 10;
    const Kind kind = slot < 6 ? Kind::kPlain : static_cast<Kind>(slot - 5);
    char name[32];
    std::snprintf(name, sizeof name, "/r%05zu.xml", i);
    std::ofstream out(dir + name, std::ios::binary);
    out << generator.record(kind);
    if (!out) {
      std::fprintf(stderr, "reader_bench: cannot write %s%s\n", dir.c_str(), name);
      return 1;
    }
    ++made[static_cast<std::size_t>(kind)];
  }
  std::printf("{");
  for (std::size_t k = 0; k < made.size(); ++k) {
    std::printf("%s\"%s\": %zu", k ? ", " : "", kKindNames[k], made[k]);
  }
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "rate") {
    return run_rate(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000,
                    argc > 3 ? std::strtod(argv[3], nullptr) : 1.0);
  }
  if (command == "files" && argc == 4)
    return run_files(argv[2], std::strtoul(argv[3], nullptr, 10));
  std::fprintf(stderr, "usage: reader_bench rate [RECORDS [SECONDS]] | files DIR COUNT\n");
  return 2;
}
