"""What the serve tests share: a server on a free loopback port and reports."""
import http.client
import json
import os
import re
import signal
import subprocess
import time


def record(name, mac, bios, board, count=2):
    """A report's bytes; mac is the address's last byte as two hex digits, or a whole address."""
    mac = mac if ":" in mac else "00:1B:21:3A:4F:" + mac
    return (f"<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>{name}</MachineName>"
            f"<ProcessorCount>{count}</ProcessorCount><MacAddresses><M0>{mac}</M0>"
            f"</MacAddresses><BiosSerial>{bios}</BiosSerial>"
            f"<MotherboardSerial>{board}</MotherboardSerial></Node>").encode("latin-1")


class Server:
    """zavro-record serve on 127.0.0.1 with a port the kernel picks."""

    def __init__(self, exe, work, *args, db=None, name="serve"):
        """db: a registry URI (the token then in WORK/NAME.token); by default a file in work."""
        self.db = db or os.path.join(work, "registry.sqlite")
        token_file = os.path.join(work, name + ".token") if db else self.db + ".token"
        self.err_path = os.path.join(work, name + ".err")
        self.err = open(self.err_path, "wb")
        own_token = ["--token-file", token_file] if db else []
        self.proc = subprocess.Popen([exe, "serve", "--db", self.db, "--listen", "127.0.0.1:0",
                                      *own_token, *args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.err)
        deadline = time.time() + 20
        self.port = None
        while self.port is None:
            if time.time() > deadline or self.proc.poll() is not None:
                raise AssertionError("serve did not start: " + self.stderr())
            found = re.search(r"serving https?://127\.0\.0\.1:(\d+)/", self.stderr())
            if found:
                self.port = int(found.group(1))
            time.sleep(0.05)
        with open(token_file) as f:
            self.token = f.read().strip()
        self.url = f"http://127.0.0.1:{self.port}"

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def request(self, method, path, body=None, token=True, headers=None, conn=None):
        """(status, headers, body as bytes); token: True for the right one, or a string."""
        own = conn is None
        conn = conn or http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = dict(headers or {})
        if token:
            h["Authorization"] = "Bearer " + (self.token if token is True else token)
        conn.request(method, path, body=body, headers=h)
        response = conn.getresponse()
        data = response.read()
        if own:
            conn.close()
        return response.status, response.headers, data

    def json(self, method, path, body=None, **kw):
        status, _, data = self.request(method, path, body, **kw)
        if status != 200:
            raise AssertionError(f"{method} {path}: {status} {data[:300]!r}")
        return json.loads(data)

    def pages(self, path):
        """Every item of a paged list, following its Link headers."""
        items = []
        while path:
            status, headers, data = self.request("GET", path)
            if status != 200:
                raise AssertionError(f"GET {path}: {status} {data[:300]!r}")
            items += json.loads(data)
            link = headers.get("Link", "")
            path = link[1:link.index(">")] if link.startswith("<") else None
        return items

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                raise AssertionError("serve did not stop on SIGTERM")
        self.err.close()
        return self.proc.returncode
