"""Writes the "## Registry" section of bench/results.md from bench/run's
registry group, in place of the one there (the other sections stay as they are).
Usage: registry_results.py OUT_DIR/registry RESULTS_MD"""
import json
import os
import sys

from results_md import write_section

out, results = sys.argv[1:3]
RECEIVED = {"add-100000": 100000, "add-1000000": 1000000, "floor-1000000": 1000000}
LABELS = {"add-100000": "zavro-record add", "add-1000000": "zavro-record add",
          "floor-1000000": "python3 sqlite3 (floor)"}
PG_LABELS = {"pg-add-1000000": "zavro-record add, one process",
             "pg-add-2x500000": "zavro-record add, two processes at once (half each)",
             "pg-floor-1000000": "python3 psycopg2 (floor)"}

facts = {}
fleets = []
path = os.path.join(out, "facts.tsv")
for line in open(path) if os.path.exists(path) else ():
    key, _, value = line.rstrip("\n").partition("\t")
    if key == "fleet":
        fleets.append(value)
    else:
        facts[key] = value


def ingest(label):
    """wall, user, sys, peak KiB, bytes on disk, stored, rejected; None when not measured."""
    fields = facts.get(label, "").split()
    if len(fields) != 7:
        return None
    wall, user, system = (float(v) for v in fields[:3])
    rss, size, stored, rejected = (int(v) for v in fields[3:])
    return {"wall": wall, "cpu": user + system, "rss": rss, "size": size, "stored": stored,
            "rejected": rejected}


def hyperfine(name):
    path = os.path.join(out, name + ".json")
    if not os.path.exists(path):
        return {}
    rss = {}
    if os.path.exists(os.path.join(out, name + ".rss")):
        rss = dict(line.rstrip("\n").split("\t") for line in open(os.path.join(out, name + ".rss")))
    return {r["command"]: {"runs": len(r["times"]), "wall": r["median"],
                           "cpu": r["user"] + r["system"], "rss": int(rss.get(r["command"], 0))}
            for r in json.load(open(path))["results"]}


cpu = "?"
for line in open("/proc/cpuinfo"):
    if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break

runs = {label: ingest(label) for label in RECEIVED}
find = hyperfine("find").get("zavro-record find")
one = hyperfine("one")
find_counts = {}
path = os.path.join(out, "find.jsonl")
for line in open(path) if os.path.exists(path) else ():
    o = json.loads(line)
    if o["status"] == "duplicate":
        kind = "known report"
    elif o["status"] == "rejected":
        kind = "rejected"
    else:
        kind = "known machine" if o.get("machine") is not None else "no known machine"
    find_counts[kind] = find_counts.get(kind, 0) + 1
find_total = sum(find_counts.values())

lines = ["## Registry", ""]
lines.append("Machine: %s; %d CPUs; load average before the group %s, after it %s.  " % (
    cpu, os.cpu_count(), facts.get("load_before", "?"), facts.get("load_after", "?")))
lines.append("Fleets from `fleet-gen` (%s; %s, kept in `build/bench/registry-fleet` while fleet-gen's "
             "binary and the seeds stay the same): %s." % (
                 facts.get("key", "?"), "written for this run" if facts.get("cache") == "written"
                 else "reused from an earlier run", "; ".join(f.replace("fleet-gen: ", "")
                                                              for f in fleets) or "?"))
lines.append("Ingest: one run each into an empty registry in a temporary directory, "
             "`taskset -c 0 zavro-record add --db REG FLEET.tar.gz >/dev/null` under GNU time "
             "(`%e %U %S %M`); the floor is `taskset -c 0 /usr/bin/python3 bench/registry_floor.py` "
             "over the same archive (tarfile, one INSERT of name, bytes and sha256 per report, one "
             "transaction, WAL). Size: the file plus -wal and -shm once the command has ended, per "
             "report received and per report stored (stored: the tool's rows less the rejected ones "
             "it keeps; the rest of those received were duplicates).")
lines.append("")
lines.append("| command | reports | wall s | user+sys s | reports/s | per CPU s | peak RSS KiB | "
             "stored | rejected | registry bytes | bytes/received | bytes/stored |")
lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
for label, received in RECEIVED.items():
    r = runs[label]
    if r is None:
        lines.append("| %s | %d | - | - | - | - | - | - | - | - | - | - |" % (LABELS[label], received))
        continue
    lines.append("| %s | %d | %.2f | %.2f | %.0f | %.0f | %d | %d | %d | %d | %.0f | %s |" % (
        LABELS[label], received, r["wall"], r["cpu"], received / r["wall"],
        received / r["cpu"] if r["cpu"] else 0, r["rss"], r["stored"], r["rejected"], r["size"],
        r["size"] / received, "%.0f" % (r["size"] / r["stored"]) if r["stored"] else "-"))
lines.append("")
lines.append("find against the 1,000,000-report registry: `taskset -c 0 zavro-record find --db REG "
             "find-20000.tar.gz` (hyperfine, median of 3 runs after one warm-up; exit 1 ignored, as "
             "most reports are from no known machine) over 18,000 reports of a fleet from seed %s "
             "and every 500th report of the 1,000,000 (%d of them); what find said: %s. One file "
             "(member %s of the 1,000,000): `zavro-record find --db REG FILE` against "
             "`zavro-record check FILE`, hyperfine as in the other groups." % (
                 facts.get("other_seed", "?"), int(facts.get("known", "0")),
                 ", ".join("%d %s" % (n, k) for k, n in sorted(find_counts.items())) or "-",
                 facts.get("one", "?")))
lines.append("")
lines.append("| command | reports | runs | median wall ms | user+sys ms | reports/s | peak RSS KiB |")
lines.append("|---|---:|---:|---:|---:|---:|---:|")
if find:
    lines.append("| zavro-record find | %d | %d | %.1f | %.1f | %.0f | - |" % (
        find_total, find["runs"], find["wall"] * 1000, find["cpu"] * 1000, find_total / find["wall"]))
for label, r in one.items():
    lines.append("| %s | 1 | %d | %.2f | %.2f | - | %d |" % (label, r["runs"], r["wall"] * 1000,
                                                            r["cpu"] * 1000, r["rss"]))
lines.append("")


def target(text, ok):
    if ok is None:
        return "- NOT MEASURED: " + text
    return "- %s: %s" % ("MET" if ok else "NOT MET", text)


big, small, floor = runs["add-1000000"], runs["add-100000"], runs["floor-1000000"]
if big:
    rate = 1000000 / big["wall"]
    floor_rate = 1000000 / floor["wall"] if floor else None
    lines.append(target("ingest at least as fast as the Python floor in the same run, on one core "
                        "(%.0f reports/s, %.0f per CPU second; the floor: %s)" % (
                            rate, 1000000 / big["cpu"] if big["cpu"] else 0,
                            "%.0f" % floor_rate if floor_rate else "-"),
                        rate >= floor_rate if floor_rate else None))
    lines.append(target("peak RSS of the ingest under 64 MiB (%d KiB for 1,000,000 reports, %s for "
                        "100,000)" % (big["rss"], "%d KiB" % small["rss"] if small else "-"),
                        big["rss"] < 64 * 1024))
    lines.append(target("registry under 1 KiB per report (%.0f bytes per report received, %s per "
                        "report stored)" % (big["size"] / 1000000, "%.0f" % (
                            big["size"] / big["stored"]) if big["stored"] else "-"),
                        big["size"] / 1000000 < 1024 and big["stored"] > 0 and
                        big["size"] / big["stored"] < 1024))
else:
    for text in ("ingest at least 50,000 reports/s on one core", "peak RSS of the ingest under 64 MiB",
                 "registry under 1 KiB per report"):
        lines.append(target(text, None))
if find and find_total:
    rate = find_total / find["wall"]
    lines.append(target("find at least 20,000 reports/s in one process (%.0f reports/s)" % rate,
                        rate >= 20000))
else:
    lines.append(target("find at least 20,000 reports/s in one process", None))
