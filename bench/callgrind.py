"""Counting instructions with valgrind's callgrind, for the benchmarks that compare builds.

Callgrind counts instructions, not seconds: the same binary and inputs give the same
count whatever else the machine does, so figures from different runs and builds can
be compared.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys


def available() -> bool:
    return shutil.which("valgrind") is not None


def instructions(args: list[str], timeout: float = 600) -> int:
    """Instructions executed by `python args...` (this interpreter) under callgrind."""
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, *args],
        capture_output=True, text=True, timeout=timeout, check=True,
        env={**os.environ, "PYTHONHASHSEED": "0"})  # the same dict layouts in every run
    found = re.search(r"Collected\s*:\s*(\d+)", run.stderr)
    if not found:
        raise RuntimeError(f"no instruction count in callgrind's output:\n{run.stderr[-2000:]}")
    return int(found.group(1))


def per_unit(args_for, few: int, many: int) -> float:
    """Instructions per unit of work: the run of `many` units minus the run of `few`,
    divided by the difference, so that start-up and set-up cancel out.
    `args_for(n)` gives the arguments of a run of n units."""
    return (instructions(args_for(many)) - instructions(args_for(few))) / (many - few)
