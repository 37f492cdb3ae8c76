#include "registry/score.hpp"

#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "reader/reader.hpp"

namespace zavro::fleet {
namespace {

std::uint64_t pairs(std::uint64_t n) { return n * (n - 1) / 2; }

// Sums C(n, 2) over the runs of equal keys.
template <class Key>
std::uint64_t pairs_in_runs(std::vector<Key> keys) {
  std::sort(keys.begin(), keys.end());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i;
    while (j < keys.size() && keys[j] == keys[i]) ++j;
    total += pairs(j - i);
    i = j;
  }
  return total;
}

double ratio(std::uint64_t a, std::uint64_t b) {
  return b == 0 ? 1.0 : static_cast<double>(a) / static_cast<double>(b);
}

std::string normalized(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  std::string out;
  if (first == std::string_view::npos) return out;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  out.reserve(text.size());
  for (const char c : text) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

}  // namespace

Score score(const std::vector<std::int64_t>& truth, const std::vector<std::int64_t>& machine) {
  Score s;
  s.reports = truth.size();
  std::vector<std::pair<std::int64_t, std::int64_t>> both(truth.size());
  for (std::size_t i = 0; i < truth.size(); ++i) both[i] = {truth[i], machine.at(i)};
  s.true_pairs = pairs_in_runs(truth);
  s.put_pairs = pairs_in_runs(machine);
  s.right_pairs = pairs_in_runs(std::move(both));
  s.precision = ratio(s.right_pairs, s.put_pairs);
  s.recall = ratio(s.right_pairs, s.true_pairs);
  s.f1 = s.precision + s.recall == 0 ? 0 : 2 * s.precision * s.recall / (s.precision + s.recall);
  return s;
}

std::string explain(const std::vector<std::int64_t>& truth,
                    const std::vector<std::int64_t>& machine,
                    const std::function<std::string(std::int64_t)>& describe, std::size_t limit) {
  std::map<std::int64_t, std::map<std::int64_t, std::uint64_t>> by_truth;
  std::map<std::int64_t, std::map<std::int64_t, std::uint64_t>> by_machine;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    ++by_truth[truth[i]][machine[i]];
    ++by_machine[machine[i]][truth[i]];
  }
  // Largest loss of pairs first.
  const auto worst = [limit](const auto& groups) {
    std::vector<std::pair<std::uint64_t, std::int64_t>> order;
    for (const auto& [id, parts] : groups) {
      if (parts.size() < 2) continue;
      std::uint64_t total = 0;
      std::uint64_t within = 0;
      for (const auto& part : parts) {
        total += part.second;
        within += pairs(part.second);
      }
      order.emplace_back(pairs(total) - within, id);
    }
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    if (order.size() > limit) order.resize(limit);
    return order;
  };
  std::string out;
  for (const auto& [lost, id] : worst(by_truth)) {
    out += "split: truth " + std::to_string(id) + " (" + describe(id) + ") over machines";
    for (const auto& [m, n] : by_truth[id])
      out += " " + std::to_string(m) + "x" + std::to_string(n);
    out += "\n";
  }
  for (const auto& [lost, id] : worst(by_machine)) {
    out += "merged: machine " + std::to_string(id) + " holds";
    for (const auto& [t, n] : by_machine[id]) {
      out += " truth " + std::to_string(t) + "x" + std::to_string(n) + " (" + describe(t) + ")";
    }
    out += "\n";
  }
  return out;
}

const char* name_of(Peer peer) {
  switch (peer) {
    case Peer::kSerial:
      return "serial";
    case Peer::kSerialName:
      return "serial, else name";
    case Peer::kSerialAddressName:
      return "serial, else address, else name";
  }
  return "?";
}

std::vector<std::int64_t> peer_machines(Peer peer, const std::vector<std::string>& reports) {
  using reader::SerialState;
  std::unordered_map<std::string, std::int64_t> known;
  std::vector<std::int64_t> out;
  out.reserve(reports.size());
  std::int64_t machines = 0;
  std::vector<std::string> keys;
  for (const std::string& bytes : reports) {
    const reader::Parsed parsed = reader::parse(bytes);
    if (parsed.status != reader::Status::kOk) {
      out.push_back(machines++);
      continue;
    }
    const reader::Decoded decoded = reader::decode(parsed);
    // Keys in the order the peer tries them; a prefix keeps the kinds apart.
    keys.clear();
    if (decoded.bios == SerialState::kValue) {
      keys.push_back("s" + normalized(parsed.value(Key::kBiosSerial)));
    } else if (decoded.board == SerialState::kValue) {
      keys.push_back("s" + normalized(parsed.value(Key::kMotherboardSerial)));
    }
    if (peer == Peer::kSerialAddressName) {
      for (const reader::Address& a : decoded.addresses.addresses) {
        if (!a.local && !a.multicast && !a.zero) keys.push_back("a" + std::string(a.text()));
      }
    }
    if (peer != Peer::kSerial && (keys.empty() || peer == Peer::kSerialAddressName)) {
      keys.push_back("n" + normalized(parsed.value(Key::kMachineName)));
    }
    std::int64_t machine = -1;
    for (const std::string& key : keys) {
      const auto found = known.find(key);
      if (found != known.end()) {
        machine = found->second;
        break;
      }
    }
    if (machine < 0) machine = machines++;
    for (std::string& key : keys) known.emplace(std::move(key), machine);
    out.push_back(machine);
  }
  return out;
}

}  // namespace zavro::fleet
