"""Writes the "## Reader" section of bench/results.md from bench/run's reader
group, in place of the one there (the other sections stay as they are).
Usage: reader_results.py OUT_DIR RESULTS_MD"""
import json
import os
import re
import sys

from results_md import write_section

out, results = sys.argv[1:3]


def load(name):
    return open(os.path.join(out, name)).read()


rate = json.loads(load("reader-rate.json"))
mix = json.loads(load("reader-mix.json"))
total = sum(mix.values())
load_average = load("reader-load").strip()

# How many files each one reads: zavro-record's ok and ambiguous records,
# Python's files that parse and hold all six elements.
statuses = {}
for line in load("reader-show.txt").splitlines():
    status = json.loads(line)["status"]
    statuses[status] = statuses.get(status, 0) + 1
reads = {
    "zavro-record show --json": statuses.get("ok", 0) + statuses.get("ambiguous", 0),
    "python3 xml.etree": int(re.match(r"read (\d+) of", load("reader-etree.txt")).group(1)),
}

rows = {}
if os.path.exists(os.path.join(out, "reader.json")):
    rss = dict(line.rstrip("\n").split("\t") for line in open(os.path.join(out, "reader.rss")))
    for r in json.load(open(os.path.join(out, "reader.json")))["results"]:
        rows[r["command"]] = (len(r["times"]), r["median"] * 1000, (r["user"] + r["system"]) * 1000,
                              int(rss[r["command"]]))

cpu = "?"
for line in open("/proc/cpuinfo"):
    if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break

lines = ["## Reader", ""]
lines.append("Machine: %s; %d CPUs; load average before the group %s.  " % (
    cpu, os.cpu_count(), load_average))
lines.append("Parse and decode on one core: `bench/reader_bench.cpp` (g++ -O2, pinned with taskset) over "
             "%d distinct records written by the tool's own code (mean %.0f bytes), looped; each step "
             "runs %d times for %.0f s of the thread's CPU time, the two steps in turn. Rates are per CPU "
             "second: the median, and the slowest and fastest run." % (
                 rate["records"], rate["mean_bytes"], rate["runs"], rate["seconds"]))
lines.append("")
lines.append("| step | records/s (median) | MB/s | slowest run | fastest run |")
lines.append("|---|---:|---:|---:|---:|")
for label, key in (("parse", "parse"), ("parse + decode", "parse_decode")):
    r = rate[key]
    lines.append("| %s | %d | %.1f | %d | %d |" % (label, r["records_per_s"], r["mb_per_s"], r["min"],
                                                   r["max"]))
lines.append("")
mix_text = ", ".join("%d %s" % (n, k) for k, n in mix.items())
lines.append("`zavro-record show --json` (one process for all files) against `python3` with "
             "`xml.etree.ElementTree` over the same %d files (%s: \"&\" or \"<\" in the host name, a host "
             "name in bytes 0x80-0xFF, 19-26 adapters cut at `<M18>`); hyperfine as above. Read: "
             "zavro-record's ok or ambiguous records; Python's files that parse and hold all six "
             "elements." % (total, mix_text))
lines.append("")
lines.append("| command | runs | median wall ms | user+sys ms | peak RSS KiB | files read |")
lines.append("|---|---:|---:|---:|---:|---:|")
for label, read in reads.items():
    if label in rows:
        runs, wall, cpu_ms, peak = rows[label]
        lines.append("| %s | %d | %.1f | %.1f | %d | %d of %d |" % (label, runs, wall, cpu_ms, peak,
                                                                  read, total))
    else:
        lines.append("| %s | - | - | - | - | %d of %d |" % (label, read, total))
lines.append("")
both = rate["parse_decode"]
lines.append("- %s: parse and decode at least 1,000,000 records/s on one core (median %d records/s, %.1f MB/s)" % (
    "MET" if both["records_per_s"] >= 1000000 else "NOT MET", both["records_per_s"], both["mb_per_s"]))
show = rows.get("zavro-record show --json")
etree = rows.get("python3 xml.etree")
if show and etree:
    ratio = etree[1] / show[1]
    lines.append("- %s: zavro-record show --json at least 4x faster than python3 xml.etree over the same "
                 "%d files (median wall %.1f ms against %.1f ms: %.2fx)" % (
                     "MET" if ratio >= 4 else "NOT MET", total, show[1], etree[1], ratio))
else:
    lines.append("- NOT MEASURED: zavro-record show --json at least 4x faster than python3 xml.etree")
section = "\n".join(lines) + "\n"

write_section(results, "Reader", section)
