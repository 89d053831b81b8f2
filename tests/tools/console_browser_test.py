#!/usr/bin/env python3
"""ecrsim's browser console in a real headless Chromium.

Opens the console, turns on "wait for my decision", starts a purchase with
ecrcli, waits for the amount on the terminal's display, clicks Approve, and
checks that ecrcli exits 0 and that the sequence diagram holds the request,
the final response and the confirmation.  Screenshots at 1280x800 and at
phone width go to the artifacts directory.

Exits 77 (skipped) with one line saying why where no browser is installed.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


def skip(why):
    print("SKIPPED: browser console test: " + why +
          " (tools/test.sh installs chromium, chromium-driver and python3-selenium)")
    sys.exit(SKIP)


def wait_for(what, predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ecrsim", required=True)
    ap.add_argument("--ecrcli", required=True)
    ap.add_argument("--lib", required=True)
    ap.add_argument("--emulator", default="")
    ap.add_argument("--artifacts", required=True)
    args = ap.parse_args()

    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        skip("Python's selenium is missing")
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not browser or not driver_path:
        skip("no chromium" if not browser else "no chromedriver")

    front = [args.emulator] if args.emulator else []
    os.makedirs(args.artifacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="console-browser-")
    sim = subprocess.Popen(front + [args.ecrsim, "--tcp", "127.0.0.1:0", "--control", "127.0.0.1:0"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=work)
    driver = None
    try:
        control = link = None
        for line in sim.stdout:
            m = re.match(r"ecrsim control on (http://\S+)", line)
            if m:
                control = m.group(1)
            m = re.match(r"ecrsim listening on tcp (\S+)", line)
            if m:
                link = m.group(1)
                break
        assert control and link, "ecrsim did not start"

        opts = webdriver.ChromeOptions()
        opts.binary_location = browser
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--user-data-dir=" + os.path.join(work, "profile")):
            opts.add_argument(a)
        driver = webdriver.Chrome(service=Service(executable_path=driver_path), options=opts)
        driver.set_window_size(1280, 800)
        driver.get(control)
        text = lambda id_: driver.find_element(By.ID, id_).text
        wait_for("the event stream", lambda: "live" in text("live"))

        # Every payment waits for the tester, as a terminal waits for its card holder.
        driver.find_element(By.ID, "decide").click()
        wait_for("decision mode", lambda: "waits for your decision" in text("status"))

        cli = subprocess.Popen(front + [args.ecrcli, "--lib", args.lib, "--tcp", link, "--json",
                                        "--log-dir", work, "purchase", "12.34"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=work)
        wait_for("the amount on the display", lambda: text("display-amount") == "12.34")
        wait_for("the wait for a decision", lambda: text("display-waiting"))
        assert cli.poll() is None, "ecrcli ended before the decision"
        driver.find_element(By.ID, "btn-approve").click()

        out, err = cli.communicate(timeout=60)
        assert cli.returncode == 0, "ecrcli exit %d: %s %s" % (cli.returncode, out, err)
        assert json.loads(out)["status"] == "approved", out

        frames = lambda: [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".seq-arrow.seq-frame")]
        for want in ("PUR10. amount 12.34", "PUR12. code 00", "PUR13. confirmation"):
            wait_for(want + " in the diagram", lambda: any(want in t for t in frames()), 10)
        final = [e for e in driver.find_elements(By.CSS_SELECTOR, ".seq-arrow.seq-frame") if "PUR12." in e.text][0]
        final.click()
        detail = driver.find_element(By.CSS_SELECTOR, ".seq-detail").text
        assert "02 50 55 52 31 32 2E" in detail, detail  # STX "PUR12."
        assert not re.search(r"\d{13,}", driver.page_source), "a full card number on the page"
        wait_for("the display's outcome", lambda: "APPROVED" in text("display-prompt"), 10)

        shot = os.path.join(args.artifacts, "console-1280x800.png")
        driver.save_screenshot(shot)
        driver.set_window_size(390, 844)
        time.sleep(0.3)
        overflow = driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        assert overflow <= 1, "the page is %d px wider than a phone's screen" % overflow
        driver.save_screenshot(os.path.join(args.artifacts, "console-phone.png"))
        errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        assert not errors, errors
        print("console browser test passed; screenshot: " + shot)
        return 0
    finally:
        if driver is not None:
            driver.quit()
        sim.terminate()
        try:
            sim.wait(10)
        except subprocess.TimeoutExpired:
            sim.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
