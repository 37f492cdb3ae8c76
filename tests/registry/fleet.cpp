#include "registry/fleet.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <random>
#include <string_view>
#include <utility>

#include "record/record.hpp"

namespace zavro::fleet {
namespace {

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::uint64_t word() { return engine_(); }
  // Uniform in [0, n) by rejection: no library distribution, so the same
  // fleet on every standard library.
  std::uint64_t pick(std::uint64_t n) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t limit = max - max % n;
    for (;;) {
      const std::uint64_t x = engine_();
      if (x < limit) return x % n;
    }
  }
  int pick_int(int n) { return static_cast<int>(pick(static_cast<std::uint64_t>(n))); }
  bool chance(unsigned per_mille) { return pick(1000) < per_mille; }
  template <class T, std::size_t N>
  const T& of(const std::array<T, N>& table) {
    return table[pick(N)];
  }

 private:
  std::mt19937_64 engine_;
};

// Universally administered, unicast prefixes of physical adapters.
constexpr std::array<std::uint32_t, 12> kPhysicalOuis = {0xA4BB6D, 0x3C5282, 0xF8B46A, 0x001B21,
                                                         0xD89EF3, 0xB42E99, 0xE454E8, 0x18C04D,
                                                         0x7085C2, 0x8C1645, 0xF48E38, 0x40B076};
constexpr std::uint32_t kUsbDongleOui = 0x00E04C;
constexpr std::uint32_t kServerOuis[] = {0x3CFDFE, 0xB49691, 0x246E96};

constexpr std::array<std::string_view, 5> kBiosPlaceholders = {
    "To be filled by O.E.M.", "Default string", "System Serial Number", "0000000", "Not Specified"};
constexpr std::array<std::string_view, 5> kBoardPlaceholders = {
    "To be filled by O.E.M.", "Default string", "Base Board Serial Number", "0000000", "None"};
// Dummy board serials some vendors ship on every board; no table lists them.
constexpr std::array<std::string_view, 4> kDummyBoards = {"MB-1234567890", "BSN12345678901234567",
                                                          "M80-C3000200123", "ABCDEF0123456"};

// EDX and EAX of leaf 1 on real processors (the last ones as guests see them).
struct Cpu {
  std::uint32_t edx;
  std::uint32_t eax;
  bool intel;
};
constexpr std::array<Cpu, 14> kCpus = {{{0xBFEBFBFF, 0x906EA, true},
                                        {0xBFEBFBFF, 0x806EC, true},
                                        {0xBFEBFBFF, 0xA0655, true},
                                        {0xBFEBFBFF, 0x90672, true},
                                        {0xBFEBFBFF, 0xB06F2, true},
                                        {0xBFEBFBFF, 0x506E3, true},
                                        {0xBFEBFBFF, 0xC06F2, true},
                                        {0x178BFBFF, 0x800F82, false},
                                        {0x178BFBFF, 0x870F10, false},
                                        {0x178BFBFF, 0xA20F12, false},
                                        {0x178BFBFF, 0xA50F00, false},
                                        {0x178BFBFF, 0xB00F21, false},
                                        {0x0F8BFBFF, 0x50657, true},
                                        {0x078BFBFF, 0x830F10, false}}};
constexpr std::array<unsigned, 7> kCounts = {2, 4, 4, 8, 8, 12, 16};

std::string cpuid_text(const Cpu& cpu) {
  const unsigned stepping = cpu.eax & 0xF;
  const unsigned family = (cpu.eax >> 8) & 0xF;
  unsigned model = (cpu.eax >> 4) & 0xF;
  if (family == 0xF || (family == 6 && cpu.intel)) model |= ((cpu.eax >> 16) & 0xF) << 4;
  char text[32];
  std::snprintf(text, sizeof text, "%X%X%u", cpu.edx, cpu.eax, (model << 8) | stepping);
  return text;
}

// A bijection of [0, 36^7): counters become distinct tags that look random.
constexpr std::uint64_t kTagSpace = 78364164096ULL;  // 36^7
std::string tag(std::uint64_t counter, bool lower = false) {
  std::uint64_t x = (counter * 103476479ULL + 13370000000ULL) % kTagSpace;
  const char* digits =
      lower ? "0123456789abcdefghijklmnopqrstuvwxyz" : "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string out(7, '0');
  for (std::size_t i = 7; i-- > 0; x /= 36) out[i] = digits[x % 36];
  return out;
}

