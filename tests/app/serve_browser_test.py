"""zavro-record serve's page in headless chromium: sign in, drop reports, open a
machine, search; hostile report values stay text. Screenshots go to <dir>.
Usage: serve_browser_test.py <zavro-record> <screenshot dir>. Fails without a browser."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from serve_common import Server, record  # noqa: E402

try:
    from selenium import webdriver
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


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def main():
    work = tempfile.mkdtemp(prefix="zavro-serve-browser.")
    files = {
        "desk-pc.rec": record("desk-pc-7", "11", "PF3ABC11", "L1HF2AB11"),
        "desk-pc-later.rec": record("desk-pc-7", "11", "PF3ABC11", "L1HF2AB11", 8),
        "hostile.rec": record(HOSTILE, "12", "PF3ABC12", "L1HF2AB12"),
        "script.rec": record(SCRIPT, "13", "PF3ABC13", "L1HF2AB13"),
        "broken.rec": b"<Node><Cpuid>",
    }
    for name, data in files.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    server = Server(exe, work)
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"]:
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        run(driver, server, work, files)
    finally:
        driver.quit()
        code = server.stop()
    check(code == 0, f"serve exited {code} on SIGTERM: {server.stderr()[-2000:]}")
    print("serve browser: all steps passed")


def run(driver, server, work, files):
    wait = WebDriverWait(driver, 20)
    by_id = lambda i: driver.find_element(By.ID, i)  # noqa: E731
    shot = lambda name: driver.save_screenshot(os.path.join(shots, name + ".png"))  # noqa: E731

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
    by_id("files").send_keys("\n".join(os.path.join(work, n) for n in files))
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#results li.outcome")) == len(files))
    results = by_id("results").text
    for expected in ["desk-pc.rec", "changed", "Rejected:", "machine 1", "Matched"]:
        check(expected in results, f"results lack {expected!r}: {results}")
    wait.until(lambda d: HOSTILE in by_id("machines").text)

    # Hostile names are shown as text and run nothing.
    table = by_id("machines").text
    check(HOSTILE in table and SCRIPT in table, f"hostile names not shown as text: {table}")
    check(driver.execute_script("return window.pwned") is None, "a report's name ran script")
    check(not driver.find_elements(By.CSS_SELECTOR, "#view img, #view script"),
          "a report's name became markup")
    shot("machines")

    # Search narrows the list.
    by_id("search").send_keys("desk")
    wait.until(lambda d: HOSTILE not in by_id("machines").text and "desk-pc-7" in by_id("machines").text)

    # The machine's page: its history as a timeline, reachable by link and by address.
    driver.find_element(By.CSS_SELECTOR, "#machines a[href^='/machines/']").click()
    wait.until(lambda d: d.find_elements(By.ID, "timeline"))
    check(driver.current_url.endswith("/machines/1"), driver.current_url)
    timeline = by_id("timeline").text
    check("ProcessorCount 2 \u2192 8" in timeline and "First seen." in timeline, timeline)
    shot("machine")
    driver.get(server.url + "/machines/1")
    wait.until(lambda d: d.find_elements(By.ID, "machine-title"))
    check(by_id("machine-names").text == "desk-pc-7", by_id("machine-names").text)

    for path, text in [("/rejected", "broken.rec"), ("/clones", "Clones"),
                       ("/placeholders", "Placeholders")]:
        driver.get(server.url + path)
        wait.until(lambda d: text in by_id("view").text)
        shot(path[1:])
    check(driver.execute_script("return window.pwned") is None, "script ran on a later page")

    # On a phone's width nothing runs off the side.
    driver.set_window_size(390, 844)
    driver.get(server.url + "/")
    wait.until(lambda d: "desk-pc-7" in by_id("machines").text)
    width = driver.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
    check(width[0] <= width[1], f"page wider than a phone: {width}")
    shot("phone")

    # Signing out ends the session.
    by_id("signout").click()
    wait.until(lambda d: by_id("signin").is_displayed())
    status = driver.execute_async_script(
        "fetch('/api/v1/machines').then(r => arguments[0](r.status))")
    check(status == 401, f"signed out, the API answered {status}")


main()
