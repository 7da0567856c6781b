"""The suite's programs, as the test scripts find them in the source tree."""

import os
import re


def discover(benchmarks):
    """Program name -> folder, from each folder's bench32_program(<name> ...)."""
    found = {}
    for entry in sorted(os.listdir(benchmarks)):
        cml = os.path.join(benchmarks, entry, "CMakeLists.txt")
        if not os.path.isfile(cml):
            continue
        with open(cml, encoding="utf-8") as f:
            m = re.search(r"bench32_program\(\s*([A-Za-z0-9_]+)", f.read())
        if m:
            found[m.group(1)] = entry
    return found