// A bijection of 24-bit values, so counted adapters get distinct addresses.
std::uint32_t scramble24(std::uint64_t counter) {
  std::uint32_t x = static_cast<std::uint32_t>(counter & 0xFFFFFF);
  x = (x * 0x9E3779u + 0x5A17u) & 0xFFFFFF;
  x ^= x >> 11;
  x = (x * 0x2C1B3Du) & 0xFFFFFF;
  x ^= x >> 13;
  return x;
}

enum class Kind {
  kPhysical,      // unique serials, 1-3 adapters
  kBoardAddin,    // placeholder BIOS serial; board and onboard adapter replaced, add-in stays
  kPlaceholders,  // listed placeholder serials: tied by addresses only
  kDummyBoard,    // an unlisted dummy board serial shared by many machines
  kDongleDesk,    // a USB adapter that moves between desks shows up beside the desk's own
  kVm,            // copies of one virtual machine, each with its own address
  kLocalOnly,     // only locally administered addresses, some random per report
  kLinux,         // the Linux build: serials only when run as root
};
const char* name_of(Kind kind) {
  switch (kind) {
    case Kind::kPhysical:
      return "physical";
    case Kind::kBoardAddin:
      return "board-swap-addin-stays";
    case Kind::kPlaceholders:
      return "placeholder-serials";
    case Kind::kDummyBoard:
      return "dummy-board-serial";
    case Kind::kDongleDesk:
      return "dongle-desk";
    case Kind::kVm:
      return "vm";
    case Kind::kLocalOnly:
      return "local-addresses-only";
    case Kind::kLinux:
      return "linux-root-sometimes";
  }
  return "?";
}

enum class Event { kRename, kNicAdd, kNicRemove, kNicReplace, kBoardSwap };
constexpr std::array<const char*, 5> kEventNames = {"rename", "nic-add", "nic-remove",
                                                    "nic-replace", "board-swap"};

struct Nic {
  std::uint64_t address = 0;  // 48 bits
  unsigned presence = 1000;   // per mille of reports it appears in
  bool random_local = false;  // a new locally administered address each report
};

struct Machine {
  Kind kind = Kind::kPhysical;
  std::string name;
  std::string cpuid;
  unsigned count = 4;
  std::vector<Nic> nics;
  std::string bios;
  std::string board;
  int board_style = 0;  // how a replacement board's serial is written
  bool text_mode = false;
  int dongle = -1;
  int reports = 1;
  int sent = 0;
  std::vector<std::pair<int, Event>> events;  // (report index it first shows in, what)
  std::string detail;                         // scenario detail beyond the kind
};

enum class Encoding { kBytes, kUtf8, kUtf16Le, kUtf16Be };

std::string encode(std::string text, Encoding encoding, bool text_mode) {
  if (text_mode) {
    std::string folded;
    folded.reserve(text.size() + 4);
    for (const char c : text) {
      if (c == '\n') folded += '\r';
      folded += c;
    }
    text = std::move(folded);
  }
  switch (encoding) {
    case Encoding::kBytes:
      return text;
    case Encoding::kUtf8:
      // The generator writes ASCII only, so the bytes are the UTF-8 already.
      return "\xEF\xBB\xBF" + text;
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be: {
      const bool le = encoding == Encoding::kUtf16Le;
      std::string out(le ? "\xFF\xFE" : "\xFE\xFF");
      out.reserve(2 + 2 * text.size());
      for (const char c : text) {
        if (le) {
          out += c;
          out += '\0';
        } else {
          out += '\0';
          out += c;
        }
      }
      return out;
    }
  }
  return text;
}

void append_address(std::string& out, std::uint64_t address) {
  static const char* const kHex = "0123456789ABCDEF";
  for (int i = 5; i >= 0; --i) {
    const auto octet = static_cast<unsigned>((address >> (8 * i)) & 0xFF);
    out += kHex[octet >> 4];
    out += kHex[octet & 0xF];
    if (i > 0) out += ':';
  }
}

}  // namespace

struct Generator::Impl {
  Params params;
  Random random;
  std::vector<Machine> machines;
  std::vector<std::uint64_t> dongles;
  std::vector<std::int32_t> schedule;  // machine per good report, arrival order
  std::size_t next_slot = 0;
  std::uint64_t emitted = 0;
  std::uint64_t tags = 1;
  std::uint64_t adapters = 1;
  bool empty_sent = false;
  std::vector<std::pair<std::uint64_t, Report>> resends;  // (due position, copy)

