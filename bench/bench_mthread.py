"""Benchmark of the thread engine (morvlen.engine.trigger.mthread).

Measures, in one run:
  1. tick_once round trip on a one-node tree, from one caller and from 8 threads
     over 8 trees, against a plain threading.Condition ping-pong of the same shape
     (the floor for this hand-over) and against the same engine in plain Python;
  2. 1,000 idle trees in one engine: resident memory, create and stop time per tree;
  3. 16 trees whose action sleeps 10 ms, ticked from 16 threads at once against
     one thread ticking them in turn.

Run:  .venv/bin/python bench/bench_mthread.py [--quick]
"""

import argparse
import gc
import os
import platform
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from loguru import logger  # noqa: E402

import morvlen.engine.trigger.mthread as mthread  # noqa: E402
from py_thread_engine import PyThreadEngine  # noqa: E402

XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><{0}/></BehaviorTree></root>'


class StandInRuntime:
    """Used when the behavior-tree runtime is not built: a tree of one action."""

    def __init__(self):
        self._ticks = []

    def register_action_behavior(self, action_id, tick_functor, ports_list):
        self._ticks.append(tick_functor)

    def create_tree_from_text(self, xml_text):
        pass

    def tick_once(self):
        for tick in self._ticks:
            tick(None)
        return "SUCCESS"


def runtime_engine_class():
    from morvlen.engine.sequential_engine import SequentialEngine

    if SequentialEngine is None:
        mthread.SequentialEngine = StandInRuntime
        mthread.BehaviorTreeFactory = object
        return StandInRuntime, "stand-in runtime (the real one is not built here)"
    return SequentialEngine, "real runtime (morvlen.engine.sequential_engine)"


def success_tick():
    from morvlen.core import NodeStatus

    status = NodeStatus.SUCCESS if NodeStatus is not None else "SUCCESS"
    return lambda node: status


def sleeping_tick(node):
    time.sleep(0.010)
    from morvlen.core import NodeStatus

    return NodeStatus.SUCCESS if NodeStatus is not None else "SUCCESS"


def resident_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


# ---- the floor: the same hand-over on a bare Condition ----------------------------

class PingPong:
    def __init__(self, runtime):
        self.cond = threading.Condition()
        self.command = [None]
        self.result = [None]
        self.runtime = runtime
        self.thread = threading.Thread(target=self._serve)
        self.thread.start()

    def _serve(self):
        cond, command, result = self.cond, self.command, self.result
        while True:
            with cond:
                while command[0] is None:
                    cond.wait()
                if command[0] is False:
                    return
                result[0] = ("tick_once", "t", self.runtime.tick_once())
                command[0] = None
                cond.notify()

    def tick_once(self, _tree_id):
        cond, command, result = self.cond, self.command, self.result
        with cond:
            command[0] = {"type": "tick_once", "params": {}}
            cond.notify()
            while result[0] is None:
                cond.wait()
            value = result[0][2]
            result[0] = None
            return value

    def stop(self):
        with self.cond:
            self.command[0] = False
            self.cond.notify()
        self.thread.join()


def make_runtime(engine_class, action_id, tick):
    runtime = engine_class()
    runtime.register_action_behavior(action_id, tick, [])
    runtime.create_tree_from_text(XML.format(action_id))
    return runtime


# ---- round trips --------------------------------------------------------------------

