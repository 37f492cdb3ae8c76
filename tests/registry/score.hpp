// Pairwise scores of a grouping of reports into machines against the truth,
// and the simpler rules other receivers tie reports by, as baselines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zavro::fleet {

struct Score {
  std::uint64_t reports = 0;
  std::uint64_t true_pairs = 0;   // pairs of reports from one machine
  std::uint64_t put_pairs = 0;    // pairs of reports put on one machine
  std::uint64_t right_pairs = 0;  // both
  double precision = 1.0;         // right / put; 1 when nothing was put together
  double recall = 1.0;            // right / true; 1 when no machine sent two
  double f1 = 1.0;
};

// truth[i] and machine[i] for the same report i; counts pairs per group and
// per intersection, never pair by pair.
Score score(const std::vector<std::int64_t>& truth, const std::vector<std::int64_t>& machine);

// The truth machines split over several machines and the machines holding
// reports of several truth machines, largest first, at most `limit` of each,
// one line each, with `describe(truth)` for what the truth machine was.
std::string explain(const std::vector<std::int64_t>& truth,
                    const std::vector<std::int64_t>& machine,
                    const std::function<std::string(std::int64_t)>& describe, std::size_t limit);

// Other receivers' rules, each tying reports in arrival order; the serial is
// the BIOS serial, else the board serial, in state value (a hand-kept list of
// placeholders, the reader's), trimmed and ignoring case.
enum class Peer {
  kSerial,             // the serial is the machine; without one, a machine per report
  kSerialName,         // the serial, else the machine name
  kSerialAddressName,  // the serial, else an address already seen, else the name
};
const char* name_of(Peer peer);

// Machine per report for reports that the reader reads as ok.
std::vector<std::int64_t> peer_machines(Peer peer, const std::vector<std::string>& reports);

}  // namespace zavro::fleet