  explicit Impl(const Params& p) : params(p), random(p.seed) {
    build_machines();
    build_schedule();
  }

  std::string next_tag(bool lower = false) { return tag(tags++, lower); }

  // A distinct universally administered address under a prefix (distinct for
  // the first 2^24 of them: some twenty million reports).
  std::uint64_t new_address(std::uint32_t oui) {
    return (static_cast<std::uint64_t>(oui) << 24) | scramble24(adapters++);
  }
  std::uint64_t physical_address() { return new_address(random.of(kPhysicalOuis)); }
  std::uint64_t local_address() {
    std::uint64_t a = random.word() & 0xFFFFFFFFFFFFULL;
    a |= 0x020000000000ULL;   // locally administered
    a &= ~0x010000000000ULL;  // unicast
    return a;
  }

  void vendor_serials(Machine& m) {
    m.board_style = random.pick_int(3);
    m.bios = vendor_bios(m.board_style);
    m.board = vendor_board(m.board_style, m.bios);
  }
  std::string vendor_bios(int style) {
    switch (style) {
      case 0:
        return next_tag();
      case 1:
        return "CZC" + next_tag();
      default:
        return "PF" + next_tag();
    }
  }
  std::string vendor_board(int style, const std::string& bios) {
    switch (style) {
      case 0:
        return "/" + bios + "/CN" + next_tag() + "0A1/";
      case 1:
        return "PJ" + next_tag() + "K";
      default:
        return "L1HF" + next_tag() + "01";
    }
  }

  void add_physical_nics(Machine& m, int count) {
    for (int i = 0; i < count; ++i) {
      Nic nic;
      nic.address = physical_address();
      // The first adapter is always there; a Wi-Fi or dock adapter comes and goes.
      if (i > 0 && random.chance(300)) nic.presence = 600;
      m.nics.push_back(nic);
    }
  }

  // A Wi-Fi or VPN adapter with a randomised address, there in most reports:
  // it ties nothing, and it is why one machine's reports differ byte for byte.
  void maybe_roaming(Machine& m, unsigned per_mille) {
    if (random.chance(per_mille)) m.nics.push_back(Nic{0, 700, true});
  }

  void common(Machine& m) {
    const Cpu& cpu = random.of(kCpus);
    m.cpuid = cpuid_text(cpu);
    m.count = random.of(kCounts);
    m.reports = 1 + random.pick_int(2 * params.reports_per_machine - 1);
  }

  void maybe_event(Machine& m, unsigned per_mille, Event event) {
    if (m.reports < 2 || !random.chance(per_mille)) return;
    m.events.emplace_back(1 + random.pick_int(m.reports - 1), event);
  }

  std::string desktop_name() { return (random.chance(500) ? "DESKTOP-" : "LAPTOP-") + next_tag(); }

