"""zavro-record serve and add against hostile clients: each case names the
limit (app/serve_limits.hpp) it reaches. Bombs are made here, never stored.
Usage: serve_hostile_test.py <zavro-record> <case>
Cases: slow flood framing origin host bombs token limits drop"""
import io
import json
import lzma
import os
import pwd
import socket
import sqlite3
import stat
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from serve_common import Server, record  # noqa: E402

exe, case = os.path.abspath(sys.argv[1]), sys.argv[2]
work = tempfile.mkdtemp(prefix=f"zavro-hostile-{case}.")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def exchange(port, data, source="127.0.0.1", timeout=15):
    """Sends data on a fresh connection; (what came back, whether the server closed)."""
    sock = socket.socket()
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    sock.settimeout(timeout)
    try:
        sock.sendall(data)
    except OSError:
        pass  # closed on us mid-send: what it answered still counts
    got, closed = b"", False
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                closed = True
                break
            got += chunk
    except socket.timeout:
        pass
    except ConnectionResetError:
        closed = True
    sock.close()
    return got, closed


def answers(raw):
    """The statuses of the answers in raw, one after another, each body skipped by its length."""
    statuses = []
    while raw.startswith(b"HTTP/1.") and b"\r\n\r\n" in raw:
        head, raw = raw.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        statuses.append(lines[0].split(b" ")[1].decode())
        length = [int(line.split(b":")[1]) for line in lines if line.lower().startswith(b"content-length:")]
        raw = raw[length[0] if length else 0:]
    return statuses


def code_in(raw):
    return json.loads(raw.split(b"\r\n\r\n", 1)[1].split(b"\r\n")[0])["code"]


def reports(db):
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as conn:
        return conn.execute("SELECT count(*) FROM report").fetchone()[0]


def desk_answers_within(s, seconds, until):
    """A signed-in desk's request, again and again until until: each answered within seconds."""
    slowest = 0.0
    while time.time() < until:
        t0 = time.time()
        status, _, _ = s.request("GET", "/api/v1/machines")
        slowest = max(slowest, time.time() - t0)
        check(status == 200, f"desk request answered {status}")
        time.sleep(0.2)
    check(slowest < seconds, f"a desk request took {slowest:.2f} s")
    return slowest


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmHWM")).split()[1])


