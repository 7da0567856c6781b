#!/usr/bin/env python3
"""The HTML report as a reader sees it, rendered in headless Chromium.

Two pages: a single-run report of data/results-v1.json, and a database report over three
revisions made from it (r1; r2 rebuilt, with one program made 40% slower; r3 the same
binaries as r2). From the page itself, through Selenium's JavaScript: no chart
label reaches outside its chart, every chart has an axis title with its unit, no table
cell wraps onto a second line, a click on a header sorts the table and the filter box
filters it, and the comparisons pair the series as the report describes (a configuration
against itself across revisions, the configurations of one session against each other,
never one configuration of a revision against another of a different one). A page
written without its table script still opens, and the harness says so in one line.
Screenshots of the pages go into --out (default: a new temporary folder, printed).

Prints "skipped: ..." and exits 0 when Chromium, its driver or Selenium is missing.

    report_browser.py --source DIR --harness EXE [--out DIR]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
from harness_script import check, with_selenium

webdriver = with_selenium()
if webdriver is None:
    print("skipped: Selenium for Python is not installed (python3-selenium)")
    sys.exit(0)
from selenium.webdriver.common.by import By  # noqa: E402


def harness(exe, *args, env=None):
    proc = subprocess.run([exe, *args], capture_output=True, text=True, timeout=120, env=env)
    check(proc.returncode == 0, f"{' '.join(args)}: exit {proc.returncode}: {proc.stderr}")
    return proc


def revision(label, out, slower=None):
    """results-v1.json filed under a revision label; slower: (program, config, factor),
    that unit slower by the factor and every binary rebuilt (a new digest)."""
    with open(os.path.join(DATA, "results-v1.json")) as f:
        results = json.load(f)
    results["environment"]["revision"] = label
    for unit in results["results"]:
        if slower:
            unit["binary"]["xxh3"] = "0" + unit["binary"]["xxh3"][1:]
        if slower and (unit["program"], unit["config"]) == slower[:2]:
            unit["samples"]["wall_s"] = [v * slower[2] for v in unit["samples"]["wall_s"]]
    with open(out, "w") as f:
        json.dump(results, f)
    return out


def make_pages(exe, scratch):
    single = os.path.join(scratch, "single.html")
    harness(exe, "report", os.path.join(DATA, "results-v1.json"), "-o", single)
    db = os.path.join(scratch, "history.db")
    for label, slower in [("r1", None), ("r2", ("powtable", "gcc", 1.4)),
                          ("r3", ("powtable", "gcc", 1.4))]:
        harness(exe, "import", revision(label, os.path.join(scratch, f"{label}.json"), slower),
                "--db", db)
    stored = os.path.join(scratch, "database.html")
    harness(exe, "report", "--db", db, "-o", stored)
    # Without the packages' scripts: the page is written all the same, and one line says so.
    bare = os.path.join(scratch, "bare.html")
    env = dict(os.environ, BENCH32_JAVASCRIPT_DIR=os.path.join(scratch, "no-scripts"))
    proc = harness(exe, "report", os.path.join(DATA, "results-v1.json"), "-o", bare, env=env)
    warnings = [l for l in proc.stderr.splitlines() if l.startswith("bench32:")]
    check(len(warnings) == 1 and "not sortable" in warnings[0],
          f"a page without its scripts is said in one line: {proc.stderr!r}")
    with open(bare) as f:
        check("<script" not in f.read(), "the page without scripts holds none")
    return {"single": single, "database": stored, "bare": bare}


# Every text of every chart against its chart's box, in CSS pixels.
CLIPPED = """
const out = [];
for (const svg of document.querySelectorAll('svg:not(.swatch)')) {
  const box = svg.getBoundingClientRect();
  for (const t of svg.querySelectorAll('text')) {
    const r = t.getBoundingClientRect();
    if (r.width === 0) continue;
    if (r.left < box.left - 0.5 || r.right > box.right + 0.5 || r.top < box.top - 0.5 ||
        r.bottom > box.bottom + 0.5)
      out.push(`${svg.getAttribute('aria-label')}: "${t.textContent}"`);
  }
}
return out;
"""

# Charts without an axis title naming a unit: (ms), (µs), (s), (%), a ratio, or runs.
UNTITLED = """
const out = [];
for (const svg of document.querySelectorAll('svg:not(.swatch)')) {
  const titles = [...svg.querySelectorAll('text.axis-title')].map(t => t.textContent);
  if (!titles.some(t => /\\((ms|µs|s|%)\\)|ratio/.test(t)))
    out.push(`${svg.getAttribute('aria-label')}: ${JSON.stringify(titles)}`);
}
return out;
"""

# Cells whose text lies on more than one line.
WRAPPED = """
const out = [];
for (const cell of document.querySelectorAll('td, th')) {
  if (!cell.textContent.trim() || cell.offsetParent === null) continue;
  const range = document.createRange();
  range.selectNodeContents(cell);
  const tops = new Set([...range.getClientRects()].filter(r => r.width > 0)
                                                   .map(r => Math.round(r.top / 3)));
  if (tops.size > 1) out.push(cell.textContent.trim());
}
return out;
"""

PAIRS = """
return [...document.querySelectorAll('section.comparison')]
    .map(s => [s.dataset.base, s.dataset.other]);
