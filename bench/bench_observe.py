"""Cost of observation on the 101-node tick, in one run on this machine.

Builds the trees of bench_runtime.py (101 nodes: with 10 Python actions, and with
C++ leaves only) and measures ticks per second with observation never turned on,
on (transition log and statistics), and turned off again, alternating rounds so
that drifts of the machine hit every variant alike. The ratios are what to read.
With --reference PYTHON (an interpreter with another build, e.g. an older
checkout's venv), each round also times the never-observed tree under that
build, in a child process, and every variant gets a ratio to it as well.
Run:  .venv/bin/python bench/bench_observe.py [--seconds S] [--rounds N] [--reference PYTHON]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import subprocess
import sys
import time

from bench_runtime import engine_for, wide_tree
from morvlen.engine.sequential_engine import SequentialEngine


def tick_seconds(engine: SequentialEngine, seconds: float) -> float:
    """Seconds per tick: the best batch of 1,000 ticks within `seconds` (the ring
    wraps; recording costs the same whether it is read or not)."""
    best, start = float("inf"), time.perf_counter()
    while time.perf_counter() - start < seconds:
        batch = time.perf_counter()
        engine.tick_n_times(1000)
        best = min(best, time.perf_counter() - batch)
    return best / 1000


def reference_seconds(python: str, leaf: str, seconds: float) -> float:
    """Seconds per never-observed tick under another build's interpreter."""
    run = subprocess.run([python, __file__, "--child", leaf, str(seconds)], capture_output=True, text=True,
                         check=True, timeout=60 + 10 * seconds, cwd=os.path.dirname(os.path.abspath(__file__)))
    return float(run.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=0.5, help="time per variant and round")
    parser.add_argument("--rounds", type=int, default=7, help="rounds; the median is reported")
    parser.add_argument("--reference", metavar="PYTHON", help="also time the never-observed tree under this interpreter")
    parser.add_argument("--child", nargs=2, metavar=("LEAF", "SECONDS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(tick_seconds(engine_for(wide_tree(10, args.child[0])[0]), float(args.child[1])))
        return
    from morvlen.core import observe  # not in the child: a reference build may predate it

    print(f"Python {platform.python_version()} on {platform.machine()}, {args.rounds} rounds of {args.seconds:.1f}s "
          "per variant; per round the best tick_n_times(1000) batch, then the median of rounds")
    if args.reference:
        print(f"reference: never observed under {args.reference}; this build: {sys.executable}")
    for label, leaf in (("10 Python actions", "<Py/>"), ("C++ leaves only", "<AlwaysSuccess/>")):
        xml, nodes = wide_tree(10, leaf)
        never, on, off = engine_for(xml), engine_for(xml), engine_for(xml)
        observe.start(on)
        observe.start(off)
        observe.stop(off)
        times = {"never observed": [], "observed": [], "observed, then stopped": []}
        if args.reference:
            times["reference build"] = []
        for _ in range(args.rounds):
            for name, engine in zip(times, (never, on, off)):
                times[name].append(tick_seconds(engine, args.seconds))
            if args.reference:
                times["reference build"].append(reference_seconds(args.reference, leaf, args.seconds))
        base = statistics.median(times["never observed"])
        reference = statistics.median(times["reference build"]) if args.reference else None
        observe.drain(on)
        on.tick_once()
        changes = len(observe.drain(on))
        print(f"  tree of {nodes} nodes, {label} ({changes} recorded changes per tick):")
        for name, samples in times.items():
            median = statistics.median(samples)
            versus = f", {median / reference:5.3f} x reference build" if reference else ""
            print(f"    {name:24s}: {median * 1e6:7.2f} us per tick, {median / base:5.3f} x never observed{versus}")


if __name__ == "__main__":
    main()
