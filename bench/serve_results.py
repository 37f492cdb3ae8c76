"""Writes the "## Serve" section of bench/results.md from bench/run's serve
group, in place of the one there (the other sections stay as they are).
Usage: serve_results.py OUT_DIR/serve RESULTS_MD"""
import json
import os
import sys

from results_md import write_section

out, results = sys.argv[1:3]


def runs(name):
    """Every run's JSON line, in order."""
    try:
        return [json.loads(line) for line in open(os.path.join(out, name + ".json")) if line.strip()]
    except (OSError, ValueError):
        return []


def best(rows):
    """The run with the most requests/s among those that failed none."""
    sound = [r for r in rows if r["failed"] == 0]
    return max(sound, key=lambda r: r["rps"]) if sound else (rows[0] if rows else None)


def target(text, ok):
    if ok is None:
        return "- NOT MEASURED: " + text
    return "- %s: %s" % ("MET" if ok else "NOT MET", text)


add, find = runs("add"), runs("find")
add_idle, find_idle, idle = runs("add-idle"), runs("find-idle"), runs("idle")
page = (runs("page") or [None])[0]
facts = dict(line.rstrip("\n").split("\t", 1) for line in open(os.path.join(out, "facts.tsv")))
lines = ["## Serve", "",
         "`zavro-record serve` on a fresh SQLite registry on loopback; `bench/serve_load.cpp`: "
         "8 clients, each a keep-alive connection (cpp-httplib's client), one report per request; "
         "then the same beside 1,000 idle keep-alive connections (`bench/serve_idle.py`: each asked "
         "for one file, then silent; one the server closes is opened again). Each run twice, "
         "alternating; the better of the two is judged. Load average before: %s, after: %s. "
         "Peak RSS of serve: %s KiB." % (facts.get("load_before", "?"), facts.get("load_after", "?"),
                                         facts.get("peak_rss_kib", "?")), "",
         "| requests | idle connections | run | req/s | median ms | p99 ms | failed |",
         "|---|---:|---:|---:|---:|---:|---:|"]
for rows, label, idle_count in ((add, "POST /api/v1/reports (each a new report)", 0),
                                (add_idle, "POST /api/v1/reports (each a new report)", 1000),
                                (find, "POST /api/v1/find (one report)", 0),
                                (find_idle, "POST /api/v1/find (one report)", 1000)):
    for i, row in enumerate(rows):
        lines.append("| %s | %d | %d | %.0f | %.2f | %.2f | %d |" % (
            label, idle_count, i + 1, row["rps"], row["median_ms"], row["p99_ms"], row["failed"]))
if idle:
    lines.append("")
    lines.append("Idle connections: " + "; ".join(
        "%d held, %d opened in all, %d refused" % (r["held_at_end"], r["opened"], r["refused"])
        for r in idle))
if page:
    lines.append("")
    lines.append("Page first load: " + ", ".join("%s %d B" % kv for kv in page["files"].items()))
    if "signin_ms" in page:
        lines.append("")
        lines.append("The page in headless chromium on that registry (`bench/serve_page.py`): sign-in to "
                     "the first rows median %.0f ms, p95 %.0f ms (%d runs); a typed search to its rows, "
                     "the page's 150 ms pause included, median %.0f ms, p95 %.0f ms (%d runs)." % (
                         page["signin_ms"]["median"], page["signin_ms"]["p95"], page["signin_ms"]["runs"],
                         page["search_ms"]["median"], page["search_ms"]["p95"], page["search_ms"]["runs"]))
a, f, ai, fi = best(add), best(find), best(add_idle), best(find_idle)


def rps(row):
    return "%.0f" % row["rps"] if row else "-"


def kept(loaded, quiet):
    if not loaded or not quiet:
        return None
    return loaded["failed"] == 0 and loaded["rps"] >= 0.9 * quiet["rps"]


held = bool(idle) and all(r["held_at_end"] == r["idle"] and r["refused"] == 0 for r in idle)
lines += ["", "### Targets", ""]
lines.append(target("POST /api/v1/reports at least 5,000 requests/s on SQLite (%s)" % rps(a),
                    a and a["failed"] == 0 and a["rps"] >= 5000))
lines.append(target("its median latency under 2 ms (%s)" % (
    "%.2f ms" % a["median_ms"] if a else "-"), a and a["median_ms"] < 2))
lines.append(target("POST /api/v1/find at least 10,000 requests/s (%s)" % rps(f),
                    f and f["failed"] == 0 and f["rps"] >= 10000))
lines.append(target("1,000 idle keep-alive connections held open beside the load, none refused",
                    held if idle else None))
lines.append(target("adds beside them at least 90%% of adds without (%s against %s)" % (rps(ai), rps(a)),
                    kept(ai, a)))
lines.append(target("finds beside them at least 90%% of finds without (%s against %s)" % (rps(fi), rps(f)),
                    kept(fi, f)))
lines.append(target("the page's first load under 100 KB transferred (%s)" % (
    "%d bytes" % page["bytes"] if page else "-"), page and page["bytes"] < 100000))
section = "\n".join(lines) + "\n"

write_section(results, "Serve", section)