  void build_machines() {
    const int total = std::max(1, params.machines);
    machines.reserve(static_cast<std::size_t>(total));
    const int dongle_count = 1 + total / 400;
    for (int i = 0; i < dongle_count; ++i) dongles.push_back(new_address(kUsbDongleOui));

    while (static_cast<int>(machines.size()) < total) {
      const auto roll = random.pick(1000);
      Machine m;
      common(m);
      m.name = desktop_name();
      if (roll < 480) {
        m.kind = Kind::kPhysical;
        vendor_serials(m);
        add_physical_nics(m, 1 + random.pick_int(3));
        if (random.chance(40)) {
          // The Windows build writes a line feed in a value as CR LF.
          m.board += "\n";
          m.text_mode = true;
          m.detail += "+text-mode";
        }
        maybe_event(m, 120, Event::kRename);
        maybe_event(m, 80, Event::kNicAdd);
        if (m.nics.size() >= 2) maybe_event(m, 60, Event::kNicRemove);
        maybe_roaming(m, 700);
        maybe_event(m, 80, Event::kNicReplace);
        maybe_event(m, 50, Event::kBoardSwap);
      } else if (roll < 520) {
        m.kind = Kind::kBoardAddin;
        m.bios = std::string(random.of(kBiosPlaceholders));
        m.board_style = 1;
        m.board = vendor_board(1, m.bios);
        add_physical_nics(m, 2);
        for (Nic& nic : m.nics) nic.presence = 1000;
        maybe_roaming(m, 700);
        m.reports = std::max(m.reports, 2);
        m.events.emplace_back(1 + random.pick_int(m.reports - 1), Event::kBoardSwap);
        maybe_event(m, 100, Event::kRename);
      } else if (roll < 600) {
        m.kind = Kind::kPlaceholders;
        m.bios = std::string(random.of(kBiosPlaceholders));
        m.board = std::string(random.of(kBoardPlaceholders));
        add_physical_nics(m, 1 + random.pick_int(2));
        maybe_roaming(m, 700);
        maybe_event(m, 120, Event::kRename);
        maybe_event(m, 80, Event::kNicAdd);
      } else if (roll < 680) {
        m.kind = Kind::kDummyBoard;
        m.board = std::string(random.of(kDummyBoards));
        add_physical_nics(m, 1 + random.pick_int(2));
        maybe_roaming(m, 700);
        maybe_event(m, 120, Event::kRename);
        if (random.chance(600)) {
          m.bios = vendor_bios(1);
          maybe_event(m, 80, Event::kNicReplace);
        } else {
          m.bios = std::string(random.of(kBiosPlaceholders));
          m.detail += "+placeholder-bios";
          maybe_event(m, 80, Event::kNicAdd);
        }
      } else if (roll < 740) {
        m.kind = Kind::kDongleDesk;
        if (random.chance(700)) {
          vendor_serials(m);
        } else {
          m.bios = std::string(random.of(kBiosPlaceholders));
          m.board = std::string(random.of(kBoardPlaceholders));
          m.detail += "+placeholder-serials";
        }
        add_physical_nics(m, 1);
        maybe_roaming(m, 500);
        m.dongle = random.pick_int(static_cast<int>(dongles.size()));
        maybe_event(m, 120, Event::kRename);
      } else if (roll < 890) {
        add_vm_group(total);
        continue;
      } else if (roll < 950) {
        m.kind = Kind::kLocalOnly;
        vendor_serials(m);
        const int count = 1 + random.pick_int(2);
        for (int i = 0; i < count; ++i) {
          Nic nic;
          nic.address = local_address();
          nic.random_local = random.chance(500);
          m.nics.push_back(nic);
        }
        maybe_event(m, 100, Event::kRename);
      } else {
        m.kind = Kind::kLinux;
        m.name = "node-" + next_tag(true);
        vendor_serials(m);
        const int count = 1 + random.pick_int(3);
        for (int i = 0; i < count; ++i) {
          Nic nic;
          nic.address = new_address(kServerOuis[random.pick(3)]);
          m.nics.push_back(nic);
        }
        if (random.chance(500)) {
          Nic bridge;  // a container bridge: locally administered, new when recreated
          bridge.presence = 500;
          bridge.random_local = true;
          m.nics.push_back(bridge);
        }
      }
      std::sort(m.events.begin(), m.events.end());
      machines.push_back(std::move(m));
    }
  }

