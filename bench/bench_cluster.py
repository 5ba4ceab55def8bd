"""Benchmark of the cluster engine (morvlen.engine.trigger.cluster) on a local Ray instance.

Measures, in one run:
  1. tick_once round trip on a one-node tree: ThreadEngine against ClusterEngine
     (one actor), interleaved, median over the repeats.
  2. 1,000 trees ticked by 8 caller threads (each thread drives its own eighth of
     the trees with tick_once): commands per second with the trees on 1, 2 and 4
     actors, measured in turn and repeatedly, medians shown.
  3. Batching: 100 ticks of one tree as one tick_n_times(100) against 100 tick_once
     calls, through the cluster engine.
The trees hold one C++ leaf (AlwaysSuccess), so the figures are the cost of getting
a command to a tree and back, not of the tree's work. Compare within one run.

Run:  .venv/bin/python bench/bench_cluster.py [--quick]
"""

import argparse
import os
import platform
import statistics
import sys
import threading
import time

from loguru import logger

XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>'
CALLERS = 8
TREES = 1000
ACTOR_COUNTS = (1, 2, 4)


def per_call(engine, tree_id, calls):
    started = time.perf_counter()
    for _ in range(calls):
        engine.tick_once(tree_id)
    return (time.perf_counter() - started) / calls


def round_trips(thread_engine, cluster_engine, calls, repeats):
    """Seconds per tick_once for each engine, median over interleaved repeats."""
    trees = {name: engine.create_tree_from_text(XML) for name, engine in
             (("ThreadEngine", thread_engine), ("ClusterEngine", cluster_engine))}
    engines = {"ThreadEngine": thread_engine, "ClusterEngine": cluster_engine}
    times = {name: [] for name in engines}
    for name in engines:  # warm-up
        per_call(engines[name], trees[name], calls // 10 + 1)
    for _ in range(repeats):
        for name, engine in engines.items():
            times[name].append(per_call(engine, trees[name], calls))
    for name, engine in engines.items():
        engine.stop_tree(trees[name])
    return {name: statistics.median(values) for name, values in times.items()}


def spread_engine(actors):
    """1,000 trees on `actors` actors."""
    from morvlen.engine.trigger.cluster import ClusterEngine

    engine = ClusterEngine(min_actors=actors, trees_per_actor=TREES, max_concurrency=CALLERS,
                           call_timeout=120, command_timeout=120)
    trees = [engine.create_tree_from_text(XML) for _ in range(TREES)]
    for tree_id in trees[:CALLERS * 4]:  # warm-up of every caller path
        engine.tick_once(tree_id)
    return engine, trees


def commands_per_second(engine, trees, rounds):
    """Every tree ticked `rounds` times by 8 callers, each driving its own eighth."""
    failures = []

    def drive(mine):
        try:
            for _ in range(rounds):
                for tree_id in mine:
                    engine.tick_once(tree_id)
        except Exception as error:
            failures.append(error)

    callers = [threading.Thread(target=drive, args=(trees[i::CALLERS],)) for i in range(CALLERS)]
    started = time.perf_counter()
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join(600)
    elapsed = time.perf_counter() - started
    if failures or any(caller.is_alive() for caller in callers):
        raise RuntimeError(f"callers failed: {failures[:1]}")
    return len(trees) * rounds / elapsed


def batching(engine, ticks, repeats):
    tree_id = engine.create_tree_from_text(XML)
    one_by_one, batched = [], []
    for _ in range(repeats):
        one_by_one.append(per_call(engine, tree_id, ticks) * ticks)
        started = time.perf_counter()
        engine.tick_n_times(tree_id, ticks)
        batched.append(time.perf_counter() - started)
    engine.stop_tree(tree_id)
    return statistics.median(one_by_one), statistics.median(batched)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls and rounds")
    args = parser.parse_args()
    calls, repeats, rounds = (200, 3, 1) if args.quick else (1000, 5, 2)

    logger.remove()  # the engines' lifecycle lines would drown the figures
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")  # loopback only
    import ray

    from morvlen.engine.trigger.cluster import ClusterEngine
    from morvlen.engine.trigger.mthread import ThreadEngine

    ray.init(address="local", num_cpus=4, include_dashboard=False, log_to_driver=False)
    print(f"Python {platform.python_version()}, Ray {ray.__version__}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}; {calls} calls x {repeats} repeats, {rounds} rounds")

    thread_engine, cluster_engine = ThreadEngine(), ClusterEngine(call_timeout=120, command_timeout=120)
    trip = round_trips(thread_engine, cluster_engine, calls, repeats)
    for name, seconds in trip.items():
        print(f"tick_once round trip, {name}: {seconds * 1e6:8.1f} µs")
    print(f"  ratio ClusterEngine / ThreadEngine: {trip['ClusterEngine'] / trip['ThreadEngine']:.1f}x")

    one_by_one, batched = batching(cluster_engine, 100, repeats)
    print(f"100 ticks through ClusterEngine: 100 x tick_once {one_by_one * 1e3:.1f} ms, "
          f"tick_n_times(100) {batched * 1e3:.2f} ms ({one_by_one / batched:.0f}x)")
    cluster_engine.shutdown()
    thread_engine.stop_all_trees()

    # The three set-ups are measured in turn, repeatedly, so that a change in the
    # machine's load falls on all of them alike; medians are shown.
    setups = {actors: spread_engine(actors) for actors in ACTOR_COUNTS}
    rates = {actors: [] for actors in ACTOR_COUNTS}
    for _ in range(repeats):
        for actors, (engine, trees) in setups.items():
            rates[actors].append(commands_per_second(engine, trees, rounds))
    base = statistics.median(rates[ACTOR_COUNTS[0]])
    for actors, values in rates.items():
        rate = statistics.median(values)
        print(f"{TREES} trees on {actors} actor(s), {CALLERS} callers: {rate:8.0f} commands/s ({rate / base:.2f}x), "
              f"range {min(values):.0f} to {max(values):.0f}")
    for engine, _ in setups.values():
        engine.shutdown()
    ray.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
