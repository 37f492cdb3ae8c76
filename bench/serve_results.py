"""Writes the "## Serve" section of bench/results.md from bench/run's serve
group, in place of the one there (the other sections stay as they are).
Usage: serve_results.py OUT_DIR/serve RESULTS_MD"""
import json
import os
import sys

from results_md import write_section

out, results = sys.argv[1:3]


def load(name):
    path = os.path.join(out, name + ".json")
    try:
        return json.loads(open(path).read().strip().splitlines()[-1])
    except (OSError, ValueError, IndexError):
        return None


def target(text, ok):
    if ok is None:
        return "- NOT MEASURED: " + text
    return "- %s: %s" % ("MET" if ok else "NOT MET", text)


add, find, page = load("add"), load("find"), load("page")
facts = dict(line.rstrip("\n").split("\t", 1) for line in open(os.path.join(out, "facts.tsv")))
lines = ["## Serve", "",
         "`zavro-record serve` on a fresh SQLite registry on loopback; `bench/serve_load.cpp`: "
         "8 clients, each a keep-alive connection (cpp-httplib's client), one report per request. "
         "Load average before: %s, after: %s." % (facts.get("load_before", "?"),
                                                 facts.get("load_after", "?")), "",
         "| requests | clients | count | req/s | median ms | p99 ms | failed |",
         "|---|---:|---:|---:|---:|---:|---:|"]
for row, label in ((add, "POST /api/v1/reports (each a new report)"),
                   (find, "POST /api/v1/find (one report)")):
    if row:
        lines.append("| %s | %d | %d | %.0f | %.2f | %.2f | %d |" % (
            label, row["clients"], row["requests"], row["rps"], row["median_ms"], row["p99_ms"],
            row["failed"]))
if page:
    lines.append("")
    lines.append("Page first load: " + ", ".join("%s %d B" % kv for kv in page["files"].items()))
lines += ["", "### Targets", ""]
lines.append(target("POST /api/v1/reports at least 5,000 requests/s on SQLite (%s)" % (
    "%.0f" % add["rps"] if add else "-"), add and add["failed"] == 0 and add["rps"] >= 5000))
lines.append(target("its median latency under 2 ms (%s)" % (
    "%.2f ms" % add["median_ms"] if add else "-"), add and add["median_ms"] < 2))
lines.append(target("POST /api/v1/find at least 10,000 requests/s (%s)" % (
    "%.0f" % find["rps"] if find else "-"), find and find["failed"] == 0 and find["rps"] >= 10000))
lines.append(target("the page's first load under 100 KB transferred (%s)" % (
    "%d bytes" % page["bytes"] if page else "-"), page and page["bytes"] < 100000))
section = "\n".join(lines) + "\n"

write_section(results, "Serve", section)
