"""zavro-record serve's page in headless chromium: sign in, drop reports, page
through a registry of a few hundred machines, search it on the server, a
machine's view and its clone twin; corrections made from a machine's view and
the decisions page; hostile report values stay text.
Screenshots go to <dir>.
Usage: serve_browser_test.py <zavro-record> <screenshot dir>. Fails without a browser."""
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
from serve_common import Server, record  # noqa: E402

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    # Not a skip: the page must not pass untested (scripts/deps test installs it).
    print("FAIL: python3-selenium is missing")
    sys.exit(1)
if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
    print("FAIL: chromium or chromium-driver is missing")
    sys.exit(1)

exe, shots = os.path.abspath(sys.argv[1]), sys.argv[2]
os.makedirs(shots, exist_ok=True)
HOSTILE = '<img src=x onerror="window.pwned=1">'
SCRIPT = "<script>window.pwned=2</script>"
FLEET = 260  # machines: the list runs to three pages
BUSY = 105  # reports of one machine: its history runs past one page
DROPPED = {
    "desk-pc.rec": record("desk-pc-7", "11", "PF3ABC11", "L1HF2AB11"),
    "desk-pc-later.rec": record("desk-pc-7", "11", "PF3ABC11", "L1HF2AB11", 8),
    "hostile.rec": record(HOSTILE, "12", "PF3ABC12", "L1HF2AB12"),
    "script.rec": record(SCRIPT, "13", "PF3ABC13", "L1HF2AB13"),
    "broken.rec": b"<Node><Cpuid>",
    # Copied virtual machines: clones of each other.
    "vm-1.rec": record("vm-1", "00:50:56:01:02:11", "CLN123", "CLNMB"),
    "vm-2.rec": record("vm-2", "00:50:56:01:02:12", "CLN123", "CLNMB"),
}
DROPPED_MACHINES = 5
# (typed, rows, a name among them, more on the server)
SEARCHES = [("s00137x", 1, "odd-137", False),  # a serial's middle, case aside
            ("1b220000c8", 1, "even-200", False),  # an address without separators
            ("ODD-", 100, "odd-199", True)]


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def fleet_tar():
    """FLEET machines and BUSY reports of one more, as one archive."""
    # Odd and even names alternate: a search's pages are not the list's.
    reports = [(f"fleet-{i}.rec", record(("odd-" if i % 2 else "even-") + f"{i:03d}",
                                         f"00:1B:22:00:{i >> 8:02X}:{i & 255:02X}",
                                         f"FS{i:05d}X", f"FB{i:05d}Y")) for i in range(FLEET)]
    reports += [(f"busy-{n}.rec", record("busy-pc", "00:1B:23:00:00:01", "BZ0001", "BZB0001", n))
                for n in range(1, BUSY + 1)]
    return tar_of(reports)


def tar_of(reports):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        for name, data in reports:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def main():
    work = tempfile.mkdtemp(prefix="zavro-serve-browser.")
    for name, data in DROPPED.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    server = Server(exe, work)
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"]:
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        run(driver, server, work)
    finally:
        driver.quit()
        code = server.stop()
    check(code == 0, f"serve exited {code} on SIGTERM: {server.stderr()[-2000:]}")
    print("serve browser: all steps passed")


