"""Writes the "## Audit" section of bench/results.md from bench/run's audit
group, in place of the one there (the other sections stay as they are).
Usage: audit_results.py OUT_DIR/audit RESULTS_MD"""
import json
import os
import sys

from results_md import write_section

out, results = sys.argv[1:3]
facts = {}
for line in open(os.path.join(out, "facts.tsv")):
    key, value = line.rstrip("\n").split("\t", 1)
    facts[key] = value


def best_add(kind):
    """(wall, user+sys, rss, reports, audit rows, side-table rows) of the faster run, or None."""
    runs = []
    for round_ in (1, 2, 3):
        value = facts.get("add-%s-%d" % (kind, round_), "").split()
        if len(value) == 7:
            wall, user, system, rss, reports, rows, side = value
            runs.append((float(wall), float(user) + float(system), int(rss), int(reports),
                         int(rows), int(side)))
    return min(runs) if runs else None


def reads(label):
    path = os.path.join(out, "reads-%s.json" % label)
    try:
        return json.loads(open(path).read().strip().splitlines()[-1])
    except (OSError, ValueError, IndexError):
        return None


def find(label):
    value = facts.get(label, "").split()
    return float(value[0]) if value else None


def target(text, ok):
    if ok is None:
        return "- NOT MEASURED: " + text
    return "- %s: %s" % ("MET" if ok else "NOT MET", text)


lines = ["## Audit", "",
         "Machine load average before the group %s, after it %s.  " % (
             facts.get("load_before", "?"), facts.get("load_after", "?")),
         "Ingest: 200,000 reports (fleet-gen, seed 1) into an empty SQLite registry with "
         "`taskset -c 0 zavro-record add`, plain and after `user add LOGIN --role admin` "
         "(the add then acts as that admin), and, when given, by a build without the audit log; "
         "alternately, three times each, the fastest run kept. "
         "Every add writes its audit rows in the transaction of its reports.", "",
         "| registry | wall s | user+sys s | reports/s | peak RSS KiB | reports | audit rows | "
         "machine index rows |",
         "|---|---:|---:|---:|---:|---:|---:|---:|"]
plain, users, baseline = best_add("plain"), best_add("users"), best_add("baseline")
for name, r in (("plain", plain), ("with users", users),
                ("without the audit log (baseline)", baseline)):
    if r:
        lines.append("| %s | %.2f | %.2f | %.0f | %d | %d | %d | %d |" % (
            name, r[0], r[1], r[3] / r[0], r[2], r[3], r[4], r[5]))
lines += ["", "Reads: serve on the registry with users; 8 keep-alive clients "
          "(`bench/serve_load.cpp get`) send `GET /api/v1/machines?limit=1` 60,000 times while "
          "`zavro-record find` runs over 20,000 reports of another fleet (seed 2); find alone "
          "before. Read rows: those in the registry after serve stopped on SIGTERM, less those "
          "before.", "",
         "| serve | requests/s | median ms | p99 ms | failed | read rows written | find s beside it |",
         "|---|---:|---:|---:|---:|---:|---:|"]
for label, name in (("with", "audit log on"), ("without", "without the audit log (baseline)")):
    r = reads(label)
    if r:
        lines.append("| %s | %.0f | %.2f | %.2f | %d | %s | %s |" % (
            name, r["rps"], r["median_ms"], r["p99_ms"], r["failed"],
            facts.get("rows-" + label, "-") if label == "with" else "-",
            facts.get("find-" + label, "-").split()[0] if facts.get("find-" + label) else "-"))
alone = find("find-alone")
lines.append("")
lines.append("find alone: %s s." % ("%.2f" % alone if alone else "-"))
lines += ["", "### Targets", ""]
lines.append(target(
    "ingest with users and the audit log within 10%% of a plain registry (%s)" % (
        "%.2f s against %.2f s: %+.1f%%" % (users[0], plain[0], 100 * (users[0] / plain[0] - 1))
        if plain and users else "-"),
    users[0] <= 1.10 * plain[0] if plain and users else None))
if plain and baseline:
    lines.append("- the audit log's own cost on ingest: plain %.2f s against %.2f s without it "
                 "(%+.1f%%)." % (plain[0], baseline[0], 100 * (plain[0] / baseline[0] - 1)))
w = reads("with")
rows = int(facts["rows-with"]) if facts.get("rows-with", "").isdigit() else None
lines.append(target(
    "reads logged at 5,000 requests/s or more, every one written by a clean stop (%s)" % (
        "%.0f requests/s, %d of %d rows" % (w["rps"], rows, w["requests"]) if w and rows is not None
        else "-"),
    (w["rps"] >= 5000 and rows == w["requests"] and w["failed"] == 0)
    if w and rows is not None else None))
wo = reads("without")
if w and wo:
    lines.append("- serve's read rate with the audit log %.0f requests/s, without %.0f "
                 "(%+.1f%%); find beside the load %s s with, %s s without." % (
                     w["rps"], wo["rps"], 100 * (w["rps"] / wo["rps"] - 1),
                     facts.get("find-with", "-").split()[0],
                     facts.get("find-without", "-").split()[0]))
write_section(results, "Audit", "\n".join(lines) + "\n")
