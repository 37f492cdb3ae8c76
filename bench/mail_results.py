"""Writes the "## Mail" section of bench/results.md from bench/run's mail
group, in place of the one there (the other sections stay as they are).
Usage: mail_results.py OUT_DIR/mail RESULTS_MD"""
import os
import sys

from results_md import write_section

out, results = sys.argv[1:3]
facts = {}
for line in open(os.path.join(out, "facts.tsv")):
    key, value = line.rstrip("\n").split("\t", 1)
    facts[key] = value


def run(label):
    """wall, user, sys, peak RSS KiB, stored, rejected; or None."""
    if label not in facts:
        return None
    wall, user, system, rss, stored, rejected = facts[label].split()
    return float(wall), float(user), float(system), int(rss), int(stored), int(rejected)


def target(text, ok):
    if ok is None:
        return "- NOT MEASURED: " + text
    return "- %s: %s" % ("MET" if ok else "NOT MET", text)


lines = ["## Mail", "",
         "Machine load average before the group %s, after it %s.  " % (
             facts.get("load_before", "?"), facts.get("load_after", "?")),
         "An mbox per count from `bench/mail_mbox.py` (%s): each message from its own sender, a "
         "text part and one report attached in base64; `taskset -c 0 zavro-record add --db REG "
         "MBOX` into an empty SQLite registry, once, under GNU time (`%%e %%U %%S %%M`)." % (
             facts.get("sizes", "?")), "",
         "| command | messages | wall s | user+sys s | messages/s | per CPU s | peak RSS KiB | "
         "stored | rejected |",
         "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
rates = {}
for count in (10000, 100000):
    r = run("add-%d" % count)
    if not r:
        continue
    wall, user, system, rss, stored, rejected = r
    rates[count] = (count / wall, count / (user + system), rss)
    lines.append("| zavro-record add (mbox) | %d | %.2f | %.2f | %.0f | %.0f | %d | %d | %d |" % (
        count, wall, user + system, count / wall, count / (user + system), rss, stored, rejected))
c = run("collect-10000")
if c:
    wall, user, system, rss, stored, rejected = c
    lines.append("| zavro-record collect (IMAPS, moved to Done) | 10000 | %.2f | %.2f | %.0f | %.0f | "
                 "%d | %d | %d |" % (wall, user + system, 10000 / wall, 10000 / (user + system), rss,
                                     stored, rejected))
c_rate = (10000 / c[0], c[3]) if c else None
big = rates.get(100000)
lines += ["", "### Targets", ""]
lines.append(target("add of an mbox of 100,000 messages at least 20,000 messages/s on one core "
                    "(%s)" % ("%.0f messages/s, %.0f per CPU second" % big[:2] if big else "-"),
                    big and big[0] >= 20000))
lines.append(target("collect of 10,000 messages from the throwaway server at least 2,000 "
                    "messages/s (%s)" % ("%.0f messages/s" % c_rate[0] if c_rate else "-"),
                    c_rate[0] >= 2000 if c_rate else None))
lines.append(target("peak RSS under 64 MiB whatever the message count (%s%s)" % (
    ", ".join("%d KiB for %d" % (v[2], k) for k, v in sorted(rates.items())) or "-",
    "; collect: %d KiB" % c_rate[1] if c_rate else ""),
    (all(v[2] < 65536 for v in rates.values()) and len(rates) == 2 and
     (c_rate is None or c_rate[1] < 65536)) if rates else None))
write_section(results, "Mail", "\n".join(lines) + "\n")