f, c = one.get("zavro-record find (1 file)"), one.get("zavro-record check (1 file)")
if f and c:
    lines.append(target("find on one file within 3x of check on it (median wall %.2f ms against "
                        "%.2f ms: %.2fx)" % (f["wall"] * 1000, c["wall"] * 1000, f["wall"] / c["wall"]),
                        f["wall"] <= 3 * c["wall"]))
else:
    lines.append(target("find on one file within 3x of check on it", None))

# PostgreSQL
pg = {label: ingest(label) for label in PG_LABELS}
pg_find = hyperfine("pg-find").get("zavro-record find")
lines.append("")
lines.append("### PostgreSQL")
lines.append("")
lines.append("A throwaway PostgreSQL 15 server with its default settings on a Unix socket "
             "(`scripts/pg-throwaway`), on the same machine; each ingest into an empty database, "
             "not pinned to a core (the server is a process of its own), under GNU time: "
             "`zavro-record add --db postgresql:///DB?host=DIR FLEET.tar.gz`; two processes: "
             "the 1,000,000 reports dealt alternately into two archives, one add each, at once; "
             "the floor is `bench/registry_floor_pg.py` (tarfile, one psycopg2 INSERT of name, "
             "bytes and sha256 per report, one transaction). CPU is the client's only. Size: "
             "`pg_database_size` once the command has ended.")
lines.append("")
lines.append("| command | reports | wall s | client user+sys s | reports/s | peak RSS KiB | stored | "
             "rejected | database bytes |")
lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
for label, text in PG_LABELS.items():
    r = pg[label]
    if r is None:
        lines.append("| %s | 1000000 | - | - | - | - | - | - | - |" % text)
        continue
    lines.append("| %s | 1000000 | %.2f | %.2f | %.0f | %d | %d | %d | %d |" % (
        text, r["wall"], r["cpu"], 1000000 / r["wall"], r["rss"], r["stored"], r["rejected"],
        r["size"]))
pg_find_total = 0
path = os.path.join(out, "pg-find.jsonl")
for line in open(path) if os.path.exists(path) else ():
    pg_find_total += 1
if pg_find:
    lines.append("")
    lines.append("find over the same 20,000 reports against the 1,000,000-report database "
                 "(hyperfine, median of 3 runs after one warm-up): %.1f ms median wall, %.1f ms "
                 "user+sys." % (pg_find["wall"] * 1000, pg_find["cpu"] * 1000))
lines.append("")
one_pg, two_pg, floor_pg = pg["pg-add-1000000"], pg["pg-add-2x500000"], pg["pg-floor-1000000"]
if one_pg:
    lines.append(target("PostgreSQL: ingest at least 20,000 reports/s from one process (%.0f "
                        "reports/s%s)" % (1000000 / one_pg["wall"], "; the psycopg2 floor: %.0f" % (
                            1000000 / floor_pg["wall"]) if floor_pg else ""),
                        1000000 / one_pg["wall"] >= 20000))
else:
    lines.append(target("PostgreSQL: ingest at least 20,000 reports/s from one process", None))
if one_pg and two_pg:
    lines.append(target("PostgreSQL: two processes at once ingest faster than one (%.0f against "
                        "%.0f reports/s)" % (1000000 / two_pg["wall"], 1000000 / one_pg["wall"]),
                        two_pg["wall"] < one_pg["wall"]))
else:
    lines.append(target("PostgreSQL: two processes at once ingest faster than one", None))
if pg_find and pg_find_total:
    rate = pg_find_total / pg_find["wall"]
    lines.append(target("PostgreSQL: find at least 20,000 reports/s from one process (%.0f "
                        "reports/s)" % rate, rate >= 20000))
else:
    lines.append(target("PostgreSQL: find at least 20,000 reports/s from one process", None))

