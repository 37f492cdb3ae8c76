"""8 clients on loopback post 10,000 reports in all to one zavro-record serve, some
the same bytes, some broken, while the command line adds beside it: every
distinct report is stored once, nothing is lost, and the server still answers.
With a PostgreSQL server's socket directory, the same against two serve
processes sharing one registry on it, 4 clients each.
Usage: serve_load_test.py <zavro-record> [<PostgreSQL socket directory>]"""
import hashlib
import http.client
import os
import sqlite3
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(__file__))
from serve_common import Server, record  # noqa: E402

exe = os.path.abspath(sys.argv[1])
pg = sys.argv[2] if len(sys.argv) > 2 else None
CLIENTS, TOTAL, DISTINCT, BROKEN = 8, 10000, 3000, 200


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def psql(database, sql):
    return subprocess.run(["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-d",
                           f"postgresql:///{database}?host={pg}&user=zavro", "-c", sql],
                          check=True, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout


def main():
    work = tempfile.mkdtemp(prefix="zavro-serve-load.")
    mac = lambda i: "00:1B:22:00:%02X:%02X" % (i >> 8, i & 255)  # noqa: E731
    good = [record(f"load-{i}", mac(i), f"LB{i:06d}", f"LM{i:06d}", 2 + i % 7)
            for i in range(DISTINCT)]
    broken = [b"<Node><Cpuid>%d" % i for i in range(BROKEN)]
    distinct = good + broken
    # Each distinct body at least once, the rest repeats, spread over the run.
    bodies = [distinct[i % len(distinct)] for i in range(TOTAL)]
    cli_dir = os.path.join(work, "cli")
    os.makedirs(cli_dir)
    cli_reports = [record(f"cli-{i}", mac(50000 + i), f"CB{i:06d}", f"CM{i:06d}") for i in range(300)]
    for i, data in enumerate(cli_reports):
        with open(os.path.join(cli_dir, f"{i}.rec"), "wb") as f:
            f.write(data)

    if pg:
        name = "load_" + os.path.basename(work).split(".")[-1].lower()
        name = "".join(c for c in name if c.isalnum() or c == "_")
        psql("postgres", f"CREATE DATABASE {name}")
        uri = f"postgresql:///{name}?host={pg}&user=zavro"
        servers = [Server(exe, work, db=uri, name=f"serve{i}") for i in range(2)]
    else:
        servers = [Server(exe, work)]
    s = servers[0]
    outcomes, errors, lock = [], [], threading.Lock()

    def client(part, s):
        conn = http.client.HTTPConnection("127.0.0.1", s.port, timeout=60)
        mine = []
        try:
            for body in part:
                mine.extend(s.json("POST", "/api/v1/reports", body, conn=conn))
        except Exception as e:  # noqa: BLE001 - reported below
            with lock:
                errors.append(repr(e))
        with lock:
            outcomes.extend(mine)

    threads = [threading.Thread(target=client, args=(bodies[c::CLIENTS], servers[c % len(servers)]))
               for c in range(CLIENTS)]
    for t in threads:
        t.start()
    cli = subprocess.run([exe, "add", "--db", s.db, cli_dir], capture_output=True, timeout=300,
                         stdin=subprocess.DEVNULL)
    for t in threads:
        t.join()
    try:
        check(not errors, f"client errors: {errors[:3]}")
        check(cli.returncode == 0, f"add beside serve: exit {cli.returncode} {cli.stderr[-300:]!r}")
        check(len(outcomes) == TOTAL, f"{len(outcomes)} outcomes for {TOTAL} reports")
        # Still answering, and knows every machine.
        machines = s.pages("/api/v1/machines?limit=1000")
        check(len(machines) == DISTINCT + len(cli_reports), f"{len(machines)} machines")
    finally:
        codes = [server.stop() for server in servers]
    for server, code in zip(servers, codes):
        check(code == 0, f"serve exited {code} on SIGTERM: {server.stderr()[-2000:]}")

    first = {}
    for o in outcomes:
        if o["status"] in ("stored", "rejected") and o["record"] not in first.values():
            check(o["digest"] not in first, f"{o['digest']} stored twice")
            first[o["digest"]] = o["record"]
    want = {hashlib.sha256(b).hexdigest() for b in distinct}
    check(set(first) == want, f"{len(set(first) ^ want)} reports stored other than once")
    if pg:
        digests = psql(name, "SELECT encode(digest, 'hex') FROM report").split()
        stored, count = set(digests), len(digests)
    else:
        with sqlite3.connect(f"file:{s.db}?mode=ro", uri=True) as db:
            stored = {bytes(r[0]).hex() for r in db.execute("SELECT digest FROM report")}
            count = db.execute("SELECT count(*) FROM report").fetchone()[0]
    cli_digests = {hashlib.sha256(b).hexdigest() for b in cli_reports}
    check(count == len(want | cli_digests) and stored == want | cli_digests,
          f"registry holds {count} reports, expected {len(want | cli_digests)}")
    print(f"serve load: {TOTAL} reports from {CLIENTS} clients to {len(servers)} serve, "
          f"{len(want)} distinct stored once")


main()