# --- slow connections: kHeaderDeadline (total, not per byte), kMinBodyBytesPerSecond after kBodyGrace
def slow():
    s = Server(exe, work, "--threads", "4")
    try:
        held, lock, closed_at = [], threading.Lock(), {}

        def trickle(i, body):
            sock = socket.create_connection(("127.0.0.1", s.port), timeout=30)
            if body:
                head = (f"POST /api/v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                        f"{s.token}\r\nContent-Length: 1000000\r\n\r\n").encode()
                sock.sendall(head)
            start = time.time()
            piece = b"x" * 100 if body else b"GET / HTTP/1.1\r\nX-Slow: " + b"a" * 200
            try:
                for k in range(200):  # one small piece every 2 s, for as long as it is let
                    sock.sendall(piece[k % len(piece):k % len(piece) + 1] if not body else piece)
                    time.sleep(2)
            except OSError:
                pass
            with lock:
                closed_at[i] = time.time() - start
            sock.close()

        # 200 trickling headers and 20 trickling bodies, far beyond --threads 4.
        for i in range(220):
            t = threading.Thread(target=trickle, args=(i, i >= 200), daemon=True)
            t.start()
            held.append(t)
        time.sleep(1)
        slowest = desk_answers_within(s, 2, time.time() + 9)
        for t in held:
            t.join(timeout=40)
        heads = [closed_at.get(i, 99) for i in range(200)]
        bodies = [closed_at.get(i, 99) for i in range(200, 220)]
        # Closed once the deadline passes (the sweep runs every 0.25 s), a send later.
        check(max(heads) < 16 and min(heads) > 8, f"header trickles closed after {min(heads):.1f}-{max(heads):.1f} s")
        check(max(bodies) < 16 and min(bodies) > 8, f"body trickles closed after {min(bodies):.1f}-{max(bodies):.1f} s")
        print(f"slow: 220 trickling connections closed after {min(heads + bodies):.1f}-"
              f"{max(heads + bodies):.1f} s; slowest desk request {slowest:.2f} s")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- header flood: kHeaderBytes (431), kMaxHeaders (431), a long request line (414)
def flood():
    s = Server(exe, work)
    try:
        # 1 MiB of 8 KiB header lines (what the kernel buffers is not the
        # server's to refuse); its answer must be there by then.
        sock = socket.create_connection(("127.0.0.1", s.port), timeout=15)
        sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        sent, line = 0, b"X-Flood: " + b"a" * 8181 + b"\r\n"
        try:
            while sent + len(line) <= 1 << 20:
                sock.sendall(line)
                sent += len(line)
        except OSError:
            pass
        sock.settimeout(5)
        try:
            got = sock.recv(65536)
        except OSError:
            got = b""
        sock.close()
        check(answers(got) == ["431"], f"flood of {sent} bytes answered {got[:100]!r}")
        many = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"".join(
            b"X-%d: 1\r\n" % i for i in range(120)) + b"\r\n"
        got, _ = exchange(s.port, many)
        check(answers(got) == ["431"] and code_in(got) == "headers_too_large", f"many headers: {got[:200]!r}")
        got, _ = exchange(s.port, b"GET /" + b"a" * 40000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        check(answers(got)[:1] in (["414"], ["431"]), f"long request line: {got[:100]!r}")
        check(s.request("GET", "/api/v1/machines")[0] == 200, "no answer after the flood")
        rss = peak_rss_kib(s.proc.pid)
        check(rss < 128 * 1024, f"peak RSS {rss} KiB after the flood")
        print(f"flood: 431 within {sent} bytes of headers; peak RSS {rss} KiB")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- framing: byte for byte on a raw socket
def framing():
    s = Server(exe, work, "--max-body", "1000")
    auth = f"Authorization: Bearer {s.token}\r\n".encode()
    report = record("framed", "31", "FR1", "FM1")
    smuggled = b"GET /app.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 16
    rows = [  # what is sent, the answers expected, whether the connection must end
        (b"POST /api/v1/find HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
         b"Content-Length: 5\r\nContent-Length: %d\r\n\r\n" % len(report) + report, ["400"], True),
        (b"POST /api/v1/find HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
         b"Content-Length: %d\r\nContent-Length: %d\r\n\r\n" % (len(report), len(report)) + report,
         ["400"], True),
        (b"POST /api/v1/find HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + b"Content-Length: 4\r\n"
         b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled, ["400"], True),
        (b"POST /api/v1/find HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
         b"Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + smuggled, ["400"], True),
        # Past --max-body: 413, and what follows in the body is never read as requests.
        (b"POST /api/v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
         b"Content-Length: %d\r\n\r\n" % (len(smuggled) + 2000) + smuggled, ["413"], True),
        # Unauthorized with a body: 401, the body unread, the connection ended.
        (b"POST /api/v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n"
         % len(smuggled) + smuggled, ["401"], True),
        # An empty upload stores nothing.
        (b"POST /api/v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
         b"Content-Length: 0\r\n\r\n", ["400"], False),
        # A sound request keeps its connection, and the next is answered on it.
        (b"GET /app.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 2, ["200", "200"], False),
    ]
    try:
        for sent, expected, must_close in rows:
            got, closed = exchange(s.port, sent, timeout=3)
            check(answers(got) == expected, f"{sent[:120]!r}: answers {answers(got)}, expected {expected}")
            if must_close:
                check(closed, f"{sent[:120]!r}: the connection stayed open")
            if expected[0] not in ("200",):
                check(b'"code":' in got, f"{sent[:80]!r}: no JSON error code")
        check(reports(s.db) == 0, "a refused request stored something")
        print(f"framing: {len(rows)} cases answered and closed as they must be")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- a signed-in page's state change only from its own origin
def origin():
    s = Server(exe, work)
    try:
        status, headers, _ = s.request("POST", "/api/v1/session", s.token, token=False)
        session = {"Cookie": headers["Set-Cookie"].split(";")[0]}
        rows = [  # extra headers, status expected
            ({"Origin": f"http://127.0.0.1:{s.port + 1}"}, 403),
            ({"Origin": "null"}, 403),
            ({"Origin": f"http://127.0.0.1:{s.port + 1}", "Content-Type": "text/plain"}, 403),
            ({"Sec-Fetch-Site": "same-site"}, 403),
            ({}, 403),
            ({"Origin": s.url, "Sec-Fetch-Site": "cross-site"}, 403),
            ({"Origin": s.url}, 200),
            ({"Origin": s.url.replace("http:", "https:")}, 200),  # behind a proxy ending TLS
            ({"Sec-Fetch-Site": "same-origin"}, 200),
        ]
        for i, (extra, expected) in enumerate(rows):
            body = record(f"origin-{i}", "%02X" % (0x40 + i), f"OR{i}", f"OM{i}")
            status, _, data = s.request("POST", "/api/v1/reports", body, token=False,
                                        headers={**session, **extra})
            check(status == expected, f"{extra}: {status}, expected {expected}")
            if status == 403:
                check(json.loads(data)["code"] == "forbidden", f"{extra}: {data!r}")
        check(reports(s.db) == 3, f"{reports(s.db)} reports stored, expected the 3 same-origin ones")
        # A cookie's read needs no origin; a robot's Bearer needs none either.
        check(s.request("GET", "/api/v1/machines", token=False, headers=session)[0] == 200, "cookie GET")
        check(s.request("POST", "/api/v1/find", record("x", "50", "X1", "X2"))[0] == 200, "Bearer POST")
        print(f"origin: {len(rows)} cookie requests judged by their origin")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- Host: the listening address, localhost, or --allowed-host
def host():
    s = Server(exe, work, "--allowed-host", "registry.example", "--allowed-host", "Proxy.Example")
    try:
        rows = [("evil.example", 421), (f"evil.example:{s.port}", 421), ("127.0.0.2", 421),
                ("registry.example.evil", 421), ("", 421), ("127.0.0.1:x", 421),
                (f"127.0.0.1:{s.port}", 200), ("localhost", 200), (f"LOCALHOST:{s.port}", 200),
                ("registry.example", 200), ("proxy.example:443", 200), ("registry.example.", 200)]
        for name, expected in rows:
            got, _ = exchange(s.port, f"GET /api/v1/machines HTTP/1.1\r\nHost: {name}\r\n"
                              f"Authorization: Bearer {s.token}\r\nConnection: close\r\n\r\n".encode())
            check(answers(got)[:1] == [str(expected)], f"Host {name!r}: {answers(got)}")
            if expected == 421:
                check(code_in(got) == "misdirected" and (not name or name.encode() not in got.split(b"\r\n\r\n")[1]),
                      f"Host {name!r}: {got[-200:]!r}")
        print(f"host: {len(rows)} Host headers judged")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- archive bombs: kXzMemoryLimit, kMaxMembers with kMemberOverhead, kUnpackedPerBodyByte, kUnpackCpu
def tar_header(name, size):
    header = bytearray(512)
    header[0:len(name)] = name
    header[100:108] = b"0000644\0"
    header[108:124] = b"0000000\0" * 2
    header[124:136] = b"%011o\0" % size
    header[136:148] = b"00000000000\0"
    header[156:157] = b"0"
    header[257:263] = b"ustar\0"
    header[263:265] = b"00"
    header[148:156] = b" " * 8
    header[148:156] = b"%06o\0 " % sum(header)
    return bytes(header)


def xz_asking(data, props):
    """data as xz whose block header asks for the dictionary LZMA2's property byte props names."""
    out = bytearray(lzma.compress(data, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC32,
                                  filters=[{"id": lzma.FILTER_LZMA2, "dict_size": 1 << 20}]))
    size, flags, at = (out[12] + 1) * 4, out[13], 14
    for bit in (0x40, 0x80):
        if flags & bit:
            while out[at] & 0x80:
                at += 1
            at += 1
    check(out[at:at + 2] == b"\x21\x01", "unexpected xz block header")
    out[at + 2] = props
    out[12 + size - 4:12 + size] = zlib.crc32(bytes(out[12:12 + size - 4])).to_bytes(4, "little")
    return bytes(out)


def bombs():
    tar = tar_header(b"r.rec", 10) + b"x" * 10 + bytes(502) + bytes(1024)
    dictionary = xz_asking(tar, 35)  # 768 MiB
    # 150,000 empty members: a small body, many reports.
    members = b"".join(tar_header(b"m%06d" % i, 0) for i in range(150000)) + bytes(1024)
    many = lzma.compress(members, preset=0)
    # 4 GiB of zeros in one member, as xz streams one after another.
    zeros = lzma.compress(bytes(64 << 20), preset=0)
    skip = lzma.compress(tar_header(b"zeros", 4 << 30), preset=0) + zeros * 64
    rows = [("xz dictionary of 768 MiB", dictionary, 3, "its xz dictionary needs more than 64 MiB"),
            ("150,000 empty members", many, 1, "holds more than 100000 members"),
            ("4 GiB of zeros", skip, 1, "unpacks to more than")]
    s = Server(exe, work)
    try:
        before = reports(s.db)
        for what, body, copies, reason in rows:
            results, lock = [], threading.Lock()

            def post(body=body):
                t0 = time.time()
                status, _, data = s.request("POST", "/api/v1/reports", body)
                with lock:
                    results.append((status, data, time.time() - t0))

            threads = [threading.Thread(target=post) for _ in range(copies)]
            for t in threads:
                t.start()
            time.sleep(0.2)
            desk_answers_within(s, 2, time.time() + 1)
            for t in threads:
                t.join(timeout=60)
            for status, data, seconds in results:
                check(status == 413 and reason in json.loads(data)["message"] and len(data) < 1000,
                      f"{what}: {status} {data[:200]!r}")
                check(seconds < 10, f"{what}: answered after {seconds:.1f} s")
            print(f"bombs: {what} ({len(body)} bytes) x{copies} refused in "
                  f"{max(r[2] for r in results):.2f} s")
        check(reports(s.db) == before, "part of a refused archive was stored")
        rss = peak_rss_kib(s.proc.pid)
        check(rss < 256 * 1024, f"peak RSS {rss} KiB")
        print(f"bombs: peak RSS {rss} KiB")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")
    # add names the archive it refuses, and why; the registry keeps its other inputs.
    for name, body in (("dict.tar.xz", dictionary), ("skip.tar.xz", skip)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(body)
    good = os.path.join(work, "good.rec")
    with open(good, "wb") as f:
        f.write(record("good", "60", "GD1", "GM1"))
    db = os.path.join(work, "add.sqlite")
    t0 = time.time()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", exe, "add", "--db", db,
                           os.path.join(work, "dict.tar.xz"), good],
                          capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    err = done.stderr.decode()
    check(done.returncode == 1 and "dict.tar.xz: archive refused: its xz dictionary" in err,
          f"add of a dictionary bomb: {done.returncode} {err!r}")
    peak = int(err.strip().splitlines()[-1])
    check(peak < 128 * 1024 and reports(db) == 1, f"add: peak RSS {peak} KiB, {reports(db)} reports")
    print(f"bombs: add refused the dictionary bomb in {time.time() - t0:.2f} s, peak RSS {peak} KiB")
    # A zip member whose size only its data descriptor gives: skipping it
    # unpacks it, so it is counted as it is read (--max-body 1 MiB: 16 MiB).
    class Stream(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    stream = Stream()
    with zipfile.ZipFile(stream, "w", compression=zipfile.ZIP_DEFLATED) as z:
        with z.open("zeros.rec", "w") as member:
            for _ in range(64):
                member.write(bytes(1 << 20))
    body = bytes(stream.data)
    check(body[6] & 8, "the zip has no data descriptor")
    s = Server(exe, work, "--max-body", str(1 << 20), name="zip")
    try:
        status, _, data = s.request("POST", "/api/v1/reports", body)
        check(status == 413 and "unpacks to more than 16777216 bytes" in json.loads(data)["message"],
              f"zip of 64 MiB in a data-descriptor member: {status} {data[:200]!r}")
        print(f"bombs: a zip member of 64 MiB sized only after its data ({len(body)} bytes) refused")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- the token file: never waited on, a link, another user's, others' bits; SIGTERM at any moment
def token():
    db = os.path.join(work, "r.sqlite")
    fifo, link, loose, other = (os.path.join(work, n) for n in ("fifo", "link", "loose", "other"))
    os.mkfifo(fifo, 0o600)
    real = os.path.join(work, "real.token")
    with open(real, "w") as f:
        f.write("t" * 64 + "\n")
    os.chmod(real, 0o600)
    os.symlink(real, link)
    with open(loose, "w") as f:
        f.write("t" * 64 + "\n")
    os.chmod(loose, 0o640)
    rows = [(fifo, "not a regular file"), (link, "symbolic link"), (loose, "only its owner")]
    if os.geteuid() == 0:
        with open(other, "w") as f:
            f.write("t" * 64 + "\n")
        os.chmod(other, 0o600)
        os.chown(other, pwd.getpwnam("nobody").pw_uid, -1)
        rows.append((other, "owned by this user"))
    else:
        print("token: not root, another user's file not tried")
    for path, message in rows:
        done = subprocess.run([exe, "serve", "--db", db, "--listen", "127.0.0.1:0", "--token-file", path],
                              capture_output=True, timeout=20, stdin=subprocess.DEVNULL)
        err = done.stderr.decode()
        check(done.returncode == 2 and message in err, f"{path}: {done.returncode} {err!r}")
    # SIGTERM from the first moment on: a clean exit, never a hang.
    for delay in (0, 0.002, 0.01, 0.05, 0.2, 1):
        proc = subprocess.Popen([exe, "serve", "--db", db, "--listen", "127.0.0.1:0"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(delay)
        proc.terminate()
        try:
            code = proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise AssertionError(f"SIGTERM after {delay} s: serve did not stop")
        # Before serve has begun (the program still loading) the signal's own
        # action ends it: nothing has been made then.
        check(code == 0 or (code == -15 and delay < 1), f"SIGTERM after {delay} s: exit {code}")
    print(f"token: {len(rows)} token files refused; SIGTERM stops serve at any moment")


# --- connections: --max-connections-per-address, --max-connections; kBodiesInFlight
def limits():
    s = Server(exe, work, "--max-body", "1000")
    try:
        # Five uploads each declaring the most, none sending it: the fifth passes 4 x --max-body.
        waiting = []
        for i in range(5):
            sock = socket.create_connection(("127.0.0.1", s.port), timeout=5)
            sock.sendall(f"POST /api/v1/reports HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                         f"{s.token}\r\nContent-Length: 1000\r\n\r\n".encode())
            waiting.append(sock)
        time.sleep(0.5)
        # Whichever reached the server last is refused; the others wait for their bodies.
        answered, silent = [], []
        for sock in waiting:
            sock.settimeout(1)
            try:
                answered.append(sock.recv(65536))
            except socket.timeout:
                silent.append(sock)
        check(len(answered) == 1 and answers(answered[0]) == ["503"] and code_in(answered[0]) == "busy",
              f"five uploads at once: {[a[:100] for a in answered]}")
        silent[0].settimeout(10)
        silent[0].sendall(record("busy", "80", "BU1", "BM1").ljust(1000))
        got = silent[0].recv(65536)
        check(answers(got) == ["200"], f"an upload within the budget: {got[:300]!r}")
        for sock in waiting:
            sock.close()
        time.sleep(0.3)
        check(s.request("POST", "/api/v1/find", record("x", "81", "X1", "X2"))[0] == 200,
              "the budget was not given back")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")
    os.remove(s.db)
    os.remove(s.db + ".token")

    s = Server(exe, work, "--max-connections-per-address", "20", "--max-connections", "30")
    held = []
    try:
        def open_from(source):
            sock = socket.socket()
            sock.bind((source, 0))
            sock.connect(("127.0.0.1", s.port))
            sock.sendall(b"GET /app.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            held.append(sock)
            return sock

        def kept(sock):
            sock.settimeout(0.01)
            try:
                return sock.recv(65536).startswith(b"HTTP/1.1 200")
            except OSError:
                return False  # not answered: waiting to be let in, or closed

        # All at once, well within the header deadline that would close the first ones.
        ones = [open_from("127.0.0.1") for _ in range(25)]
        twos = [open_from("127.0.0.2") for _ in range(25)]
        time.sleep(2)
        first = sum(kept(sock) for sock in ones)
        second = sum(kept(sock) for sock in twos)
        check(first == 20, f"{first} connections from one address, allowed 20")
        # The library divides the limit among its two threads.
        check(28 <= first + second <= 30, f"{first} + {second} connections, allowed 30")
        for sock in held:
            sock.close()
        time.sleep(0.5)
        check(s.request("GET", "/api/v1/machines")[0] == 200, "no answer once the others left")
        print(f"limits: {first} from one address, {first + second} in all")
    finally:
        check(s.stop() == 0, "serve did not stop cleanly")


# --- drop folders and paths: add follows no link out of a directory; a missing path stores nothing
def drop():
    secret = os.path.join(work, "secret.rec")
    with open(secret, "wb") as f:
        f.write(record("secret", "70", "SE1", "SM1"))
    os.chmod(secret, 0o600)
    folder = os.path.join(work, "drop")
    os.makedirs(folder)
    with open(os.path.join(folder, "own.rec"), "wb") as f:
        f.write(record("own", "71", "OW1", "OM1"))
    os.symlink(secret, os.path.join(folder, "passwd.rec"))
    db = os.path.join(work, "r.sqlite")

    def add(*args):
        done = subprocess.run([exe, "add", "--db", db, *args], capture_output=True, timeout=60,
                              stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    code, out, err = add(folder)
    check(code == 1 and "drop/passwd.rec: a link to outside the directory, not followed" in err
          and "own.rec: stored" in out and "secret" not in out, f"add DIR: {code} {out!r} {err!r}")
    check(reports(db) == 1, "the link's target was stored")
    code, out, err = add(os.path.join(folder, "passwd.rec"))
    check(code == 0 and "passwd.rec: stored" in out, f"a link named itself: {code} {out!r} {err!r}")
    code, out, err = add("--follow-symlinks", folder)
    check(code == 0 and err == "", f"--follow-symlinks: {code} {out!r} {err!r}")
    missing = os.path.join(work, "missing.rec")
    code, out, err = add(missing, folder)
    check(code == 1 and f"{missing}: No such file or directory" in err and reports(db) == 2,
          f"a missing path: {code} {out!r} {err!r} ({reports(db)} reports)")
    print("drop: the link out of the folder refused and named; a missing path stored nothing")


{"slow": slow, "flood": flood, "framing": framing, "origin": origin, "host": host,
 "bombs": bombs, "token": token, "limits": limits, "drop": drop}[case]()
