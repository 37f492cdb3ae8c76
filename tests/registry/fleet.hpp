// A fleet of machines whose reports arrive over time, with the truth of which
// machine sent each one: the registry's matching is scored against it.
// Deterministic for a seed on every standard library: the generator draws only
// raw 64-bit words from mt19937_64 and makes its own uniform picks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zavro::fleet {

struct Report {
  std::string name;  // "reports/0000001.rec", numbered in arrival order
  std::string bytes;
  int truth_machine = -1;  // -1: a broken file that must be rejected
};

struct Params {
  int machines = 1000;
  // Mean; each machine sends between 1 and twice this less one.
  int reports_per_machine = 4;
  std::uint64_t seed = 1;
};

class Generator {
 public:
  explicit Generator(const Params& params);
  ~Generator();
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  // The next report in arrival order; false when every report has been sent.
  bool next(Report& out);

  int machines() const;
  // What a truth machine was made to exercise, e.g. "physical+rename", for
  // explaining a split or a merge.
  std::string scenario(int machine) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole fleet at once, in arrival order.
std::vector<Report> generate(const Params& params);

}  // namespace zavro::fleet
