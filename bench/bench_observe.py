"""Cost of observation on the 101-node tick, in one run on this machine.

Builds the trees of bench_runtime.py (101 nodes: with 10 Python actions, and with
C++ leaves only) and measures ticks per second with observation never turned on,
on (transition log and statistics), and turned off again, alternating rounds so
that drifts of the machine hit every variant alike. The ratios are what to read.
Run:  .venv/bin/python bench/bench_observe.py [--seconds S] [--rounds N]
"""

from __future__ import annotations

import argparse
import platform
import statistics
import time

from bench_runtime import python_action, wide_tree
from morvlen.core import NodeStatus, observe
from morvlen.engine.sequential_engine import SequentialEngine


def engine_for(xml: str) -> SequentialEngine:
    engine = SequentialEngine()
    engine.register_action_behavior("Py", python_action, [])
    engine.create_tree_from_text(xml)
    assert engine.tick_once() == NodeStatus.SUCCESS
    return engine


def tick_seconds(engine: SequentialEngine, seconds: float) -> float:
    """Seconds per tick, over batches of 1,000 ticks."""
    ticks, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        engine.tick_n_times(1000)
        ticks += 1000
        observe.is_observed(engine) and observe.drain(engine)
    return (time.perf_counter() - start) / ticks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=0.5, help="time per variant and round")
    parser.add_argument("--rounds", type=int, default=7, help="rounds; the median is reported")
    args = parser.parse_args()
    print(f"Python {platform.python_version()} on {platform.machine()}, {args.rounds} rounds of {args.seconds:.1f}s "
          "per variant, tick_n_times(1000) batches, medians")
    for label, leaf in (("10 Python actions", "<Py/>"), ("C++ leaves only", "<AlwaysSuccess/>")):
        xml, nodes = wide_tree(10, leaf)
        never, on, off = engine_for(xml), engine_for(xml), engine_for(xml)
        observe.start(on)
        observe.start(off)
        observe.stop(off)
        times = {"never observed": [], "observed": [], "observed, then stopped": []}
        for _ in range(args.rounds):
            for name, engine in zip(times, (never, on, off)):
                times[name].append(tick_seconds(engine, args.seconds))
        base = statistics.median(times["never observed"])
        changes = len(observe.drain(on)) or sum(1 for _ in [on.tick_once()]) and len(observe.drain(on))
        print(f"  tree of {nodes} nodes, {label} ({changes} recorded changes per tick):")
        for name, samples in times.items():
            median = statistics.median(samples)
            print(f"    {name:24s}: {median * 1e6:7.2f} us per tick, {median / base:5.3f} x never observed")


if __name__ == "__main__":
    main()
