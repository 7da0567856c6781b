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
