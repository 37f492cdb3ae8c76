"""zavro-record serve's HTTP API, through a real client on a loopback port.
Usage: serve_api_test.py <zavro-record>"""
import io
import json
import os
import socket
import stat
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
from serve_common import Server, record  # noqa: E402

exe = os.path.abspath(sys.argv[1])


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def archive(kind, members):
    out = io.BytesIO()
    if kind == "zip":
        with zipfile.ZipFile(out, "w") as z:
            for name, data in members:
                z.writestr(name, data)
    else:
        with tarfile.open(fileobj=out, mode={"tar": "w", "tgz": "w:gz"}[kind]) as t:
            for name, data in members:
                info = tarfile.TarInfo(name)
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
    return out.getvalue()


def cli(db, *args):
    done = subprocess.run([exe, *args, "--json", "--db", db], capture_output=True, timeout=60)
    return [json.loads(line) for line in done.stdout.splitlines()]


def main():
    work = tempfile.mkdtemp(prefix="zavro-serve-api.")
    s = Server(exe, work)
    try:
        run(s, work)
    finally:
        code = s.stop()
    check(code == 0, f"serve exited {code} on SIGTERM")
    # The token is told once: a second start with the same file says nothing of it.
    again = Server(exe, work)
    check(again.token not in again.stderr(), "the token was printed again on a later start")
    again.stop()
    refused(work)
    tls(work)
    print("serve API: all cases passed")


def tls(work):
    """HTTPS with a certificate and key given: the session cookie is Secure."""
    import http.client
    import ssl
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=localhost"],
                   check=True, capture_output=True, timeout=60)
    tls_work = os.path.join(work, "tls")
    os.makedirs(tls_work)
    s = Server(exe, tls_work, "--tls-cert", cert, "--tls-key", key)
    try:
        context = ssl.create_default_context(cafile=cert)
        context.check_hostname = False
        conn = http.client.HTTPSConnection("127.0.0.1", s.port, context=context, timeout=30)
        status, headers, _ = s.request("POST", "/api/v1/session", s.token, token=False, conn=conn)
        cookie = headers.get("Set-Cookie", "")
        check(status == 204 and "; Secure" in cookie, f"TLS session: {status} {cookie!r}")
        check(s.request("GET", "/api/v1/machines", conn=conn)[0] == 200, "Bearer over TLS refused")
    finally:
        s.stop()


