"""Tick cost of the behavior-tree runtime.

Measures, in one run on this machine:
  1. a tree of about 100 control and decorator nodes with a few Python actions:
     ticks per second and nanoseconds per node visited;
  2. the same shape with C++ leaves only (AlwaysSuccess) in place of the Python actions;
  3. the cost of one Python action tick (a one-node tree, minus an empty tick's cost);
  4. a blackboard read and write from Python (SequentialEngine and Blackboard);
  5. resident memory per SequentialEngine holding a one-node tree (1,000 of them).
Run:  .venv/bin/python bench/bench_runtime.py [--seconds S]
"""

from __future__ import annotations

import argparse
import gc
import platform
import time

from morvlen.core import Blackboard, NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine


def python_action(node):
    return NodeStatus.SUCCESS


def wide_tree(groups: int, leaf: str) -> tuple[str, int]:
    """A Sequence of `groups` branches, each Inverter>Inverter>ForceSuccess>Sequence of
    ForceSuccess>Inverter>Inverter>ForceSuccess>Sequence>leaf; returns (xml, nodes per tick)."""
    branch = ("<Inverter><Inverter><ForceSuccess><Sequence><ForceSuccess><Inverter><Inverter><ForceSuccess>"
              f"<Sequence>{leaf}</Sequence></ForceSuccess></Inverter></Inverter></ForceSuccess></Sequence>"
              "</ForceSuccess></Inverter></Inverter>")
    xml = f'<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence>{branch * groups}</Sequence></BehaviorTree></root>'
    return xml, 1 + groups * 10


def timed_ticks(engine: SequentialEngine, seconds: float) -> tuple[int, float]:
    batch, ticks, start = 1000, 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        engine.tick_n_times(batch)
        ticks += batch
    return ticks, time.perf_counter() - start


def engine_for(xml: str) -> SequentialEngine:
    """An engine holding `xml` (its `Py` leaves run python_action), ticked once."""
    engine = SequentialEngine()
    engine.register_action_behavior("Py", python_action, [])
    engine.create_tree_from_text(xml)
    assert engine.tick_once() == NodeStatus.SUCCESS
    return engine


def tree_rate(xml: str, seconds: float) -> tuple[float, float]:
    ticks, elapsed = timed_ticks(engine_for(xml), seconds)
    return ticks / elapsed, elapsed / ticks


ONE_NODE_XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>'


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def kib_per_engine(count: int) -> float:
    """VmRSS growth while `count` engines are created and given a one-node tree, per engine.
    Measured before anything else runs (freed memory would be reused and hide growth),
    after one warm-up engine has loaded the modules and built the shared node types."""
    SequentialEngine().create_tree_from_text(ONE_NODE_XML)
    gc.collect()
    before = resident_kib()
    engines = [SequentialEngine() for _ in range(count)]
    for engine in engines:
        engine.create_tree_from_text(ONE_NODE_XML)
    return (resident_kib() - before) / count


def per_call(function, seconds: float) -> float:
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        for _ in range(1000):
            function()
        calls += 1000
    return (time.perf_counter() - start) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=1.0, help="time spent on each measurement")
    seconds = parser.parse_args().seconds

    print(f"Python {platform.python_version()} on {platform.machine()}, {seconds:.1f}s per measurement, "
          "tick_n_times(1000) batches")
    engines = 1000
    print(f"  resident memory per engine, one-node tree: {kib_per_engine(engines):5.2f} KiB "
          f"(VmRSS growth over {engines:,} SequentialEngine objects, each with <AlwaysSuccess/> built)")
    groups_with_python = 10
    mixed_xml, mixed_nodes = wide_tree(groups_with_python, "<Py/>")
    plain_xml, plain_nodes = wide_tree(groups_with_python, "<AlwaysSuccess/>")
    for label, xml, nodes in [(f"{mixed_nodes} nodes, {groups_with_python} Python actions", mixed_xml, mixed_nodes),
                              (f"{plain_nodes} nodes, C++ leaves only", plain_xml, plain_nodes)]:
        rate, per_tick = tree_rate(xml, seconds)
        print(f"  tree of {label:27s}: {rate:10.0f} ticks/s, {per_tick * 1e9 / nodes:7.1f} ns per node visited")

    empty_rate, empty_tick = tree_rate(ONE_NODE_XML, seconds)
    _, python_tick = tree_rate('<root BTCPP_format="4"><BehaviorTree ID="T"><Py/></BehaviorTree></root>', seconds)
    print(f"  one tree tick, C++ leaf only          : {empty_tick * 1e9:7.0f} ns")
    print(f"  Python action tick (minus the above)   : {(python_tick - empty_tick) * 1e9:7.0f} ns")

    engine = SequentialEngine()
    engine.create_tree_from_text(ONE_NODE_XML)
    value = object()
    engine.set_blackboard_data("key", value)
    board = Blackboard()
    board.set("key", value)
    print(f"  engine.set_blackboard_data             : {per_call(lambda: engine.set_blackboard_data('key', value), seconds) * 1e9:7.0f} ns")
    print(f"  engine.get_blackboard_data             : {per_call(lambda: engine.get_blackboard_data('key'), seconds) * 1e9:7.0f} ns")
    print(f"  Blackboard.set / Blackboard.get        : {per_call(lambda: board.set('key', value), seconds) * 1e9:7.0f} ns"
          f" / {per_call(lambda: board.get('key'), seconds) * 1e9:.0f} ns")
    print(f"  (a Python dict write, for scale)       : {per_call(lambda: {}.__setitem__('key', value), seconds) * 1e9:7.0f} ns")


if __name__ == "__main__":
    main()
