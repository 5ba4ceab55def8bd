"""Trees that wait: CPU while many trees wait, wake-up latency, Sleep overshoot,
stop latency.

Measures, in one run on this machine:
  1. CPU of the whole process (share of one core) while 1,000 ThreadEngine trees
     each wait in tick_until_success on a 2 s Sleep;
  2. the same with 100 trees whose plain Python action stays RUNNING for 2 s
     without waking the tree (polled, backing off to the 20 ms poll interval);
  3. wake-up latency: from a blackboard write through SequentialEngine on another
     thread to the start of the tick it causes (median and 99th percentile);
  4. how late a 100 ms Sleep ends in tick_until_success (median of 20);
  5. how long stop_tree takes on a tree waiting on a 60 s Sleep inside
     tick_until_success (median of 10).
Run:  .venv/bin/python bench/bench_waiting.py [--trees N]
"""

from __future__ import annotations

import argparse
import platform
import resource
import statistics
import threading
import time

from morvlen.core import NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.engine.trigger.mthread import ThreadEngine, logger

JOIN = 120.0


def doc(body: str) -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="T">{body}</BehaviorTree></root>'


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def in_flight(engine: ThreadEngine, tree_id: str) -> bool:
    return engine.trees[tree_id]["command"][0] is not None


def waiting_cpu(engine: ThreadEngine, xml: str, count: int, window: float, wait: float = 2.0) -> float:
    """Share of one core used by the process over `window` s while `count` trees wait
    (shortened so that it ends before the first trees' `wait` s are over)."""
    trees = [engine.create_tree_from_text(xml) for _ in range(count)]
    callers = [threading.Thread(target=engine.tick_until_success, args=(tree,)) for tree in trees]
    started = time.perf_counter()
    for caller in callers:
        caller.start()
    # Bounded: on a loaded machine the first trees may be done before the last start.
    while not all(in_flight(engine, tree) for tree in trees) and time.perf_counter() < started + wait / 2:
        time.sleep(0.01)
    time.sleep(0.1)  # the first ticks are done
    waiting = sum(in_flight(engine, tree) for tree in trees)
    cpu, wall = cpu_seconds(), time.perf_counter()
    time.sleep(max(0.1, min(window, started + wait - 0.1 - wall)))
    share = (cpu_seconds() - cpu) / (time.perf_counter() - wall)
    print(f"   (window from {wall - started:.2f} s to {time.perf_counter() - started:.2f} s after the first caller "
          f"started; {waiting} of {count} trees waiting at its start)")
    for caller in callers:
        caller.join(JOIN)
    engine.stop_all_trees()
    return share




def wake_latency(samples: int) -> list[float]:
    """Seconds from set_blackboard_data on another thread to the next tick's start."""
    ticked = []

    def ready(node):
        ticked.append(time.perf_counter())
        return NodeStatus.SUCCESS if node.getInputObject("go") else NodeStatus.FAILURE

    engine = SequentialEngine()
    engine.register_action_behavior("Ready", ready, [{"name": "go", "type": "object", "direction": "input",
                                                      "description": ""}])
    engine.create_tree_from_text(doc('<ReactiveFallback><Ready go="{go}"/><Sleep msec="60000"/></ReactiveFallback>'))
    latencies = []
    for _ in range(samples):
        engine.set_blackboard_data("go", False)
        ticked.clear()
        loop = threading.Thread(target=engine.tick_until_success)
        loop.start()
        while not ticked:
            time.sleep(0.001)
        time.sleep(0.002)  # the loop is asleep on the 60 s deadline
        count = len(ticked)
        sent = time.perf_counter()
        engine.set_blackboard_data("go", True)
        loop.join(JOIN)
        latencies.append(ticked[count] - sent)
    return latencies


def sleep_overshoot(runs: int) -> list[float]:
    engine = SequentialEngine()
    engine.create_tree_from_text(doc('<Sleep msec="100"/>'))
    late = []
    for _ in range(runs):
        start = time.perf_counter()
        engine.tick_until_success()
        late.append(time.perf_counter() - start - 0.1)
    return late


def stop_latency(runs: int) -> list[float]:
    engine = ThreadEngine()
    spans = []
    for _ in range(runs):
        tree = engine.create_tree_from_text(doc('<Sleep msec="60000"/>'))
        caller = threading.Thread(target=lambda t=tree: _swallow(engine.tick_until_success, t))
        caller.start()
        while not in_flight(engine, tree):
            time.sleep(0.001)
        time.sleep(0.01)
        start = time.perf_counter()
        engine.stop_tree(tree)
        spans.append(time.perf_counter() - start)
        caller.join(JOIN)
    return spans


def _swallow(call, *args):
    try:
        call(*args)
    except RuntimeError:
        pass


def latency_text(seconds: list[float]) -> str:
    """Median and 99th percentile of latencies, in µs."""
    ordered = sorted(seconds)
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    return f"median {statistics.median(ordered) * 1e6:.0f} µs, 99th percentile {p99 * 1e6:.0f} µs"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trees", type=int, default=1000)
    parser.add_argument("--pollers", type=int, default=100)
    args = parser.parse_args()
    logger.remove()
    print(f"Python {platform.python_version()} on {platform.machine()}; figures of one run")

    share = waiting_cpu(ThreadEngine(), doc('<Sleep msec="2000"/>'), args.trees, 1.0)
    print(f"1. {args.trees} trees waiting on a 2 s Sleep: {share * 100:.2f} % of one core")

    engine = ThreadEngine()
    started = time.monotonic()

    def stays_running(node):
        return NodeStatus.SUCCESS if time.monotonic() - started >= 2.0 else NodeStatus.RUNNING

    engine.register_action_behavior("Busy", stays_running, [])
    share = waiting_cpu(engine, doc("<Busy/>"), args.pollers, 1.0)
    print(f"2. {args.pollers} trees polling a RUNNING Python action: {share * 100:.2f} % of one core")

    latencies = wake_latency(200)
    print(f"3. wake-up latency: {latency_text(latencies)}")

    late = sleep_overshoot(20)
    print(f"4. 100 ms Sleep ends late by: median {statistics.median(late) * 1e3:.3f} ms, max {max(late) * 1e3:.3f} ms")

    spans = stop_latency(10)
    print(f"5. stop_tree during a 60 s Sleep: median {statistics.median(spans) * 1e3:.2f} ms, "
          f"max {max(spans) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
