"""Concurrent callers on one ThreadEngine: figures for races on shared tree ids.

Prints, in one run:
  1. creation: ROUNDS rounds of two threads creating the same id at once; how many
     rounds both succeeded (a double creation), and whether workers outlived
     stop_all_trees;
  2. stopping: ROUNDS rounds of two threads stopping the same id at once; how
     the losers failed (ValueError expected, anything else counted);
  3. stress: 8 threads making random creations, ticks, blackboard calls and
     stops on 50 shared ids for SECONDS; operations done, unexpected errors, and
     whether a call hung (no answer within 10 s).

Run:  .venv/bin/python bench/concurrent_callers.py [--rounds 200] [--seconds 10]
"""

import argparse
import collections
import random
import sys
import threading
import time

from loguru import logger

import morvlen.engine.trigger.mthread as mthread

XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>'
HANG = 10.0


def run_bounded(target, *args):
    """Runs target(*args) in a daemon thread; returns False if it did not end in time."""
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    thread.join(HANG)
    return not thread.is_alive()


def pair(engine, call, outcomes):
    barrier = threading.Barrier(2)

    def one():
        barrier.wait(HANG)
        try:
            call()
            outcomes["ok"] += 1
        except Exception as error:  # noqa: BLE001 - counted by kind
            outcomes[type(error).__name__] += 1

    threads = [threading.Thread(target=one, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(HANG)
    return not any(t.is_alive() for t in threads)


def workers_alive():
    return sum(1 for t in threading.enumerate() if "_run_tree" in repr(getattr(t, "_target", None)))


def creation(rounds):
    engine = mthread.ThreadEngine()
    doubles, hung = 0, 0
    for i in range(rounds):
        outcomes = collections.Counter()
        if not pair(engine, lambda i=i: engine.create_tree_from_text(XML, f"c{i}"), outcomes):
            hung += 1
        doubles += outcomes["ok"] == 2
    stopped = run_bounded(engine.stop_all_trees)
    time.sleep(0.5)
    print(f"creation: {rounds} rounds, {doubles} double creations, {hung} hung rounds, "
          f"stop_all_trees {'returned' if stopped else 'HUNG'}, {workers_alive()} workers left")


def stopping(rounds):
    engine = mthread.ThreadEngine()
    outcomes, hung = collections.Counter(), 0
    for i in range(rounds):
        engine.create_tree_from_text(XML, f"s{i}")
        if not pair(engine, lambda i=i: engine.stop_tree(f"s{i}"), outcomes):
            hung += 1
    run_bounded(engine.stop_all_trees)
    print(f"stopping: {rounds} rounds, outcomes {dict(outcomes)}, {hung} hung rounds")


def stress(seconds):
    engine = mthread.ThreadEngine()
    ids = [f"t{i}" for i in range(50)]
    ops = collections.Counter()
    errors = collections.Counter()
    deadline = time.monotonic() + seconds

    def caller(n):
        rng = random.Random(n)
        while time.monotonic() < deadline:
            tree = rng.choice(ids)
            op = rng.randrange(6)
            try:
                if op == 0:
                    engine.create_tree_from_text(XML, tree)
                elif op == 1:
                    engine.stop_tree(tree)
                elif op == 2:
                    answer = engine.tick_n_times(tree, n + 1)
                    if len(answer) != n + 1:
                        errors["wrong answer"] += 1
                elif op == 3:
                    engine.set_blackboard_data(tree, f"k{n}", n)
                elif op == 4:
                    engine.get_all_blackboard_data(tree)
                else:
                    engine.stop_all_trees() if rng.random() < 0.01 else engine.tick_once(tree)
                ops["done"] += 1
            except ValueError:
                ops["refused"] += 1
            except Exception as error:  # noqa: BLE001 - counted by kind
                errors[type(error).__name__] += 1

    threads = [threading.Thread(target=caller, args=(n,), daemon=True) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + HANG)
    hung = sum(t.is_alive() for t in threads)
    stopped = not hung and run_bounded(engine.stop_all_trees)
    time.sleep(0.5)
    print(f"stress: 8 threads, {seconds} s, {ops['done']} operations done, {ops['refused']} refused "
          f"(ValueError), errors {dict(errors)}, {hung} callers hung, "
          f"stop_all_trees {'returned' if stopped else 'not run or HUNG'}, {workers_alive()} workers left")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--switch", type=float, default=1e-5, help="sys.setswitchinterval, seconds")
    args = parser.parse_args()
    logger.remove()
    # A short switch interval makes the interpreter change threads often, so a
    # race window of a few bytecodes is hit within a few hundred rounds.
    sys.setswitchinterval(args.switch)
    print(f"python {sys.version.split()[0]}, switch interval {args.switch} s")
    creation(args.rounds)
    stopping(args.rounds)
    stress(args.seconds)


if __name__ == "__main__":
    main()
