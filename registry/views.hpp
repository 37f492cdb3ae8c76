// What the registry's commands and its web API print: one JSON object per
// line with --json, RFC 4180 CSV with --csv, otherwise aligned tables whose
// cells are safe on a terminal. Views decide nothing: they format what the
// registry's queries return.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "registry/registry.hpp"
#include "registry/vendors.hpp"

namespace zavro::registry {

// The version of the registry commands' JSON lines.
inline constexpr int kLineSchema = 1;

using LineSink = std::function<void(const std::string& line)>;

enum class Format { kTable, kJson, kCsv };

// add and find: one line per report (find's status names what it found); a
// message without a report is "no-report", and what came by mail says so.
std::string outcome_json(const Outcome& outcome, bool find);
std::string outcome_text(const Outcome& outcome, bool find);
// rebuild: one line per report that moved.
std::string move_json(const Move& move);
std::string move_text(const Move& move);

// A page of a listing: limit (none: all) after the key given. Each returns
// true when more remain past the page.
struct Page {
  Id after = 0;
  std::optional<std::size_t> limit;
};

bool machines(Registry& registry, const MachineQuery& query, Format format, const LineSink& out);
// One machine as machines --json writes it.
std::string machine_json(const MachineListing& listing);
// One machine whole; nothing when there is no such machine.
std::optional<std::string> machine_view(Registry& registry, Id id, bool json,
                                        const Vendors* vendors = nullptr);
// Vendors for a machine's addresses, read for this view alone.
Vendors vendors_for(const MachineView& view);
// Nothing when there is no such machine.
std::optional<bool> history(Registry& registry, Id machine, const Page& page, bool json,
                            const LineSink& out);
bool placeholders(Registry& registry, const Page& page, bool json, const LineSink& out);
bool clones(Registry& registry, const Page& page, bool json, const LineSink& out);
bool rejected(Registry& registry, const Page& page, bool json, const LineSink& out);
// Messages that held no report, with the mail each came as.
bool rejected_messages(Registry& registry, const Page& page, bool json, const LineSink& out);

// People's decisions: one as decisions --json writes it, and as a line of text.
std::string correction_json(const Correction& correction);
std::string correction_text(const Correction& correction);
bool decisions(Registry& registry, const Page& page, bool json, const LineSink& out);
// Each label value with the count of machines carrying it; name's only when given.
void labels(Registry& registry, const std::optional<std::string>& name, bool json,
            const LineSink& out);

// A time as every line writes it: 2026-12-09T10:12:00Z.
std::string utc(std::int64_t seconds);

// A cell as a spreadsheet may read it: never a formula.
std::string csv_cell(std::string_view text);

}  // namespace zavro::registry
