// The registry: every report received, stored once and tied to the machine
// that sent it. Storage sits behind registry/store.hpp; the rules that tie a
// report live in registry/tie.hpp and reader/rules.hpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "registry/digest.hpp"
#include "registry/input.hpp"

namespace zavro::registry {

using Id = std::int64_t;

// A registry that cannot be opened, read or written; the message names the
// cause and the path. The command exits 2 and the registry is as it was
// before the batch.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Status { kStored, kDuplicate, kRejected };
const char* name_of(Status status);

// What became of one report.
struct Outcome {
  std::string file;
  Status status = Status::kRejected;
  Id record = 0;                // the stored report (for a duplicate, the earlier one)
  std::optional<Id> machine;    // unset when rejected
  std::string match;            // "new", "same", "changed" or "clone"; empty when rejected
  std::string evidence = "{}";  // the decision's evidence, one JSON object
  std::string reason;           // rejected: why
  Digest digest{};
};
using OutcomeSink = std::function<void(const Outcome& outcome)>;

// One report's place after rebuild, when it differs from before.
struct Move {
  Id record = 0;
  std::optional<Id> from;
  std::optional<Id> to;
};

struct Assignment {
  Id record = 0;
  std::optional<Id> machine;  // unset for a rejected report
};

class Store;

// A postgresql:// or postgres:// URI (the registry on a server, the URI
// handed to libpq as it is); anything else names a SQLite file.
bool is_postgres_uri(std::string_view location);

class Registry {
 public:
  // Opens the registry at location; create makes it (directory 0700, file
  // 0600) when it is missing, otherwise a missing registry is an Error.
  static std::unique_ptr<Registry> open(const std::string& location, bool create);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // One add run: reports pushed in input order, stored in batches, each
  // batch one transaction; each outcome reaches the sink once its batch is
  // committed, in input order.
  class Adder {
   public:
    virtual ~Adder() = default;
    virtual void push(Item item) = 0;
    virtual void finish() = 0;
  };
  // Without evidence, outcomes carry "{}" and a batch holds less in memory.
  std::unique_ptr<Adder> adder(std::string note, OutcomeSink each, bool evidence = true);

  // Ties the report as add would and stores nothing. machine unset when it
  // ties to no known machine; evidence names every candidate weighed.
  Outcome find(const Item& item);

  // Every stored report tied again, in receipt order, with the placeholders
  // learned from all of them; each report that moved reaches the sink.
  // tick, when given, is called for each report tied (twice per report: the
  // first pass learns placeholders).
  void rebuild(const std::function<void(const Move& move)>& each,
               const std::function<void()>& tick = {});

  // Every report and its machine, in receipt order.
  std::vector<Assignment> assignments();

  // Every report, tie, machine and placeholder of from, in receipt order, into
  // this registry, which must be empty; one transaction on each side. tick,
  // when given, is called for each report.
  void copy_from(Registry& from, const std::function<void()>& tick = {});

  Store& store() { return *store_; }

 private:
  explicit Registry(std::unique_ptr<Store> store);
  std::unique_ptr<Store> store_;
  // What find keeps from one report to the next while the registry is unchanged.
  struct FindState;
  std::unique_ptr<FindState> find_state_;
};

}  // namespace zavro::registry