  std::string uuid() {
    char text[40];
    const std::uint64_t a = random.word();
    const std::uint64_t b = random.word();
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-%04llx-%012llx",
                  static_cast<unsigned long long>(a >> 32),
                  static_cast<unsigned long long>((a >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(a & 0xFFF),
                  static_cast<unsigned long long>(0x8000 | ((b >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return text;
  }

  void add_vm_group(int total) {
    Machine t;
    common(t);
    t.kind = Kind::kVm;
    t.name = "VM-" + next_tag();
    std::uint32_t prefix = 0;
    const auto roll = random.pick(100);
    if (roll < 55) {
      char text[80];
      const std::uint64_t a = random.word();
      const std::uint64_t b = random.word();
      const auto byte = [](std::uint64_t w, int i) {
        return static_cast<unsigned>((w >> (8 * i)) & 0xFF);
      };
      std::snprintf(text, sizeof text,
                    "VMware-56 4d %02x %02x %02x %02x %02x %02x-%02x %02x %02x %02x %02x %02x %02x "
                    "%02x",
                    byte(a, 0), byte(a, 1), byte(a, 2), byte(a, 3), byte(a, 4), byte(a, 5),
                    byte(b, 0), byte(b, 1), byte(b, 2), byte(b, 3), byte(b, 4), byte(b, 5),
                    byte(b, 6), byte(b, 7));
      t.bios = text;
      t.board = "None";
      prefix = random.chance(500) ? 0x005056 : 0x000C29;
      t.detail = "+vmware";
    } else if (roll < 80) {
      const auto digits = [&](int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += static_cast<char>('0' + random.pick(10));
        return out;
      };
      t.bios = digits(4) + "-" + digits(4) + "-" + digits(4) + "-" + digits(4) + "-" + digits(4) +
               "-" + digits(4) + "-" + digits(2);
      t.board = digits(4) + "-" + digits(4) + "-" + digits(4) + "-" + digits(4) + "-" + digits(4) +
                "-" + digits(4) + "-" + digits(2);
      prefix = 0x00155D;
      t.detail = "+hyper-v";
    } else if (roll < 92) {
      t.bios = "0";
      t.board = "0";
      prefix = 0x080027;
      t.detail = "+virtualbox";
    } else {
      // 52:54:00 is locally administered: a guest there is found by its
      // serial, the instance's own UUID, new for every copy.
      t.board = "Not Specified";
      prefix = 0x525400;
      t.detail = "+qemu";
    }
    const int copies = std::min(1 + random.pick_int(6), total - static_cast<int>(machines.size()));
    for (int i = 0; i < copies; ++i) {
      Machine m = t;
      if (prefix == 0x525400) m.bios = uuid();
      m.reports = 1 + random.pick_int(2 * params.reports_per_machine - 1);
      m.nics.push_back(Nic{new_address(prefix), 1000, false});
      maybe_roaming(m, 500);
      if (copies > 1) m.detail += "+one-of-" + std::to_string(copies) + "-copies";
      machines.push_back(std::move(m));
    }
  }

  void build_schedule() {
    std::size_t total = 0;
    for (const Machine& m : machines) total += static_cast<std::size_t>(m.reports);
    schedule.reserve(total);
    for (std::size_t i = 0; i < machines.size(); ++i) {
      for (int k = 0; k < machines[i].reports; ++k) {
        schedule.push_back(static_cast<std::int32_t>(i));
      }
    }
    for (std::size_t i = schedule.size(); i > 1; --i) {
      std::swap(schedule[i - 1], schedule[random.pick(i)]);
    }
  }

  void apply(Machine& m, Event event) {
    switch (event) {
      case Event::kRename:
        m.name = m.kind == Kind::kLinux ? "node-" + next_tag(true) : desktop_name();
        break;
      case Event::kNicAdd:
        m.nics.push_back(Nic{physical_address(), 1000, false});
        break;
      case Event::kNicRemove:
      case Event::kNicReplace: {
        // A fixed adapter: a randomised one changes every report anyway. The
        // first is kept on removal so that the machine has one.
        std::vector<std::size_t> fixed;
        for (std::size_t i = event == Event::kNicRemove ? 1 : 0; i < m.nics.size(); ++i) {
          if (!m.nics[i].random_local) fixed.push_back(i);
        }
        if (fixed.empty()) break;
        const std::size_t i = fixed[random.pick(fixed.size())];
        if (event == Event::kNicRemove) {
          m.nics.erase(m.nics.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          m.nics[i].address = physical_address();
        }
        break;
      }
      case Event::kBoardSwap:
        m.board = vendor_board(m.board_style, m.bios) + (m.text_mode ? "\n" : "");
        m.nics[0].address = physical_address();  // the onboard adapter goes with the board
        break;
    }
  }

  // The record as the tool writes it, built in one buffer: a million of them
  // through element() and record_of() took 40% longer.
  std::string record(Machine& m) {
    std::string bios = m.bios;
    std::string board = m.board;
    if (m.kind == Kind::kLinux && random.chance(500)) {
      bios = "not found";  // run without root: the DMI serial files cannot be read
      board = "not found";
    }
    std::string out;
    out.reserve(320 + 26 * m.nics.size());
    const auto open = [&out](Key key) { out.append("<").append(key_name(key)).append(">"); };
    const auto close = [&out](Key key) { out.append("</").append(key_name(key)).append(">"); };
    open_root(out);
    open(Key::kCpuid);
    out += m.cpuid;
    close(Key::kCpuid);
    open(Key::kMachineName);
    out += m.name;
    close(Key::kMachineName);
    open(Key::kProcessorCount);
    out += std::to_string(m.count);
    close(Key::kProcessorCount);
    open(Key::kMacAddresses);
    unsigned index = 0;
    const auto put = [&](std::uint64_t address) {
      const std::string i = std::to_string(index++);
      out.append("<M").append(i).append(">");
      append_address(out, address);
      out.append("</M").append(i).append(">");
    };
    for (const Nic& nic : m.nics) {
      if (nic.presence < 1000 && !random.chance(nic.presence)) continue;
      put(nic.random_local ? local_address() : nic.address);
    }
    if (m.dongle >= 0 && random.chance(600)) put(dongles[static_cast<std::size_t>(m.dongle)]);
    close(Key::kMacAddresses);
    open(Key::kBiosSerial);
    out += bios;
    close(Key::kBiosSerial);
    open(Key::kMotherboardSerial);
    out += board;
    close(Key::kMotherboardSerial);
    close_root(out);
    return out;
  }
  static void open_root(std::string& out) { out.append("<").append(kRootKey).append(">"); }
  static void close_root(std::string& out) { out.append("</").append(kRootKey).append(">"); }

  Encoding pick_encoding() {
    const auto roll = random.pick(1000);
    if (roll < 30) return Encoding::kUtf8;
    if (roll < 55) return Encoding::kUtf16Le;
    if (roll < 70) return Encoding::kUtf16Be;
    return Encoding::kBytes;
  }

  std::string broken() {
    const auto roll = random.pick(100);
    if (roll < 5 && !empty_sent) {
      empty_sent = true;
      return "";
    }
    if (roll < 30) {
      std::string out(1 + random.pick(400), '\0');
      for (char& c : out) c = static_cast<char>(random.pick(256));
      return out;
    }
    if (roll < 45) {
      // A value holding the text between two values: two readings fit.
      const std::string n = next_tag();
      return record_of({element("BFEBFBFF906EA40458", kKeyNames[0]),
                        element("DESKTOP-" + n, kKeyNames[1]), element("8", kKeyNames[2]),
                        element("", kKeyNames[3]),
                        element("A" + n + "</BiosSerial><MotherboardSerial>B" + n, kKeyNames[4]),
                        element("C" + n, kKeyNames[5])});
    }
    // Cut short: a record of a machine nobody else has, truncated.
    Machine m;
    common(m);
    m.name = desktop_name();
    vendor_serials(m);
    add_physical_nics(m, 1 + random.pick_int(2));
    const std::string bytes = encode(record(m), pick_encoding(), false);
    return bytes.substr(0, 1 + random.pick(bytes.size() - 1));
  }

  std::string member_name() const {
    char text[32];
    std::snprintf(text, sizeof text, "reports/%07llu.rec",
                  static_cast<unsigned long long>(emitted) + 1);
    return text;
  }

  bool next(Report& out) {
    for (auto it = resends.begin(); it != resends.end(); ++it) {
      if (it->first <= emitted || next_slot >= schedule.size()) {
        out = std::move(it->second);
        resends.erase(it);
        out.name = member_name();
        ++emitted;
        return true;
      }
    }
    if (next_slot >= schedule.size()) return false;
    if (random.chance(10)) {
      out.name = member_name();
      out.bytes = broken();
      out.truth_machine = -1;
      ++emitted;
      return true;
    }
    const std::int32_t id = schedule[next_slot++];
    Machine& m = machines[static_cast<std::size_t>(id)];
    for (const auto& [at, event] : m.events) {
      if (at == m.sent) apply(m, event);
    }
    ++m.sent;
    out.name = member_name();
    out.bytes = encode(record(m), pick_encoding(), m.text_mode);
    out.truth_machine = id;
    ++emitted;
    // The same file sent again a little later.
    if (random.chance(15)) resends.emplace_back(emitted + 1 + random.pick(40), out);
    return true;
  }
};

Generator::Generator(const Params& params) : impl_(std::make_unique<Impl>(params)) {}
Generator::~Generator() = default;

bool Generator::next(Report& out) { return impl_->next(out); }

int Generator::machines() const { return static_cast<int>(impl_->machines.size()); }

std::string Generator::scenario(int machine) const {
  const Machine& m = impl_->machines.at(static_cast<std::size_t>(machine));
  std::string out = name_of(m.kind);
  out += m.detail;
  for (const auto& [at, event] : m.events) {
    out.append("+").append(kEventNames[static_cast<std::size_t>(event)]).append("@");
    out += std::to_string(at);
  }
  return out;
}

std::vector<Report> generate(const Params& params) {
  Generator generator(params);
  std::vector<Report> out;
  Report report;
  while (generator.next(report)) out.push_back(std::move(report));
  return out;
}

}  // namespace zavro::fleet
