"""The page against a running zavro-record serve, as one JSON line: the bytes a
browser receives on its first load (status lines, headers and bodies, gzip
accepted as browsers do); given the token, also in headless chromium the time
from signing in to the first machine rows, and from a typed search (the last
key) to its rows, each as median and p95 in ms. The search includes the page's
150 ms pause after typing. The registry must hold machines.
Usage: serve_page.py PORT [TOKEN [RUNS]]   (RUNS: sign-ins, 10; searches are twice that)"""
import http.client
import json
import math
import os
import statistics
import sys

port = int(sys.argv[1])
token = sys.argv[2] if len(sys.argv) > 2 else None
runs = int(sys.argv[3]) if len(sys.argv) > 3 else 10
url = f"http://127.0.0.1:{port}"


def get(path, headers):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", path, headers=headers)
    r = conn.getresponse()
    body = r.read()
    conn.close()
    return r, body


def first_load():
    total, files = 0, {}
    for path in ("/", "/app.css", "/app.js"):
        r, body = get(path, {"Accept-Encoding": "gzip, deflate, br"})
        head = len("HTTP/1.1 %d %s\r\n" % (r.status, r.reason)) + sum(
            len(k) + len(v) + 4 for k, v in r.getheaders()) + 2
        files[path] = head + len(body)
        total += head + len(body)
    return {"bytes": total, "files": files}


def queries():
    """A serial's tail and an address's last four bytes without separators, both
    of the last machine on the first page."""
    r, body = get("/api/v1/machines?limit=100", {"Authorization": "Bearer " + token})
    if r.status != 200 or not json.loads(body):
        raise SystemExit(f"serve_page: no machines to show ({r.status})")
    identity = json.loads(body)[-1]["identity"] or {}
    serial = (identity.get("BiosSerial") or {}).get("raw", "")
    addresses = (identity.get("MacAddresses") or {}).get("addresses", [])
    found = [q for q in (serial[2:], addresses[0]["address"].replace(":", "")[4:] if addresses else "")
             if len(q) >= 4]
    return found or [json.loads(body)[-1]["names"][0]]


# Resolves with the ms from now until the machine list shows rows for the
# query (arguments[1]); arguments[0] is what to do first.
WAIT_ROWS = """
const done = arguments[arguments.length - 1], act = arguments[0], query = arguments[1];
const t0 = performance.now();
const shown = () => {
  const m = document.getElementById("machines");
  return m && m.isConnected && m.getAttribute("aria-busy") === "false" &&
    m.dataset.query === query && (query === "" ? m.querySelector("tbody tr") !== null : true);
};
const observer = new MutationObserver(() => {
  if (shown()) { observer.disconnect(); done(performance.now() - t0); }
});
observer.observe(document.body, { subtree: true, childList: true, attributes: true });
if (act === "signin") {
  document.getElementById("token").value = arguments[2];
  document.getElementById("signin").requestSubmit();
} else {
  const search = document.getElementById("search");
  search.value = query;
  search.dispatchEvent(new Event("input", { bubbles: true }));
}
"""


def figures(times):
    ordered = sorted(times)
    return {"median": round(statistics.median(ordered), 1),
            "p95": round(ordered[math.ceil(0.95 * len(ordered)) - 1], 1), "runs": len(ordered)}


def browser_times():
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"]:
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(60)
    signin, search, asked = [], [], queries()
    try:
        for _ in range(runs):
            driver.delete_all_cookies()
            driver.get(url + "/")
            WebDriverWait(driver, 30, poll_frequency=0.05).until(
                lambda d: d.find_element(By.ID, "signin").is_displayed())
            signin.append(driver.execute_async_script(WAIT_ROWS, "signin", "", token))
            for i in range(2):
                q = asked[i % len(asked)]
                search.append(driver.execute_async_script(WAIT_ROWS, "search", q))
                driver.execute_async_script(WAIT_ROWS, "search", "")
    finally:
        driver.quit()
    return {"signin_ms": figures(signin), "search_ms": figures(search), "queries": asked}


result = first_load()
if token:
    try:
        if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
            raise ImportError("no /usr/bin/chromium or /usr/bin/chromedriver")
        result.update(browser_times())
    except ImportError as e:
        print(f"serve_page: {e}: bytes only (scripts/deps test installs the browser)", file=sys.stderr)
print(json.dumps(result))