def run(s, work):
    mode = stat.S_IMODE(os.stat(s.db + ".token").st_mode)
    check(mode == 0o600, f"token file mode {mode:o}")
    check(len(s.token) == 64 and s.token in s.stderr(), "a 256-bit token printed on first start")

    # Without the token nothing answers but 401, with nothing of the registry in it.
    s.json("POST", "/api/v1/reports", record("known", "01", "BS1", "MB1"))
    for method, path, token, headers in [
        ("GET", "/api/v1/machines", None, {}),
        ("GET", "/api/v1/machines/1", "x" * 64, {}),
        ("GET", "/api/v1/rejected", s.token[:-1], {}),
        ("GET", "/api/v1/clones", None, {"Authorization": "Basic " + s.token}),
        ("GET", "/api/v1/placeholders", None, {"Cookie": "zavro_session=" + s.token}),
        ("POST", "/api/v1/reports", None, {}),
        ("POST", "/api/v1/find", "", {}),
    ]:
        status, _, body = s.request(method, path, b"x", token=token, headers=headers)
        check(status == 401, f"{method} {path} {headers}: {status}")
        check(json.loads(body)["code"] == "unauthorized" and b"known" not in body
              and b"machine" not in body, f"401 says too much: {body!r}")
    check(len(s.json("GET", "/api/v1/machines")) == 1, "the unauthorized POST stored a report")

    # Adding: one report, archives of each kind, a duplicate, broken and oversize reports.
    a, b = record("alpha", "02", "BS2", "MB2"), record("alpha", "02", "BS2", "MB2", 4)
    big = record("big", "09", "BS9", "MB9") + b" " * 70000
    cases = [  # body, name, expected (file, status, match) per report
        (a, "a.rec", [("a.rec", "stored", "new")]),
        (a, "again.rec", [("again.rec", "duplicate", None)]),
        (b"<Node>broken", "broken.rec", [("broken.rec", "rejected", None)]),
        (big, "big.rec", [("big.rec", "rejected", None)]),
        (archive("tar", [("x/b.rec", b), ("x/c.rec", record("gamma", "03", "BS3", "MB3"))]), "t.tar",
         [("t.tar:x/b.rec", "stored", "changed"), ("t.tar:x/c.rec", "stored", "new")]),
        (archive("zip", [("d.rec", record("delta", "04", "BS4", "MB4")), ("a.rec", a)]), "z.zip",
         [("z.zip:d.rec", "stored", "new"), ("z.zip:a.rec", "duplicate", None)]),
        (archive("tgz", [("e.rec", record("epsilon", "05", "BS5", "MB5"))]), "e.tgz",
         [("e.tgz:e.rec", "stored", "new")]),
    ]
    machine_of = {}
    for body, name, expected in cases:
        got = s.json("POST", "/api/v1/reports?name=" + name, body)
        check([(o["file"], o["status"], o["match"]) for o in got] == expected, f"{name}: {got}")
        for o in got:
            machine_of[o["file"]] = o["machine"]
    check(machine_of["t.tar:x/b.rec"] == machine_of["a.rec"], "a changed report tied elsewhere")
    rejected = s.json("GET", "/api/v1/rejected")
    reasons = {r["file"]: r["reason"] for r in rejected}
    check("larger than 65536 bytes" in reasons.get("big.rec", ""), f"oversize: {reasons}")
    check("broken.rec" in reasons, f"broken report not kept: {reasons}")

    # Find: stores nothing, and names the machine.
    before = len(s.json("GET", "/api/v1/machines"))
    found = s.json("POST", "/api/v1/find", record("alpha", "02", "BS2", "MB2", 8))
    check(found["status"] == "ok" and found["machine"] == machine_of["a.rec"], f"find: {found}")
    check(s.json("POST", "/api/v1/find", a)["status"] == "duplicate", "find of stored bytes")
    check(s.json("POST", "/api/v1/find", record("zeta", "0A", "BSZ", "MBZ"))["machine"] is None,
          "find of an unknown machine")
    check(len(s.json("GET", "/api/v1/machines")) == before, "find stored something")

    # Search by name (any case), serial and address (with or without separators).
    for q, names in [("ALPH", ["alpha"]), ("bs3", ["gamma"]), ("mb4", ["delta"]),
                     ("00:1b:21:3a:4f:05", ["epsilon"]), ("3A4F04", ["delta"]),
                     ("nothing-like-it", []), ("", ["known", "alpha", "gamma", "delta", "epsilon"])]:
        got = [n for m in s.json("GET", "/api/v1/machines?q=" + q) for n in m["names"]]
        check(got == names, f"q={q}: {got}")

    # A machine and its history; errors as JSON with a stable code.
    m = s.json("GET", f"/api/v1/machines/{machine_of['a.rec']}")
    check(m["machine"]["names"] == ["alpha"] and len(m["history"]) == 2
          and m["history"][1]["changes"][0]["field"] == "ProcessorCount", f"machine page: {m}")
    for path, code in [("/api/v1/machines/999", "not_found"), ("/api/v1/nope", "not_found"),
                       ("/api/v1/machines/x", "not_found")]:
        status, _, body = s.request("GET", path)
        check(status == 404 and json.loads(body)["code"] == code, f"{path}: {status} {body!r}")

    # The listings are the command line's --json lines.
    for view in ["machines", "placeholders", "clones", "rejected"]:
        check(s.json("GET", "/api/v1/" + view) == cli(s.db, view), f"{view} differs from the CLI")

    # A body over the limit is refused from its length alone: nothing of it is sent.
    with socket.create_connection(("127.0.0.1", s.port), timeout=10) as sock:
        sock.sendall(f"POST /api/v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {s.token}"
                     f"\r\nContent-Length: {64 * 1024 * 1024 + 1}\r\n\r\n".encode())
        answer = ""
        while '"code"' not in answer and (chunk := sock.recv(65536)):
            answer += chunk.decode("latin-1")
    check(answer.startswith("HTTP/1.1 413") and '"code":"too_large"' in answer, answer[:200])

    # A small archive that unpacks past the limit is refused whole: nothing stored.
    before = len(s.json("GET", "/api/v1/rejected"))
    bomb = archive("tgz", [(f"z{i}", bytes(65536)) for i in range(1100)])
    status, _, body = s.request("POST", "/api/v1/reports", bomb)
    check(status == 413 and json.loads(body)["code"] == "too_large" and len(bomb) < 1 << 20,
          f"archive bomb: {status} {body[:200]!r}")
    check(len(s.json("GET", "/api/v1/rejected")) == before, "part of a refused archive was stored")

    # Headers: the page and the API alike, and never CORS.
    for path, token in [("/", False), ("/machines/1", False), ("/clones", False),
                        ("/placeholders", False), ("/rejected", False), ("/api/v1/machines", True),
                        ("/api/v1/machines", False)]:
        status, headers, body = s.request("GET", path, token=token,
                                          headers={"Origin": "http://evil.example"})
        check(status == (401 if path.startswith("/api") and not token else 200), f"{path}: {status}")
        csp = headers.get("Content-Security-Policy", "")
        check("script-src 'self'" in csp and "default-src 'none'" in csp, f"{path}: CSP {csp!r}")
        check(headers.get("X-Content-Type-Options") == "nosniff", f"{path}: no nosniff")
        check(not any(k.lower().startswith("access-control-") for k in headers), f"{path}: CORS")
        if not path.startswith("/api"):
            check(b"<script src=\"/app.js\"" in body, f"{path} is not the page")
    status, headers, _ = s.request("OPTIONS", "/api/v1/reports", token=False,
                                   headers={"Origin": "http://evil.example",
                                            "Access-Control-Request-Method": "POST"})
    check(not any(k.lower().startswith("access-control-") for k in headers), "preflight allowed")

    # Sign-in: a wrong token gets no cookie; the right one a strict, HttpOnly one.
    status, headers, _ = s.request("POST", "/api/v1/session", s.token[::-1], token=False)
    check(status == 401 and headers.get("Set-Cookie") is None, f"wrong token signed in: {status}")
    status, headers, _ = s.request("POST", "/api/v1/session", s.token, token=False)
    cookie = headers.get("Set-Cookie", "")
    check(status == 204 and "HttpOnly" in cookie and "SameSite=Strict" in cookie
          and "Secure" not in cookie, f"session cookie: {status} {cookie!r}")
    session = {"Cookie": cookie.split(";")[0]}
    check(s.request("GET", "/api/v1/clones", token=False, headers=session)[0] == 200, "cookie refused")
    status = s.request("DELETE", "/api/v1/session", token=False,
                       headers={**session, "Origin": s.url})[0]
    check(status == 204, f"sign-out from the page's origin: {status}")
    check(s.request("GET", "/api/v1/clones", token=False, headers=session)[0] == 401,
          "cookie still good after sign-out")


def refused(work):
    for args, status, message in [
        (["--listen", "0.0.0.0:0"], 2, "--insecure-http"),
        (["--listen", "[::]:0"], 2, "--insecure-http"),
        (["--listen", "192.0.2.1"], 2, "not ADDRESS:PORT"),
        (["--tls-cert", os.path.join(work, "none.pem")], 2, "go together"),
    ]:
        done = subprocess.run([exe, "serve", "--db", os.path.join(work, "registry.sqlite"), *args],
                              capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
        err = done.stderr.decode()
        check(done.returncode == status and message in err, f"{args}: {done.returncode} {err!r}")
    # Allowed when asked for: it starts (and is stopped at once).
    proc = subprocess.Popen([exe, "serve", "--db", os.path.join(work, "registry.sqlite"), "--listen",
                             "0.0.0.0:0", "--insecure-http"], stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    line = proc.stderr.readline().decode()
    proc.terminate()
    proc.wait(timeout=20)
    check(line.startswith("zavro-record: serving http://0.0.0.0:"), f"--insecure-http: {line!r}")


main()
