"""Accounts: people's roles and robots' scopes against serve's routes, sign-in
limits, a foreign origin, expired and revoked tokens, secrets shown once and
never stored, and who the command line acts as.
Usage: serve_accounts_test.py <zavro-record> <case> [<PostgreSQL socket dir>]"""
import http.client
import json
import os
import pwd
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from serve_common import Server, record  # noqa: E402

exe, case = os.path.abspath(sys.argv[1]), sys.argv[2]
pg = sys.argv[3] if len(sys.argv) > 3 else None
work = tempfile.mkdtemp(prefix="zavro-accounts.")
REPORT = record("pc-1", "01", "BIOS1", "BOARD1")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def cli(db, *args, stdin=b""):
    """(exit status, stdout, stderr) of zavro-record ARGS --db DB."""
    done = subprocess.run([exe, *args, "--db", db], input=stdin, capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def new_db(name):
    if not pg:
        return os.path.join(work, name + ".sqlite")
    subprocess.run(["psql", "-X", "-q", "-d", f"postgresql:///postgres?host={pg}&user=zavro",
                    "-c", f"CREATE DATABASE {name}_{os.getpid()}"], check=True)
    return f"postgresql:///{name}_{os.getpid()}?host={pg}&user=zavro"


def password_file(name, password):
    path = os.path.join(work, name + ".pw")
    with open(path, "w") as f:
        f.write(password + "\n")
    return path


class Fixture:
    """A registry with an admin, a desk, a viewer and a token of each scope."""

    def __init__(self, name):
        self.db = new_db(name)
        self.secrets = {}
        code, out, err = cli(self.db, "user", "add", "ann", "--role", "admin", "--generate")
        check(code == 0, f"first user add: {code} {err}")
        self.secrets["ann"] = out.strip()
        self.admin = ["--as", "ann", "--password-file", password_file("ann", self.secrets["ann"])]
        for person, role in (("dan", "desk"), ("vic", "viewer")):
            self.secrets[person] = f"{person}-pass-{os.getpid()}"
            self.run("user", "add", person, "--role", role, *self.admin,
                     stdin=self.secrets[person].encode() + b"\n")
        for robot in ("intake", "read", "desk"):
            self.secrets["token:" + robot] = self.run("token", "add", robot, "--scope", robot,
                                                      *self.admin).strip()

    def run(self, *args, stdin=b""):
        code, out, err = cli(self.db, *args, stdin=stdin)
        check(code == 0, f"{args}: exit {code}: {err}")
        return out

    def serve(self):
        return Server(exe, work, db=self.db, name=f"serve-{time.time_ns()}")


def ask(s, method, path, body=None, headers=None, source="127.0.0.1"):
    conn = http.client.HTTPConnection("127.0.0.1", s.port, timeout=30, source_address=(source, 0))
    conn.request(method, path, body=body, headers=headers or {})
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response.status, response.headers, data


def sign_in(s, name, password, source="127.0.0.1"):
    """(status, the session cookie's header or None, the answer's body)."""
    status, headers, data = ask(s, "POST", "/api/v1/session",
                                 json.dumps({"name": name, "password": password}), source=source)
    cookie = headers.get("Set-Cookie", "")
    return status, (cookie.split(";")[0] if status == 204 else None), data


def session(s, name, password):
    status, cookie, data = sign_in(s, name, password)
    check(status == 204, f"{name} could not sign in: {status} {data!r}")
    return {"Cookie": cookie, "Origin": s.url}


def bearer(token):
    return {"Authorization": "Bearer " + token}


def within(seconds, condition, message):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            raise AssertionError(message)
        time.sleep(0.1)


def roles():
    f = Fixture("roles")
    s = f.serve()
    try:
        actors = {
            "nobody": {},
            "viewer": session(s, "vic", f.secrets["vic"]),
            "desk": session(s, "dan", f.secrets["dan"]),
            "admin": session(s, "ann", f.secrets["ann"]),
            "intake": bearer(f.secrets["token:intake"]),
            "read": bearer(f.secrets["token:read"]),
            "desk-token": bearer(f.secrets["token:desk"]),
            "token-file": bearer(s.token),
            "wrong-token": bearer("0" * 64),
        }
        routes = [("GET", "/api/v1/machines", None), ("GET", "/api/v1/rejected", None),
                  ("POST", "/api/v1/find", REPORT), ("POST", "/api/v1/reports", REPORT),
                  ("GET", "/api/v1/session", None)]
        # One row per actor, one status per route above.
        table = {
            "nobody":      (401, 401, 401, 401, 401),
            "viewer":      (200, 200, 200, 403, 200),
            "desk":        (200, 200, 200, 200, 200),
            "admin":       (200, 200, 200, 200, 200),
            "intake":      (403, 403, 200, 200, 200),
            "read":        (200, 200, 403, 403, 200),
            "desk-token":  (200, 200, 200, 200, 200),
            "token-file":  (200, 200, 200, 200, 200),
            "wrong-token": (401, 401, 401, 401, 401),
        }
        wrong = []
        for actor, statuses in table.items():
            for (method, path, body), want in zip(routes, statuses):
                got, _, data = ask(s, method, path, body, actors[actor])
                if got != want:
                    wrong.append(f"{actor} {method} {path}: {got}, not {want} {data[:120]!r}")
        check(not wrong, "\n".join(wrong))
        # Who each one is, as routes see it.
        for actor, who, role in (("viewer", "vic", "viewer"), ("intake", "token:intake", "intake"),
                                 ("token-file", "token-file", "admin")):
            me = json.loads(ask(s, "GET", "/api/v1/session", None, actors[actor])[2])
            check(me["who"] == who and me["role"] == role, f"{actor} seen as {me}")
        # A session follows the accounts as they change: a role, a removal.
        f.run("user", "role", "vic", "desk", *f.admin)
        within(5, lambda: ask(s, "POST", "/api/v1/reports", REPORT, actors["viewer"])[0] == 200,
               "vic made desk still may not add")
        f.run("user", "remove", "vic", *f.admin)
        within(5, lambda: ask(s, "GET", "/api/v1/machines", None, actors["viewer"])[0] == 401,
               "a removed person's session still reads")
        # With users, the token file's token is no way in for the page.
        status = ask(s, "POST", "/api/v1/session", s.token)[0]
        check(status == 401, f"token sign-in with users: {status}")
    finally:
        s.stop()


def limits():
    f = Fixture("limits")
    s = f.serve()
    try:
        # Per account: ten failures from ten addresses lock dan out, right
        # password or not, from an eleventh; ann still comes in from there.
        for i in range(10):
            status, _, _ = sign_in(s, "dan", "wrong", source=f"127.0.1.{i + 1}")
            check(status == 401, f"failure {i + 1}: {status}")
        status, _, data = sign_in(s, "dan", f.secrets["dan"], source="127.0.1.50")
        check(status == 429, f"the 11th sign-in for dan: {status} {data!r}")
        check(sign_in(s, "ann", f.secrets["ann"], source="127.0.1.50")[0] == 204,
              "another account was locked out with dan")
        # Per address: ten failures for any names from one address lock it.
        for i in range(10):
            name = "vic" if i % 2 else f"nobody{i}"
            check(sign_in(s, name, "wrong", source="127.0.2.1")[0] == 401, f"failure {i + 1}")
        check(sign_in(s, "vic", f.secrets["vic"], source="127.0.2.1")[0] == 429,
              "the 11th sign-in from one address was let in")
        check(sign_in(s, "vic", f.secrets["vic"], source="127.0.2.2")[0] == 204,
              "another address was locked out too")
        # A name that does not exist answers as a wrong password does, in about the same time.
        answers = {}
        for name in ("vic", "no-such-person"):
            times = []
            for i in range(3):
                start = time.monotonic()
                status, _, data = sign_in(s, name, "wrong", source=f"127.0.3.{len(answers) * 3 + i + 1}")
                times.append(time.monotonic() - start)
            answers[name] = (status, json.loads(data)["message"], min(times))
        (s1, m1, t1), (s2, m2, t2) = answers["vic"], answers["no-such-person"]
        check((s1, m1) == (s2, m2), f"a wrong name tells itself apart: {answers}")
        check(t2 > t1 / 3, f"a wrong name answers much faster: {t2:.4f}s against {t1:.4f}s")
    finally:
        s.stop()


def origin():
    f = Fixture("origin")
    s = f.serve()
    try:
        cookie = session(s, "dan", f.secrets["dan"])["Cookie"]
        host = f"127.0.0.1:{s.port}"
        cases = [
            ({"Origin": "http://evil.example"}, 403),
            ({"Origin": f"http://{host}", "Sec-Fetch-Site": "cross-site"}, 403),
            ({}, 403),
            ({"Origin": f"http://{host}"}, 200),
            ({"Sec-Fetch-Site": "same-origin"}, 200),
        ]
        for headers, want in cases:
            got, _, data = ask(s, "POST", "/api/v1/reports", REPORT, dict(headers, Cookie=cookie))
            check(got == want, f"session POST with {headers}: {got}, not {want} {data[:100]!r}")
        # A robot carries no cookie: where its request says it comes from does not matter.
        got = ask(s, "POST", "/api/v1/reports", REPORT,
                   dict(bearer(f.secrets["token:intake"]), Origin="http://evil.example"))[0]
        check(got == 200, f"an intake robot with an Origin: {got}")
    finally:
        s.stop()


def tokens():
    f = Fixture("tokens")
    s = f.serve()
    try:
        reader = bearer(f.secrets["token:read"])
        check(ask(s, "GET", "/api/v1/machines", None, reader)[0] == 200, "read token refused")

        def last_used():
            listed = [json.loads(line) for line in f.run("token", "list", "--json", *f.admin).splitlines()]
            return {t["name"]: t["last_used"] for t in listed}["read"]
        within(5, lambda: last_used() is not None, "token list never showed the last use")
        first = last_used()
        # Used again and again within the minute: not written again.
        time.sleep(1.2)
        for _ in range(20):
            ask(s, "GET", "/api/v1/machines", None, reader)
        time.sleep(2.5)
        check(last_used() == first, f"last use written again within a minute: {first} -> {last_used()}")

        # Expired (as if its days had passed), and revoked: refused soon after.
        if pg:
            subprocess.run(["psql", "-X", "-q", "-d", f.db, "-c",
                            "UPDATE token SET expires = 1 WHERE name = 'intake'"], check=True)
        else:
            with sqlite3.connect(f.db) as db:
                db.execute("UPDATE token SET expires = 1 WHERE name = 'intake'")
        within(5, lambda: ask(s, "POST", "/api/v1/reports", REPORT,
                               bearer(f.secrets["token:intake"]))[0] == 401, "an expired token let in")
        f.run("token", "revoke", "read", *f.admin)
        within(5, lambda: ask(s, "GET", "/api/v1/machines", None, reader)[0] == 401,
               "a revoked token let in")
        check(ask(s, "GET", "/api/v1/machines", None, bearer(f.secrets["token:desk"]))[0] == 200,
              "revoking one token refused another")
        listed = f.run("token", "list", *f.admin)
        check("(expired)" in listed.splitlines()[1] and "read" not in listed.split(),
              f"token list after expiry and revoke: {listed}")
    finally:
        s.stop()


def secrets():
    f = Fixture("secrets")
    given = f.secrets["dan"]
    s = f.serve()
    try:
        # In use once each, so that serve had every chance to log them.
        session(s, "dan", given)
        ask(s, "GET", "/api/v1/machines", None, bearer(f.secrets["token:read"]))
        time.sleep(1.5)
    finally:
        s.stop()
    shown = []
    for args in (("user", "list"), ("user", "list", "--json"), ("token", "list"),
                 ("token", "list", "--json")):
        code, out, err = cli(f.db, *args, *f.admin)
        shown.append(out + err)
    # Taken names: refused without a new secret.
    shown.append("".join(cli(f.db, "user", "add", "dan", "--role", "desk", "--generate", *f.admin)[1:]))
    shown.append("".join(cli(f.db, "token", "add", "read", "--scope", "read", *f.admin)[1:]))
    shown.append(s.stderr())
    stored = b""
    for suffix in ("", "-wal", "-journal"):
        if os.path.exists(f.db + suffix):
            with open(f.db + suffix, "rb") as fh:
                stored += fh.read()
    for name, secret in f.secrets.items():
        check(all(secret not in text for text in shown), f"{name}'s secret shown again")
        for form in (secret, secret.upper()):
            check(form.encode() not in stored, f"{name}'s secret stored in clear")
    check(len(stored) > 0, "no database bytes read")
    # Given on standard input, it is not echoed.
    code, out, err = cli(f.db, "user", "add", "eve", "--role", "viewer", *f.admin,
                         stdin=b"eve-secret-words\n")
    check(code == 0 and "eve-secret-words" not in out + err, f"user add echoed: {out} {err}")


def cli_actor():
    """Who the command line acts as: its login name's account, or --as."""
    login = pwd.getpwuid(os.geteuid()).pw_name
    db = new_db("cli")
    report = os.path.join(work, "one.rec")
    with open(report, "wb") as f:
        f.write(REPORT)
    boss = password_file("boss", "boss-password-1")
    as_boss = ["--as", "boss", "--password-file", boss]
    wrong = password_file("wrong", "not-the-password")

    def step(args, want, stdin=b"", says=""):
        code, out, err = cli(db, *args, stdin=stdin)
        check(code == want and says in err, f"{args}: exit {code}, not {want}: {err}")

    # Without users, anyone who can open it; the first user must be an admin.
    step(["add", report], 0)
    step(["rebuild"], 0)
    step(["token", "list"], 0)
    step(["audit"], 0)
    step(["user", "add", "x", "--role", "desk", "--generate"], 1, says="first user must be an admin")
    step(["user", "add", "boss", "--role", "admin"], 0, stdin=b"boss-password-1\n")
    # With users: the login name has no account.
    for args in (["add", report], ["rebuild"], ["user", "list"], ["token", "list"], ["audit"]):
        step(args, 1, says="has no account")
    step(["machines"], 0)
    step(["user", "list", *as_boss], 0)
    step(["user", "list", "--as", "boss"], 0, stdin=b"boss-password-1\n")
    step(["add", report, "--as", "boss"], 0, stdin=b"boss-password-1\n")
    step(["add", report, "--as", "boss", "--password-file", wrong], 1, says="name or password wrong")
    step(["add", report, "--as", "nobody", "--password-file", boss], 1, says="name or password wrong")
    step(["add", "-", "--as", "boss"], 1, stdin=REPORT, says="--password-file")
    step(["add", "-", *as_boss], 0, stdin=REPORT)
    step(["collect", "imaps://u@127.0.0.1:1/INBOX", "--as", "boss", "--as-password-file", wrong], 1,
         says="name or password wrong")
    # The login name's own account, by role.
    step(["user", "add", login, "--role", "viewer", *as_boss], 0, stdin=b"login-password-1\n")
    for role, add, manage in (("viewer", 1, 1), ("desk", 0, 1), ("admin", 0, 0)):
        step(["user", "role", login, role, *as_boss], 0)
        step(["add", report], add)
        step(["rebuild"], add)
        step(["user", "list"], manage)
        step(["audit"], manage)
    step(["user", "remove", "boss"], 0)
    step(["user", "remove", login], 1, says="last admin")
    step(["user", "role", login, "desk"], 1, says="last admin")


def audit():
    """The audit log: reads through serve with who and machines, an admin's
    only; every change with its actor; no read lost on a clean stop; rows
    that neither rebuild nor copy change."""
    f = Fixture("audit")

    def log(db, *args):
        # A copy holds the same people: the admin reads it too.
        code, out, err = cli(db, "audit", "--json", *args, *f.admin)
        check(code == 0, f"audit {args}: exit {code}: {err}")
        return [json.loads(line) for line in out.splitlines()]
    s = f.serve()
    viewer = session(s, "vic", f.secrets["vic"])
    admin = session(s, "ann", f.secrets["ann"])
    try:
        added = json.loads(ask(s, "POST", "/api/v1/reports", REPORT,
                               bearer(f.secrets["token:intake"]))[2])
        machine = added[0]["machine"]
        # The query is kept, a secret in it never.
        path = "/api/v1/machines?q=pc&token=s3cr3t-in-query"
        for _ in range(3):
            status, _, data = ask(s, "GET", path, None, viewer)
            check(status == 200 and json.loads(data)[0]["machine"] == machine, f"read: {status}")
        for who, want in (("vic", 403), ("token:read", 403), ("dan", 403), ("ann", 200)):
            headers = bearer(f.secrets["token:read"]) if who == "token:read" else (
                session(s, who, f.secrets[who]) if who != "ann" else admin)
            got = ask(s, "GET", "/api/v1/audit", None, headers)[0]
            check(got == want, f"{who} GET /api/v1/audit: {got}, not {want}")

        def reads():
            status, _, data = ask(s, "GET", f"/api/v1/audit?who=vic&machine={machine}", None, admin)
            return [r for r in json.loads(data) if r["action"] == "read"] if status == 200 else []
        within(5, lambda: len(reads()) == 3, "a viewer's reads never reached the audit log")
        row = reads()[0]
        check(row["route"] == "GET /api/v1/machines?q=pc&token=-" and row["machines"] == [machine]
              and row["machine_count"] == 1, f"read row: {row}")
        # Paged with its filters kept: one row a page, every one vic's.
        rows = []
        next_path = "/api/v1/audit?who=vic&limit=1"
        while next_path:
            status, headers, data = ask(s, "GET", next_path, None, admin)
            rows += json.loads(data)
            link = headers.get("Link", "")
            next_path = link[1:link.index(">")] if link.startswith("<") else None
        check(rows == reads(), f"pages: {rows}")
        # Reads just before a clean stop are all written.
        for _ in range(50):
            ask(s, "GET", f"/api/v1/machines/{machine}", None, viewer)
    finally:
        s.stop()
    got = [r for r in log(f.db, "--who", "vic") if r.get("route") == f"GET /api/v1/machines/{machine}"]
    check(len(got) == 50, f"{len(got)} of 50 reads logged after SIGTERM")
    # Every change names who made it, in its own row.
    for report in (record("pc-2", "02", "BIOS2", "BOARD2"), record("pc-1b", "01", "BIOS1", "BOARD1")):
        path = os.path.join(work, "r.rec")
        with open(path, "wb") as out:
            out.write(report)
        f.run("add", path, *f.admin)
    other = int(json.loads(f.run("machines", "--json").splitlines()[1])["machine"])
    second = int(json.loads(f.run("history", "--json", str(machine)).splitlines()[-1])["record"])
    for args in (["label", str(machine), "team=a"], ["merge", str(machine), str(other)],
                 ["split", str(machine), str(second)], ["void", str(second)], ["undo", "1"]):
        f.run(*args, "--reason", "audit test", *f.admin)
    rows = log(f.db)
    decided = [json.loads(line)["decision"] for line in f.run("decisions", "--json").splitlines()]
    made = [r["decision"] for r in rows if r["action"] == "decision" and r["who"] == "ann"]
    check(made == decided and len(made) == 5, f"decision rows {made}, decisions {decided}")
    changes = {(r["action"], r["who"], r.get("detail")) for r in rows}
    for want in (("user", pwd.getpwuid(os.geteuid()).pw_name, "add ann admin"),
                 ("user", "ann", "add vic viewer"), ("token", "ann", "add read read")):
        check(want in changes, f"no row {want}")
    adds = [r for r in rows if r["action"] == "add"]
    check([r["who"] for r in adds] == ["token:intake", "ann", "ann"] and
          adds[0]["records"] == [added[0]["record"]], f"add rows: {adds}")
    # Rows never change: rebuild appends its own, a copy keeps them all.
    f.run("rebuild", *f.admin)
    after = log(f.db)
    check(after[:len(rows)] == rows and after[-1]["action"] == "rebuild", "rebuild changed rows")
    copy = new_db("audit_copy")
    subprocess.run([exe, "copy", "--from", f.db, "--to", copy], check=True, capture_output=True,
                   timeout=60)
    check(log(copy) == after, "copy changed the audit rows")
    check([r["audit"] for r in log(copy, "--machine", str(other))] ==
          [r["audit"] for r in after if other in r["machines"]], "--machine differs from a scan")


def main():
    try:
        {"roles": roles, "limits": limits, "origin": origin, "tokens": tokens, "secrets": secrets,
         "cli": cli_actor, "audit": audit}[case]()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"serve accounts {case}: passed")


if __name__ == "__main__":
    main()
