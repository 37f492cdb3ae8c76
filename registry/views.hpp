// What the registry's commands print: one JSON object per line with --json,
// otherwise aligned tables whose cells are safe on a terminal.
#pragma once

#include <functional>
#include <string>

#include "registry/registry.hpp"

namespace zavro::registry {

using LineSink = std::function<void(const std::string& line)>;

// add and find: one line per report (find's status names what it found).
std::string outcome_json(const Outcome& outcome, bool find);
std::string outcome_text(const Outcome& outcome, bool find);
// rebuild: one line per report that moved.
std::string move_json(const Move& move);
std::string move_text(const Move& move);

void machines(Registry& registry, bool json, const LineSink& out);
// False when there is no such machine.
bool history(Registry& registry, Id machine, bool json, const LineSink& out);
void placeholders(Registry& registry, bool json, const LineSink& out);
void clones(Registry& registry, bool json, const LineSink& out);
void rejected(Registry& registry, bool json, const LineSink& out);

// Search by text: machines --json lines of the machines with a report whose
// serial, address or name holds text (ASCII case folded; an address also
// without its separators). Empty text lists every machine.
void search_machines(Registry& registry, const std::string& text, const LineSink& out);
// One machine's machines --json line; false when there is no such machine.
bool machine(Registry& registry, Id id, const LineSink& out);

}  // namespace zavro::registry
