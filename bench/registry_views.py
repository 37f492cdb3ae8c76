"""The registry's views on a filled registry, from the command line and the API.

Usage: registry_views.py ZAVRO_RECORD DB OUT.json [--serve]
Times the first page of every listing, `machine` and `history` (wall, 10 runs
each), search over at least 100 queries made from the registry's own values
(whole serials, serial fragments, address fragments with and without
separators, name fragments), and `machines --json` of every machine (its rate
and peak RSS). With --serve, the same first pages and searches through a serve
on the same registry, and serve's peak RSS afterwards."""
import http.client
import json
import os
import random
import re
import statistics
import subprocess
import sys
import time

RUNS = 10


def run(argv):
    """(wall seconds, exit code, stdout, peak RSS KiB) of one command."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return wall, proc.returncode, out, usage.ru_maxrss


def summary(walls):
    walls = sorted(walls)
    p95 = walls[min(len(walls) - 1, int(round(0.95 * (len(walls) - 1))))]
    return {"median_ms": statistics.median(walls) * 1000, "p95_ms": p95 * 1000,
            "max_ms": walls[-1] * 1000, "runs": len(walls)}


def sample_machines(exe, db, rng):
    """Machine views of machines spread over the registry."""
    listed = []
    for after in [0] + [rng.randrange(1, 900000) for _ in range(9)]:
        _, _, out, _ = run([exe, "machines", "--db", db, "--json", "--limit", "20",
                            "--after", str(after)])
        listed += [json.loads(line)["machine"] for line in out.splitlines() if line.strip()]
    views = []
    for machine in listed[:60]:
        _, code, out, _ = run([exe, "machine", "--db", db, "--json", str(machine)])
        if code == 0:
            views.append(json.loads(out))
    return views


def queries_of(views, rng):
    """At least 100 queries of 4 or more characters, of every kind a desk types."""
    made = []
    for view in views:
        values = {v["field"]: v["value"] for v in view["values"]}
        for field in ("BiosSerial", "MotherboardSerial"):
            serial = values.get(field, "")
            if len(serial) >= 4:
                made.append(("serial", serial))
                cut = rng.randrange(0, len(serial) - 3)
                made.append(("serial fragment", serial[cut:cut + rng.randrange(4, min(9, len(serial) - cut + 1))]))
        address = values.get("MacAddresses", "")
        if len(address) == 17:
            hexes = address.replace(":", "")
            made.append(("address fragment", address[6:14]))
            made.append(("address fragment, no separators", hexes[4:10]))
        name = values.get("MachineName", "")
        if len(name) >= 5:
            cut = rng.randrange(0, len(name) - 3)
            made.append(("name fragment", name[cut:cut + 4]))
    made = [(kind, q) for kind, q in made if len(q) >= 4]
    rng.shuffle(made)
    return made[:200]


def cli_group(exe, db, views, queries):
    machine = views[0]["machine"]
    result = {"first_pages": {}, "search": {}}
    commands = {
        "machines": ["machines", "--limit", "100"],
        "clones": ["clones", "--limit", "100"],
        "placeholders": ["placeholders", "--limit", "100"],
        "rejected": ["rejected", "--limit", "100"],
        "machine": ["machine", str(machine)],
        "history": ["history", "--limit", "100", str(machine)],
    }
    for name, args in commands.items():
        walls = []
        for _ in range(RUNS):
            wall, code, _, _ = run([exe, args[0], "--db", db, *args[1:]])
            if code > 1:
                raise SystemExit(f"{name}: exit {code}")
            walls.append(wall)
        result["first_pages"][name] = summary(walls)
    walls, hits = [], 0
    for _, q in queries:
        wall, code, out, _ = run([exe, "machines", "--db", db, "--limit", "100", "--q", q])
        walls.append(wall)
        hits += out.count(b"\n") > 1
    result["search"] = summary(walls)
    result["search"]["queries_with_rows"] = hits
    wall, code, out, rss = run([exe, "machines", "--db", db, "--json"])
    count = out.count(b"\n")
    result["machines_json"] = {"machines": count, "seconds": wall, "per_second": count / wall,
                               "peak_rss_kib": rss, "exit": code}
    return result


class Api:
    def __init__(self, exe, db, work):
        self.err = open(os.path.join(work, "serve.err"), "wb")
        token_file = os.path.join(work, "serve.token")
        self.proc = subprocess.Popen([exe, "serve", "--db", db, "--listen", "127.0.0.1:0",
                                      "--token-file", token_file],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.err)
        deadline = time.time() + 60
        self.port = None
        while self.port is None and time.time() < deadline:
            with open(self.err.name, "rb") as f:
                found = re.search(rb"serving http://127\.0\.0\.1:(\d+)/", f.read())
            self.port = int(found.group(1)) if found else None
            time.sleep(0.05)
        if self.port is None:
            raise SystemExit("serve did not start")
        with open(token_file) as f:
            self.token = f.read().strip()
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)

    def get(self, path):
        start = time.perf_counter()
        self.conn.request("GET", path, headers={"Authorization": "Bearer " + self.token})
        response = self.conn.getresponse()
        body = response.read()
        if response.status != 200:
            raise SystemExit(f"GET {path}: {response.status} {body[:200]!r}")
        return time.perf_counter() - start, body

    def peak_rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=60)


def api_group(exe, db, views, queries, work):
    from urllib.parse import quote
    api = Api(exe, db, work)
    try:
        machine = views[0]["machine"]
        paths = {"machines": "/api/v1/machines", "clones": "/api/v1/clones",
                 "placeholders": "/api/v1/placeholders", "rejected": "/api/v1/rejected",
                 "machine": f"/api/v1/machines/{machine}",
                 "history": f"/api/v1/machines/{machine}/history"}
        result = {"first_pages": {}}
        for name, path in paths.items():
            api.get(path)
            result["first_pages"][name] = summary([api.get(path)[0] for _ in range(RUNS)])
        result["search"] = summary([api.get("/api/v1/machines?q=" + quote(q))[0] for _, q in queries])
        result["serve_peak_rss_kib"] = api.peak_rss_kib()
    finally:
        api.stop()
    return result


def main():
    exe, db, out = sys.argv[1:4]
    rng = random.Random(18)
    views = sample_machines(exe, db, rng)
    queries = queries_of(views, rng)
    result = {"queries": len(queries), "kinds": sorted({k for k, _ in queries}),
              "cli": cli_group(exe, db, views, queries)}
    if "--serve" in sys.argv[4:]:
        result["api"] = api_group(exe, db, views, queries, os.path.dirname(os.path.abspath(out)))
    with open(out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
