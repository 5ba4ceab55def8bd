"""Eight threads making random creations, commands and stops on shared tree ids of
one engine for a few seconds: no call hangs, every answer reaches its own caller,
every refusal is the unknown-id or duplicate-id one, and no worker outlives its
record."""

import collections
import os
import random
import threading
import time

import pytest

import morvlen.engine.sequential_engine as sequential_engine

XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>'
THREADS = 8
IDS = [f"t{i}" for i in range(12)]
SECONDS = float(os.environ.get("MORVLEN_STRESS_SECONDS", "8"))
HANG = 60.0  # far beyond any one call; reaching it means a call never returned

pytestmark = [
    pytest.mark.skipif(sequential_engine.SequentialEngine is None,
                       reason="the behavior-tree runtime is not built in this tree"),
    pytest.mark.timeout(int(SECONDS + 3 * HANG)),
]


def caller(engine, n, deadline, tally, faults):
    """Thread n asks tick_n_times for n + 1 ticks: the answer's length names its caller."""
    rng = random.Random(n)
    ops = [
        lambda tree: engine.create_tree_from_text(XML, tree),
        lambda tree: engine.create_tree_from_text(XML),
        engine.stop_tree,
        lambda tree: check_answer(engine.tick_n_times(tree, n + 1), n),
        lambda tree: engine.set_blackboard_data(tree, f"k{n}", n),
        engine.get_all_blackboard_data,
        engine.get_tree_status,
        lambda tree: engine.stop_all_trees() if rng.random() < 0.02 else engine.tick_once(tree),
    ]
    while time.monotonic() < deadline:
        tree = rng.choice(IDS)
        try:
            rng.choice(ops)(tree)
            tally["done"] += 1
        except ValueError as error:
            if not (str(error).endswith(" 不存在") or str(error).endswith(" 已存在")):
                faults.append(repr(error))
            tally["refused"] += 1
        except Exception as error:  # noqa: BLE001 - any other failure is a fault
            faults.append(repr(error))


def check_answer(answer, n):
    assert len(answer) == n + 1, f"caller {n} got an answer of {len(answer)} ticks"


def engine_workers(engine):
    return [t for t in threading.enumerate() if getattr(t, "_target", None) == engine._run_tree]


def test_random_operations_from_eight_threads(mt, logs):
    engine = mt.ThreadEngine()
    tally, faults = collections.Counter(), []
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=caller, args=(engine, n, deadline, tally, faults), daemon=True)
               for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + HANG)
    assert not any(t.is_alive() for t in threads), "a call hung"
    assert faults == []
    assert tally["done"] > 0
    for tree, record in engine.trees.items():
        assert record["thread"].is_alive(), f"the record of {tree} lost its worker"
    assert len(engine_workers(engine)) == len(engine.trees), "a worker without its record"
    stopper = threading.Thread(target=engine.stop_all_trees, daemon=True)
    stopper.start()
    stopper.join(HANG)
    assert not stopper.is_alive(), "stop_all_trees hung"
    assert engine.trees == {}
    for worker in engine_workers(engine):
        worker.join(HANG)
        assert not worker.is_alive(), "a worker outlived stop_all_trees"
