"""Bytes a browser receives on the page's first load (status lines, headers and
bodies, gzip accepted as browsers do), as one JSON line.
Usage: serve_page.py PORT"""
import http.client
import json
import sys

port = int(sys.argv[1])
total, files = 0, {}
for path in ("/", "/app.css", "/app.js"):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", path, headers={"Accept-Encoding": "gzip, deflate, br"})
    r = conn.getresponse()
    body = r.read()
    head = len("HTTP/1.1 %d %s\r\n" % (r.status, r.reason)) + sum(
        len(k) + len(v) + 4 for k, v in r.getheaders()) + 2
    files[path] = head + len(body)
    total += head + len(body)
    conn.close()
print(json.dumps({"bytes": total, "files": files}))
