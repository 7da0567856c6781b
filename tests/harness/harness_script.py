"""What the harness's scripted tests share: their arguments and how they fail."""

import argparse
import sys


def check(condition, message):
    if not condition:
        print(f"FAIL: {message}")
        sys.exit(1)


def arguments(doc):
    """--source DIR --harness EXE --compiler CXX, described by the script's docstring."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--source", required=True)
    ap.add_argument("--harness", required=True)
    ap.add_argument("--compiler", required=True)
    return ap.parse_args()


SYSTEM_PYTHON = "/usr/bin/python3"


def with_selenium():
    """Selenium's webdriver, or None. Debian installs Selenium for the system's Python;
    when the script runs under another interpreter without it, the script is run again
    under the system's (once), so call this before any work is done."""
    import os
    try:
        from selenium import webdriver
        return webdriver
    except ImportError:
        if (os.path.exists(SYSTEM_PYTHON) and
                os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) and
                not os.environ.get("BENCH32_SELENIUM_REEXEC")):
            os.environ["BENCH32_SELENIUM_REEXEC"] = "1"
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
        return None