def corrections(driver, server, wait, by_id, css, shot, inert):
    """Each correction made from the page, then read back through the API."""
    fix = server.json("POST", "/api/v1/reports?name=fix.tar", tar_of(
        [(f"fix-a{n}.rec", record("fix-a", "00:1B:24:00:00:01", "FIXA01", "FIXAB01", n)) for n in (2, 3, 4)]
        + [("fix-b.rec", record("fix-b", "00:1B:24:00:00:02", "FIXB02", "FIXBB02"))]))
    r1, r2, r3, rb = (o["record"] for o in fix)
    a, b = fix[0]["machine"], fix[3]["machine"]
    check(a < b and all(o["machine"] == a for o in fix[:3]), f"fix reports tied as {fix}")
    reason = "ticket 4711 " + SCRIPT

    def records():
        """Each fix machine's records, by machine."""
        return {m["machine"]: m["records"] for m in server.json("GET", "/api/v1/machines?q=fix-")}

    def labels():
        return server.json("GET", f"/api/v1/machines/{a}")["machine"]["labels"]

    def decisions():
        return server.pages("/api/v1/decisions?limit=2")

    def click(selector):
        wait.until(lambda d: css(selector), f"no {selector}")
        css(selector)[0].click()

    def merge():
        by_id("merge-search").send_keys("fix-a")
        click("#merge-results button.merge")

    def set_label():
        by_id("label-name").send_keys("site")
        by_id("label-value").send_keys(HOSTILE)
        by_id("label-set").click()

    def split(record):
        return lambda: (click(f"#timeline li[data-record='{record}'] input.pick"), by_id("split").click())

    def undo_void():
        void = [d["decision"] for d in decisions() if d["action"] == "void"][-1]
        click(f"#decisions tr[data-decision='{void}'] button.undo")

    labelled = f"/api/v1/machines?label=site%3D{urllib.parse.quote(HOSTILE, safe='')}"
    # (flow, page, what the person does, what the API says afterwards)
    flows = [
        ("merge", f"/machines/{b}", merge,
         lambda: records() == {a: [r1, r2, r3, rb]} and driver.current_url.endswith(f"/machines/{a}")),
        ("split", f"/machines/{a}", split(r3), lambda: records() == {a: [r1, r2, rb], r3: [r3]}),
        ("void", f"/machines/{a}", lambda: click(f"#timeline li[data-record='{r2}'] button.void"),
         lambda: records() == {a: [r1, rb], r3: [r3]}),
        ("label", f"/machines/{a}", set_label,
         lambda: labels() == {"site": HOSTILE} and [m["machine"] for m in server.json("GET", labelled)] == [a]),
        ("unlabel", f"/machines/{a}", lambda: click("#machine-labels button.unlabel"), lambda: labels() == {}),
        ("undo", "/decisions", undo_void, lambda: records() == {a: [r1, r2, rb], r3: [r3]}),
    ]
    for flow, path, act, holds in flows:
        driver.get(server.url + path)
        wait.until(lambda d: css("#machine-title, #decisions[aria-busy='false']"), f"{flow}: {path} not shown")
        act()
        wait.until(lambda d: css("#reason"), f"{flow}: no reason asked")
        by_id("reason").send_keys(reason)
        by_id("reason-send").click()
        wait.until(lambda d: css("#notice") and not css("#decide"), f"{flow}: no decision shown")
        check(holds(), f"{flow}: the registry holds {records()} {labels()}")
        inert()
        shot("decided-" + flow)
    made = decisions()
    check([d["action"] for d in made] == ["merge", "split", "void", "label", "label", "undo"]
          and all(d["reason"] == reason for d in made), f"decisions: {made}")
    driver.get(server.url + "/decisions")
    wait.until(lambda d: len(css("#decisions tbody tr")) == len(made))
    check(len(css("#decisions tr.undone")) == 1 and len(css("#decisions button.undo")) == len(made) - 1,
          "the void's Undo still offered: " + by_id("decisions").text)

    # Refused: no reason is sent at all; what the registry refuses is shown as it said it.
    refusals = [("no reason", split(r2), "   ", "Give a reason"),
                ("first report", split(r1), "ticket 4712", f"the first report of machine {a}")]
    for name, act, typed, says in refusals:
        driver.get(f"{server.url}/machines/{a}")
        wait.until(lambda d: css("#machine-title"))
        act()
        by_id("reason").send_keys(typed)
        by_id("reason-send").click()
        wait.until(lambda d: says in by_id("reason-error").text, f"{name}: the refusal was not shown")
        check(len(decisions()) == len(made) and records()[a] == [r1, r2, rb], f"{name}: a decision was made")
        shot("refused-" + name.replace(" ", "-"))
        by_id("reason-cancel").click()
        wait.until(lambda d: not css("#decide"))
    return a


