"""Holds N idle keep-alive connections open to a zavro-record serve on
loopback: each asks for one small file, reads its answer, then sends nothing.
One the server closes (its idle deadline) is opened again at once, so N stay
open. Runs until SIGTERM or SECONDS pass, then prints one JSON line: how many
were held, opened in all, and refused.
Usage: serve_idle.py PORT N SECONDS"""
import json
import selectors
import signal
import socket
import sys
import time

port, count, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
REQUEST = b"GET /app.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
selector = selectors.DefaultSelector()
opened = refused = 0
stop = False


def on_term(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, on_term)


def answered(sock):
    """Reads one whole answer; False when the connection ends first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return False
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return False
        body += chunk
    return head.startswith(b"HTTP/1.1 200")


def open_one():
    global opened, refused
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        sock.sendall(REQUEST)
        if not answered(sock):
            raise OSError("no answer")
        sock.setblocking(False)
        selector.register(sock, selectors.EVENT_READ)
        opened += 1
    except OSError:
        refused += 1


for _ in range(count):
    open_one()
held_at_start = len(selector.get_map())
print(f"held {held_at_start}", file=sys.stderr, flush=True)
deadline = time.time() + seconds
while not stop and time.time() < deadline:
    for key, _ in selector.select(timeout=0.5):
        selector.unregister(key.fileobj)
        key.fileobj.close()
        open_one()
print(json.dumps({"idle": count, "held_at_start": held_at_start, "opened": opened,
                  "refused": refused, "held_at_end": len(selector.get_map())}))
