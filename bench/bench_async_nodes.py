"""Async actions that wait: CPU while many trees await, and wake-up latency.

Measures, in one run on this machine:
  1. CPU of the whole process (share of one core) while 1,000 ThreadEngine trees each
     wait in tick_until_success on an async action awaiting asyncio.sleep(2);
  2. wake-up latency: from an async action's completion (the last statement of its
     coroutine) to the start of the next tick, through SequentialEngine's
     tick_until_success (median and 99th percentile of 200).
Run:  .venv/bin/python bench/bench_async_nodes.py [--trees N]
"""

from __future__ import annotations

import argparse
import asyncio
import platform
import time

from bench_waiting import doc, latency_text, waiting_cpu

from morvlen.core import NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.engine.trigger.mthread import ThreadEngine, logger
from morvlen.nodes.action_node import ConditionNode, SimpleActionNode


class AwaitTwoSeconds(SimpleActionNode):
    @staticmethod
    async def tick(node):
        await asyncio.sleep(2)
        return NodeStatus.SUCCESS


def completion_latency(samples: int) -> list[float]:
    """The tree ticks a Probe before the async action on every tick (ReactiveSequence)."""
    marks: dict[str, int] = {}

    class Probe(ConditionNode):
        @staticmethod
        def tick(node):
            if "done" in marks and "ticked" not in marks:
                marks["ticked"] = time.perf_counter_ns()
            return NodeStatus.SUCCESS

    class Quick(SimpleActionNode):
        @staticmethod
        async def tick(node):
            await asyncio.sleep(0.002)
            marks["done"] = time.perf_counter_ns()
            return NodeStatus.SUCCESS

    engine = SequentialEngine()
    engine.register_action_class(Probe)
    engine.register_action_class(Quick)
    engine.create_tree_from_text(doc("<ReactiveSequence><Probe/><Quick/></ReactiveSequence>"))
    latencies = []
    for _ in range(samples):
        marks.clear()
        engine.tick_until_success()
        latencies.append((marks["ticked"] - marks["done"]) / 1e9)
    return latencies


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trees", type=int, default=1000)
    args = parser.parse_args()
    logger.remove()
    print(f"Python {platform.python_version()} on {platform.machine()}; figures of one run")

    engine = ThreadEngine()
    engine.register_action_class(AwaitTwoSeconds)
    share = waiting_cpu(engine, doc("<AwaitTwoSeconds/>"), args.trees, 1.0)
    print(f"1. {args.trees} trees awaiting asyncio.sleep(2) in async actions: {share * 100:.2f} % of one core")

    latencies = completion_latency(200)
    print(f"2. async completion to next tick: {latency_text(latencies)}")


if __name__ == "__main__":
    main()