def run(driver, server, work):
    wait = WebDriverWait(driver, 20, poll_frequency=0.1,
                         ignored_exceptions=(StaleElementReferenceException,))
    by_id = lambda i: driver.find_element(By.ID, i)  # noqa: E731
    css = lambda s: driver.find_elements(By.CSS_SELECTOR, s)  # noqa: E731
    shot = lambda name: driver.save_screenshot(os.path.join(shots, name + ".png"))  # noqa: E731

    def inert():
        check(driver.execute_script("return window.pwned") is None, "a report's value ran script")
        check(not css("#view img, #view script"), "a report's value became markup")

    def machines(query, count):
        """The machine list's rows once it shows the answer for query, count of them."""
        wait.until(lambda d: by_id("machines").get_attribute("aria-busy") == "false"
                   and by_id("machines").get_attribute("data-query") == query
                   and len(css("#machines tbody tr")) == count,
                   f"the list never showed {count} rows for {query!r}")
        return by_id("machines").text

    def more_shown(box):
        return bool(css(f"#{box} button.more")) and css(f"#{box} button.more")[0].is_displayed()

    # A wrong token gets nowhere: the form stays, the API still refuses.
    driver.get(server.url + "/")
    wait.until(lambda d: by_id("signin").is_displayed())
    by_id("token").send_keys(server.token[::-1] + "\n")
    wait.until(lambda d: "not accepted" in by_id("signin-error").text)
    status = driver.execute_async_script(
        "fetch('/api/v1/machines').then(r => arguments[0](r.status))")
    check(status == 401 and not by_id("nav").is_displayed(), f"wrong token let in: {status}")
    shot("sign-in")

    by_id("token").clear()
    by_id("token").send_keys(server.token + "\n")
    wait.until(lambda d: by_id("nav").is_displayed() and d.find_elements(By.ID, "files"))

    # Drop reports (the file input behind the drop zone): each shows its machine and why.
    by_id("files").send_keys("\n".join(os.path.join(work, n) for n in DROPPED))
    wait.until(lambda d: len(css("#results li.outcome")) == len(DROPPED))
    results = by_id("results").text
    for expected in ["desk-pc.rec", "changed", "Rejected:", "machine 1", "Matched", "(clone)"]:
        check(expected in results, f"results lack {expected!r}: {results}")
    table = machines("", DROPPED_MACHINES)
    check(HOSTILE in table and SCRIPT in table, f"hostile names not shown as text: {table}")
    inert()
    shot("machines")

    # Hundreds of machines: the page shows one page and fetches the next on asking.
    outcomes = server.json("POST", "/api/v1/reports?name=fleet.tar", fleet_tar())
    check(len(outcomes) == FLEET + BUSY and all(o["status"] == "stored" for o in outcomes),
          f"fleet not stored: {[o for o in outcomes if o['status'] != 'stored'][:3]}")
    total = DROPPED_MACHINES + FLEET + 1
    driver.refresh()
    machines("", 100)
    check(more_shown("machines"), "no More below the first page")
    for count in (200, total):
        css("#machines button.more")[0].click()
        machines("", count)
    check(not more_shown("machines"), "More offered past the last page")

    # The server searches; a wide answer is paged like the list, its query kept.
    for typed, count, name, more in SEARCHES:
        by_id("search").clear()
        by_id("search").send_keys(typed)
        table = machines(typed, count)
        check(name in table and more_shown("machines") == more, f"{typed!r} found {table[:300]}")
    shot("search")
    css("#machines button.more")[0].click()
    machines("ODD-", FLEET // 2)
    rows = [r.text for r in css("#machines tbody tr")]
    check(all("odd-" in r for r in rows), f"a next page lost the query: {rows[-3:]}")

    # A machine's view: what its latest report says, every value with the records
    # that carried it, its history; reached by link and by address.
    desk = server.json("GET", "/api/v1/machines?q=desk-pc-7")[0]
    by_id("search").clear()
    by_id("search").send_keys("desk-pc")
    machines("desk-pc", 1)
    css("#machines a[href^='/machines/']")[0].click()
    wait.until(lambda d: css("#timeline li"))
    check(driver.current_url.endswith(f"/machines/{desk['machine']}"), driver.current_url)
    view = by_id("view").text
    for expected in ["ProcessorCount 2 \u2192 8", "First seen.", "2 report(s)", "Clone twins: none",
                     "BiosSerial PF3ABC11", "M0 00:1B:21:3A:4F:11",
                     f"MachineName desk-pc-7 {desk['records'][0]} {desk['records'][-1]}"]:
        check(expected in view, f"machine view lacks {expected!r}: {view}")
    shot("machine")
    busy = server.json("GET", "/api/v1/machines?q=busy-pc")[0]["machine"]
    driver.get(f"{server.url}/machines/{busy}")
    wait.until(lambda d: len(css("#timeline > li")) == 100 and more_shown("history"))
    css("#history button.more")[0].click()
    wait.until(lambda d: len(css("#timeline > li")) == BUSY and not more_shown("history"))
    check("ProcessorCount 104 \u2192 105" in css("#timeline > li")[-1].text, "history's last page")

    # Clones: the listing links each machine, a machine's view links its twin.
    by_id("nav").find_element(By.CSS_SELECTOR, "a[href='/clones']").click()
    wait.until(lambda d: len(css("#listing tbody a")) == 2)
    first, second = (a.get_attribute("href").rsplit("/", 1)[1] for a in css("#listing tbody a"))
    shot("clones")
    css("#listing tbody a")[0].click()
    wait.until(lambda d: by_id("machine-title").text.startswith(f"Machine {first} "))
    css("#twins a")[0].click()
    wait.until(lambda d: by_id("machine-title").text.startswith(f"Machine {second} "))
    check(by_id("machine-names").text == "vm-2" and by_id("twins").text == f"Clone twins: machine {first}",
          by_id("view").text)

    # Hostile values stay text in a machine's view and the other listings too.
    hostile = server.json("GET", "/api/v1/machines?q=PF3ABC12")[0]["machine"]
    driver.get(f"{server.url}/machines/{hostile}")
    wait.until(lambda d: css("#machine-names"))
    check(by_id("machine-names").text == HOSTILE and HOSTILE in by_id("values").text, by_id("view").text)
    inert()
    for path, text in [("/rejected", "broken.rec"), ("/placeholders", "Placeholders")]:
        driver.get(server.url + path)
        wait.until(lambda d: text in by_id("view").text)
        shot(path[1:])
    inert()

    fixed = corrections(driver, server, wait, by_id, css, shot, inert)

    # On a phone's width nothing runs off the side.
    driver.set_window_size(390, 844)
    for path, ready in [("/", lambda: machines("", 100)),
                        (f"/machines/{fixed}", lambda: wait.until(lambda d: css("#merge")))]:
        driver.get(server.url + path)
        ready()
        width = driver.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
        check(width[0] <= width[1], f"{path} wider than a phone: {width}")
    shot("phone")

    # Nothing the page did was refused by its own policy or failed, but the 401s and the
    # refusal asked for (and the icon the browser looks for by itself).
    errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"
              and "status of 401" not in e["message"] and "status of 409" not in e["message"]
              and "/favicon.ico" not in e["message"]]
    check(not errors, f"the browser logged errors: {errors[:3]}")

    # Signing out ends the session.
    by_id("signout").click()
    wait.until(lambda d: by_id("signin").is_displayed())
    status = driver.execute_async_script(
        "fetch('/api/v1/machines').then(r => arguments[0](r.status))")
    check(status == 401, f"signed out, the API answered {status}")

    # A viewer sees the decisions but is offered nothing that changes them.
    cli = lambda *args, stdin=b"": subprocess.run(  # noqa: E731
        [exe, *args, "--db", server.db], input=stdin, capture_output=True, timeout=60, check=True)
    admin = cli("user", "add", "ann", "--role", "admin", "--generate").stdout.decode().strip()
    with open(os.path.join(work, "ann.pw"), "w") as f:
        f.write(admin + "\n")
    cli("user", "add", "vic", "--role", "viewer", "--as", "ann", "--password-file",
        os.path.join(work, "ann.pw"), stdin=b"vic-pass-words\n")
    # The server reads the accounts anew each second.
    deadline = time.time() + 10
    while server.request("POST", "/api/v1/session", b'{"name":"vic","password":"vic-pass-words"}',
                         token=False)[0] != 204:
        check(time.time() < deadline, "the server never learned of vic")
        time.sleep(0.3)
    by_id("name").send_keys("vic")
    by_id("password").send_keys("vic-pass-words\n")
    wait.until(lambda d: by_id("nav").is_displayed() and "vic (viewer)" in by_id("who").text)
    for path, shown in [(f"/machines/{fixed}", "#timeline li.decision"),
                        ("/decisions", "#decisions tbody tr")]:
        driver.get(server.url + path)
        wait.until(lambda d: css(shown), f"{path} not shown to a viewer")
        offered = css("#merge, #split, #label-form, .pick, button.void, button.unlabel, button.undo")
        check(not offered, f"a viewer is offered corrections on {path}: {[e.tag_name for e in offered]}")
        css(shown)[0].location_once_scrolled_into_view
        shot("viewer-" + path.split("/")[1])


main()