def time_callers(tick_fns, ids, per_caller):
    """Each caller thread ticks its own tree per_caller times; µs per round trip."""
    barrier = threading.Barrier(len(ids) + 1)

    def caller(tick, tree_id):
        barrier.wait()
        for _ in range(per_caller):
            tick(tree_id)

    threads = [threading.Thread(target=caller, args=(tick, tid)) for tick, tid in zip(tick_fns, ids)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    return elapsed / (per_caller * len(ids)) * 1e6


def round_trips(engine_class, callers, per_caller, repeats):
    tick = success_tick()
    figures = {"floor": [], "mthread": [], "python": []}
    for _ in range(repeats):
        pongs = [PingPong(make_runtime(engine_class, "Act", tick)) for _ in range(callers)]
        figures["floor"].append(time_callers([p.tick_once for p in pongs], ["t"] * callers, per_caller))
        for p in pongs:
            p.stop()

        for name, make in (("mthread", mthread.ThreadEngine),
                           ("python", lambda: PyThreadEngine(engine_class))):
            engine = make()
            engine.register_action_behavior("Act", tick, [])
            ids = [engine.create_tree_from_text(XML.format("Act")) for _ in range(callers)]
            figures[name].append(time_callers([engine.tick_once] * callers, ids, per_caller))
            engine.stop_all_trees()
    return {k: statistics.median(v) for k, v in figures.items()}


# ---- scale ---------------------------------------------------------------------------

def scale(count):
    engine = mthread.ThreadEngine()
    engine.register_action_behavior("Act", success_tick(), [])
    gc.collect()
    before = resident_kib()
    start = time.perf_counter()
    for _ in range(count):
        engine.create_tree_from_text(XML.format("Act"))
    created = time.perf_counter() - start
    # Every worker has built its tree and is idle once it has answered a command.
    for tree_id in engine.get_tree_ids():
        engine.tick_once(tree_id)
    gc.collect()
    after = resident_kib()
    start = time.perf_counter()
    engine.stop_all_trees()
    stopped = time.perf_counter() - start
    return (after - before) / count, created / count * 1e6, stopped / count * 1e6


# ---- concurrency ---------------------------------------------------------------------

def concurrency(count):
    engine = mthread.ThreadEngine()
    engine.register_action_behavior("Sleep", sleeping_tick, [])
    ids = [engine.create_tree_from_text(XML.format("Sleep")) for _ in range(count)]
    for tree_id in ids:  # set-up done before timing
        engine.tick_once(tree_id)
    start = time.perf_counter()
    for tree_id in ids:
        engine.tick_once(tree_id)
    in_turn = time.perf_counter() - start
    side_by_side = time_callers([engine.tick_once] * count, ids, 1) * count / 1e6
    engine.stop_all_trees()
    return in_turn, side_by_side


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    args = parser.parse_args()
    logger.remove()  # the engine's info lines would dominate the timings
    engine_class, runtime_note = runtime_engine_class()
    per_caller = 2000 if args.quick else 10000
    repeats = 3 if args.quick else 5

    print(f"python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cpus; {runtime_note}")
    print(f"round trips: median of {repeats} runs; {per_caller} tick_once per caller thread\n")
    for callers in (1, 8):
        r = round_trips(engine_class, callers, per_caller // callers if callers > 1 else per_caller, repeats)
        print(f"tick_once round trip, {callers} caller(s) over {callers} tree(s), µs per call:")
        print(f"  Condition ping-pong floor {r['floor']:8.2f}")
        print(f"  mthread (C++)             {r['mthread']:8.2f}   {r['mthread'] / r['floor']:.2f}x floor"
              f"   (target <= 1.25x)")
        print(f"  plain-Python engine       {r['python']:8.2f}   {r['python'] / r['floor']:.2f}x floor"
              f"   mthread is {r['python'] / r['mthread']:.2f}x faster\n")

    per_tree_kib, create_us, stop_us = scale(1000)
    print("1,000 idle trees in one engine:")
    print(f"  resident memory per tree {per_tree_kib:8.1f} KiB   (target < 64 KiB)")
    print(f"  create per tree           {create_us:8.1f} µs")
    print(f"  stop per tree             {stop_us:8.1f} µs\n")

    in_turn, side = concurrency(16)
    print("16 trees whose action sleeps 10 ms, one tick each:")
    print(f"  one thread, in turn       {in_turn * 1e3:8.1f} ms")
    print(f"  16 threads at once        {side * 1e3:8.1f} ms   {in_turn / side:.1f}x faster   (target >= 8x)")


if __name__ == "__main__":
    main()