"""


def column(driver, table, index):
    return driver.execute_script(
        "return [...arguments[0].tBodies[0].rows].filter(r => r.offsetParent !== null)"
        ".map(r => r.cells[arguments[1]].dataset.text || r.cells[arguments[1]].textContent)",
        table, index)


def check_sorting(driver, name):
    check(driver.execute_script("return !!(window.jQuery && jQuery.tablesorter)"),
          f"{name}: the table sorter is loaded")
    table = driver.find_element(By.CSS_SELECTOR, "section.comparison table.sortable")
    headers = [th.text.strip() for th in table.find_elements(By.CSS_SELECTOR, "thead tr th")]
    ratio = next(i for i, h in enumerate(headers) if h.startswith("ratio"))
    header = table.find_elements(By.CSS_SELECTOR, "thead tr th")[ratio]
    header.click()
    time.sleep(0.3)
    values = [float(v) for v in column(driver, table, ratio)]
    check(values == sorted(values), f"{name}: one click sorts the ratios up: {values}")
    header.click()
    time.sleep(0.3)
    values = [float(v) for v in column(driver, table, ratio)]
    check(values == sorted(values, reverse=True), f"{name}: a second sorts them down: {values}")
    box = table.find_element(By.CSS_SELECTOR, "input.tablesorter-filter")
    box.send_keys("powtable")
    time.sleep(0.8)
    programs = column(driver, table, 0)
    check(programs == ["powtable"], f"{name}: the filter keeps the rows that match: {programs}")
    box.clear()


def check_page(driver, name, path, out):
    driver.get("file://" + path)
    driver.execute_script("document.querySelectorAll('details').forEach(d => d.open = true)")
    errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    check(not errors, f"{name}: the page's script runs without errors: {errors}")
    for script, what in [(CLIPPED, "labels reach outside their chart"),
                         (UNTITLED, "charts lack an axis title with a unit"),
                         (WRAPPED, "table cells wrap")]:
        found = driver.execute_script(script)
        check(not found, f"{name}: {what}: {found[:8]}")
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(1300, min(height + 40, 16000))
    driver.save_screenshot(os.path.join(out, f"{name}.png"))
    driver.set_window_size(1300, 900)
    return driver.execute_script(PAIRS)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--source", required=True)
    ap.add_argument("--harness", required=True)
    ap.add_argument("--out", help="folder for the screenshots (default: a temporary one)")
    opts = ap.parse_args()
    chromedriver = shutil.which("chromedriver")
    if not chromedriver or not (shutil.which("chromium") or shutil.which("chromium-browser")):
        print("skipped: Chromium or its driver is not installed (chromium, chromium-driver)")
        return 0
    out = opts.out or tempfile.mkdtemp(prefix="bench32-report-")
    os.makedirs(out, exist_ok=True)
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as scratch:
        pages = make_pages(opts.harness, scratch)
        options = webdriver.ChromeOptions()
        for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1300,900"]:
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        try:
            driver = webdriver.Chrome(options=options)
        except Exception as error:  # the driver could not start a browser here
            print(f"skipped: Chromium did not start: {str(error).splitlines()[0]}")
            return 0
        try:
            pairs = check_page(driver, "single", pages["single"], out)
            check(pairs == [["gcc", "clang"]], f"single run: clang against gcc: {pairs}")
            check_sorting(driver, "single")
            pairs = check_page(driver, "database", pages["database"], out)
            want = [["r2:gcc", "r3:gcc"], ["r2:clang", "r3:clang"], ["r3:gcc", "r3:clang"]]
            check(pairs == want, f"database: each configuration across the revisions, then "
                  f"the latest revision's configurations: {pairs}")
            check_sorting(driver, "database")
            trends = driver.execute_script(
                "return [...document.querySelectorAll('div.trends figure')].map(f => "
                "[f.querySelector('svg').getAttribute('aria-label'), f.textContent])")
            check(len(trends) == 3, f"one trend panel per program: {[t[0] for t in trends]}")
            powtable = next(t[1] for t in trends if t[0].startswith("powtable"))
            check("gcc" in powtable and "clang" in powtable,
                  "a program's configurations share its panel")
            check("slower" in powtable, f"the slower revision is marked in words: {powtable}")
            check("Same binary" in powtable, f"same-binary steps are marked: {powtable}")
            check_page(driver, "bare", pages["bare"], out)
        finally:
            driver.quit()
    print(f"screenshots in {out}")
    print(f"ok: two reports checked in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