def views_section():
    """The views on the 1,000,000-report registry (bench/registry_views.py), both engines."""
    def load(name):
        path = os.path.join(out, name)
        return json.load(open(path)) if os.path.exists(path) else None
    lite, pg = load("views.json"), load("pg-views.json")
    part = ["", "### Views", ""]
    if not lite:
        return part + [target("the views on the 1,000,000-report registry", None)]
    part.append("`bench/registry_views.py` on the 1,000,000-report registries: the first page "
                "(`--limit 100`) of each listing, `machine` and `history`, 10 runs each, the "
                "command line (a process each) and the API (one keep-alive connection to a serve "
                "of the same registry); search: `machines --q Q --limit 100` and "
                "`GET /api/v1/machines?q=Q` over %d queries made from the registry's values (%s); "
                "`machines --json` of every machine, once." % (lite["queries"], ", ".join(lite["kinds"])))
    part.append("")
    part.append("| view | engine | command line median ms | max ms | API median ms | max ms |")
    part.append("|---|---|---:|---:|---:|---:|")
    engines = [("SQLite", lite)] + ([("PostgreSQL", pg)] if pg else [])
    for engine, v in engines:
        for name in list(v["cli"]["first_pages"]) + ["search"]:
            c = v["cli"]["search"] if name == "search" else v["cli"]["first_pages"][name]
            a = v.get("api", {}).get("search" if name == "search" else "first_pages", {})
            a = a if name == "search" else a.get(name, {})
            label = "search (p95)" if name == "search" else name
            cm = c["p95_ms"] if name == "search" else c["median_ms"]
            am = a.get("p95_ms" if name == "search" else "median_ms")
            part.append("| %s | %s | %.1f | %.1f | %s | %s |" % (
                label, engine, cm, c["max_ms"], "%.1f" % am if am is not None else "-",
                "%.1f" % a["max_ms"] if a else "-"))
    part.append("")
    for engine, v in engines:
        j = v["cli"]["machines_json"]
        part.append("`machines --json` on %s: %d machines in %.2f s, peak RSS %d KiB." % (
            engine, j["machines"], j["seconds"], j["peak_rss_kib"]))
    part.append("")
    pages = lite["cli"]["first_pages"]
    api = lite.get("api", {})
    slow = [n for n, r in pages.items() if r["median_ms"] >= 50]
    slow += ["API " + n for n, r in api.get("first_pages", {}).items() if r["median_ms"] >= 50]
    part.append(target("first pages, machine and history under 50 ms each, command line and API "
                       "(slowest: command line %.1f ms, API %s)" % (
                           max(r["median_ms"] for r in pages.values()),
                           "%.1f ms" % max(r["median_ms"] for r in api["first_pages"].values())
                           if api else "-"), not slow if api else None))
    part.append(target("search p95 under 50 ms (command line %.1f ms, API %s)" % (
        lite["cli"]["search"]["p95_ms"], "%.1f ms" % api["search"]["p95_ms"] if api else "-"),
        lite["cli"]["search"]["p95_ms"] < 50 and api["search"]["p95_ms"] < 50 if api else None))
    j = lite["cli"]["machines_json"]
    part.append(target("machines --json at least 100,000 machines/s (%.0f)" % j["per_second"],
                       j["per_second"] >= 100000))
    part.append(target("machines --json peak RSS under 64 MiB (%d KiB)" % j["peak_rss_kib"],
                       j["peak_rss_kib"] < 64 * 1024))
    if api:
        part.append(target("serve peak RSS under 128 MiB through the views (%d KiB)" %
                           api["serve_peak_rss_kib"], api["serve_peak_rss_kib"] < 128 * 1024))
    if pg:
        # The same latency targets, within 2x: 100 ms where SQLite has 50.
        pg_pages = max(r["median_ms"] for g in ("cli", "api") if g in pg
                       for r in pg[g]["first_pages"].values())
        pg_search = max(pg[g]["search"]["p95_ms"] for g in ("cli", "api") if g in pg)
        part.append(target("PostgreSQL: the same latencies within 2x, first pages under 100 ms and "
                           "search p95 under 100 ms (slowest first page %.1f ms, search p95 %.1f ms)"
                           % (pg_pages, pg_search), pg_pages < 100 and pg_search < 100))
    else:
        part.append(target("PostgreSQL: the same latencies within 2x", None))
    return part


lines += views_section()
section = "\n".join(lines) + "\n"

write_section(results, "Registry", section)
