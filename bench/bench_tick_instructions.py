"""Instructions per tick of the 101-node trees of bench_runtime.py, counted by valgrind.

Callgrind counts instructions, not seconds, so the figures repeat on a loaded
machine and two builds can be compared across runs: run this script with each
build's interpreter (e.g. an older checkout's venv) and compare the counts.
Each figure is (run of N + 10,000 ticks) minus (run of N ticks), divided by
10,000, so start-up and tree building cancel out.
Run:  .venv/bin/python bench/bench_tick_instructions.py [--observed]
"""

from __future__ import annotations

import argparse
import os
import platform
import sys

import callgrind

BASE_TICKS, EXTRA_TICKS = 1000, 10_000
TREES = {"C++ leaves only": "<AlwaysSuccess/>", "10 Python actions": "<Py/>"}


def child(leaf: str, ticks: int, observed: bool) -> None:
    """The body run under callgrind."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from bench_runtime import engine_for, wide_tree

    engine = engine_for(wide_tree(10, leaf)[0])
    if observed:
        from morvlen.core import observe

        observe.start(engine)  # the ring wraps: recording costs the same, full or not
    for _ in range(ticks // 1000):
        engine.tick_n_times(1000)


def per_tick(leaf: str, observed: bool) -> float:
    return callgrind.per_unit(
        lambda ticks: [__file__, "--child", leaf, str(ticks)] + (["--observed"] if observed else []),
        BASE_TICKS, BASE_TICKS + EXTRA_TICKS)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--observed", action="store_true", help="also count with observation on (transitions and statistics)")
    parser.add_argument("--child", nargs=2, metavar=("LEAF", "TICKS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), args.observed)
        return
    print(f"Python {platform.python_version()} on {platform.machine()}, {sys.executable}; "
          f"valgrind callgrind, ({BASE_TICKS} + {EXTRA_TICKS} ticks) minus ({BASE_TICKS} ticks)")
    for label, leaf in TREES.items():
        for observed in (False, True) if args.observed else (False,):
            count = per_tick(leaf, observed)
            print(f"  101 nodes, {label:18s} {'observed' if observed else 'not observed':13s}: {count:8,.0f} instructions per tick")


if __name__ == "__main__":
    main()
