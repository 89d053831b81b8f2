#!/usr/bin/env python3
"""ecrcli explain --html in a headless browser: the page of a fault-matrix
log (a confirmation answered with NAK) is opened offline and its diagram must
hold the request, the answers and the confirmation as arrows, the NAK marked
as an anomaly, and show an arrow's masked bytes on a click.
Exit 77 (skipped) where no browser can be run.
  explain_html_browser.py ECRCLI MATRIX_DIR [EMULATOR]"""
import glob, os, shutil, subprocess, sys, tempfile

ecrcli, matrix = sys.argv[1], sys.argv[2]
emulator = [sys.argv[3]] if len(sys.argv) > 3 and sys.argv[3] else []
missing = [p for p in ("chromium", "chromedriver") if shutil.which(p) is None]
try:
    from selenium import webdriver
    from selenium.webdriver.common.by import By
except ImportError:
    missing.append("python3-selenium")
if missing:
    print("SKIPPED: no browser for the browser test (missing: %s)" % ", ".join(missing))
    sys.exit(77)

logs = sorted(glob.glob(os.path.join(matrix, "*_confirmation_ack_garbage_nak.logs", "*.log")))
if not logs:
    sys.exit("no log of the NAK row in %s: the matrix did not run" % matrix)
work = tempfile.mkdtemp(prefix="ecr_explain_html_")
try:
    page = os.path.join(work, "explain.html")
    run = subprocess.run(emulator + [ecrcli, "explain", "--html", page, logs[0]], stdout=subprocess.DEVNULL)
    if run.returncode != 1:  # the outcome is unknown
        sys.exit("explain exited %d" % run.returncode)
    opts = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + os.path.join(work, "profile")):
        opts.add_argument(flag)
    opts.binary_location = shutil.which("chromium")
    from selenium.webdriver.chrome.service import Service
    service = Service(executable_path=shutil.which("chromedriver"))
    driver = webdriver.Chrome(options=opts, service=service)
    try:
        driver.get("file://" + page)
        diagram = driver.find_element(By.ID, "diagram-1")
        frames = [a.text for a in diagram.find_elements(By.CSS_SELECTOR, ".seq-arrow.seq-frame")]
        for want in ("10. request", "11. first answer", "12. final response", "13. confirmation"):
            assert any(want in f for f in frames), "no arrow %r in %r" % (want, frames)
        naks = diagram.find_elements(By.CSS_SELECTOR, ".seq-arrow.seq-nak.seq-anomaly")
        assert len(naks) == 1, "the NAK is not marked as an anomaly"
        first = diagram.find_elements(By.CSS_SELECTOR, ".seq-arrow.seq-frame")[0]
        first.click()
        detail = diagram.find_element(By.CSS_SELECTOR, ".seq-detail").text
        assert "50 55 52 31 30" in detail, "no hex dump on click: %r" % detail
        verdict = driver.find_element(By.ID, "summary").text
        assert "for invoice 000321" in verdict, verdict
    finally:
        driver.quit()
finally:
    shutil.rmtree(work, ignore_errors=True)
print("the --html page shows the diagram with its arrows and the NAK marked")
