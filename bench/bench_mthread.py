"""Benchmark of the thread engine (morvlen.engine.trigger.mthread).

Measures, in one run:
  1. tick_once round trip on a one-node tree, from one caller and from 8 threads
     over 8 trees, against a plain threading.Condition ping-pong of the same shape
     (the floor for this hand-over) and against the same engine in plain Python
     (bench/py_thread_engine.py). Each is timed as wall time per call and as
     process CPU time per call (all threads over the timed span, divided by the
     calls): user + system, and user alone. Wall time is dominated by the two
     thread wake-ups of each round trip and by whatever else runs on the
     machine, and system time by the kernel's part of those wake-ups, the same
     for all three; user time is the interpreter work an engine adds or saves
     (the kernel splits user from system time by sampling, so it is the noisier
     figure). The three are run interleaved, in a rotating order, and the
     medians of the repeats are shown with their spread.
  2. With --instructions: the instructions per round trip of each of the three
     (one caller), counted by valgrind's callgrind over two fixed runs of
     different lengths (their difference cancels start-up), which does not
     depend on the machine's load.
  3. 1,000 idle trees in one engine: resident memory, create and stop time per tree.
  4. 16 trees whose action sleeps 10 ms, ticked from 16 threads at once against
     one thread ticking them in turn.
The summary at the end states each target and whether this run met it ("unclear"
when a timed difference is smaller than the spread of the repeats).

Run:  .venv/bin/python bench/bench_mthread.py [--quick] [--instructions]
"""

import argparse
import gc
import os
import platform
import resource
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from loguru import logger  # noqa: E402

import callgrind  # noqa: E402
import morvlen.engine.trigger.mthread as mthread  # noqa: E402
from py_thread_engine import PyThreadEngine  # noqa: E402

XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><{0}/></BehaviorTree></root>'
VARIANTS = ("floor", "mthread", "python")
MEASURES = ("wall", "cpu", "user")
LABELS = {
    "floor": "Condition ping-pong floor",
    "mthread": "mthread (C++)",
    "python": "plain-Python engine",
}


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


def success_status():
    from morvlen.core import NodeStatus

    return NodeStatus.SUCCESS if NodeStatus is not None else "SUCCESS"


def success_tick():
    status = success_status()
    return lambda node: status


def sleeping_tick(node):
    time.sleep(0.010)
    return success_status()


def resident_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds():
    """(user + system, user) time of the whole process (every thread) so far."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime, usage.ru_utime


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


class Subject:
    """One variant with `callers` trees, ready to be ticked: (tick, ids, close)."""

    def __init__(self, variant, engine_class, callers):
        tick = success_tick()
        if variant == "floor":
            pongs = [PingPong(make_runtime(engine_class, "Act", tick)) for _ in range(callers)]
            self.ticks = [p.tick_once for p in pongs]
            self.ids = ["t"] * callers
            self._close = lambda: [p.stop() for p in pongs]
            return
        engine = mthread.ThreadEngine() if variant == "mthread" else PyThreadEngine(engine_class)
        engine.register_action_behavior("Act", tick, [])
        self.ids = [engine.create_tree_from_text(XML.format("Act")) for _ in range(callers)]
        self.ticks = [engine.tick_once] * callers
        for tick_once, tree_id in zip(self.ticks, self.ids):  # every tree built before timing
            tick_once(tree_id)
        self._close = engine.stop_all_trees

    def close(self):
        self._close()


# ---- round trips --------------------------------------------------------------------

def time_callers(tick_fns, ids, per_caller):
    """Each caller thread ticks its own tree per_caller times.
    Returns (wall, process CPU, process user CPU) in µs per round trip."""
    barrier = threading.Barrier(len(ids) + 1)

    def caller(tick, tree_id):
        barrier.wait()
        for _ in range(per_caller):
            tick(tree_id)

    threads = [threading.Thread(target=caller, args=(tick, tid)) for tick, tid in zip(tick_fns, ids)]
    for t in threads:
        t.start()
    barrier.wait()
    (cpu_start, user_start), start = cpu_seconds(), time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    cpu_end, user_end = cpu_seconds()
    per_call = 1e6 / (per_caller * len(ids))
    return elapsed * per_call, (cpu_end - cpu_start) * per_call, (user_end - user_start) * per_call


def round_trips(engine_class, callers, per_caller, repeats):
    """{variant: {measure: [one figure per repeat]}}, the variants run in a rotating order."""
    figures = {v: {m: [] for m in MEASURES} for v in VARIANTS}
    for rep in range(repeats):
        order = VARIANTS[rep % 3:] + VARIANTS[:rep % 3]
        for variant in order:
            subject = Subject(variant, engine_class, callers)
            measured = time_callers(subject.ticks, subject.ids, per_caller)
            subject.close()
            for measure, value in zip(MEASURES, measured):
                figures[variant][measure].append(value)
    return figures


def median(values):
    return statistics.median(values)


def spread(values):
    """Range of the repeats as a fraction of their median."""
    return (max(values) - min(values)) / median(values)


# ---- instructions per round trip (callgrind) -----------------------------------------

def loop_in_child(variant, calls):
    """The body run under callgrind: `calls` round trips from one caller."""
    logger.remove()
    engine_class, _ = runtime_engine_class()
    subject = Subject(variant, engine_class, 1)
    tick, tree_id = subject.ticks[0], subject.ids[0]
    for _ in range(calls):
        tick(tree_id)
    subject.close()


def instructions_per_call(short=1000, long=3000):
    """{variant: instructions per round trip}, the long run minus the short one."""
    return {v: callgrind.per_unit(lambda calls: [__file__, "--child-loop", v, str(calls)], short, long)
            for v in VARIANTS}


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
    # Not "Sleep": that is one of the runtime's built-in nodes.
    engine.register_action_behavior("Doze", sleeping_tick, [])
    ids = [engine.create_tree_from_text(XML.format("Doze")) for _ in range(count)]
    for tree_id in ids:  # set-up done before timing
        engine.tick_once(tree_id)
    start = time.perf_counter()
    for tree_id in ids:
        engine.tick_once(tree_id)
    in_turn = time.perf_counter() - start
    side_by_side = time_callers([engine.tick_once] * count, ids, 1)[0] * count / 1e6
    engine.stop_all_trees()
    return in_turn, side_by_side


# ---- report --------------------------------------------------------------------------

def print_round_trips(callers, figures):
    print(f"tick_once round trip, {callers} caller(s) over {callers} tree(s), µs per call "
          f"(median, spread of the repeats):")
    print(f"  {'':27} {'wall':>8} {'':>6} {'CPU':>8} {'':>6} {'user CPU':>8}")
    for v in VARIANTS:
        print(f"  {LABELS[v]:27}" + "".join(
            f" {median(figures[v][m]):8.2f} ±{spread(figures[v][m]) * 50:3.0f}%" for m in MEASURES))
    print()


def verdict(met, unclear=False):
    return "unclear" if unclear else "met    " if met else "NOT met"


def summary(rounds, instructions, per_tree_kib, create_us, stop_us, in_turn, side):
    lines = []
    for callers, figures in rounds.items():
        m = {v: {k: median(figures[v][k]) for k in MEASURES} for v in VARIANTS}
        ratio = m["mthread"]["wall"] / m["floor"]["wall"]
        lines.append(f"{verdict(ratio <= 1.25)} round trip within 1.25x the floor, {callers} caller(s): "
                     f"{m['mthread']['wall']:.1f} µs vs {m['floor']['wall']:.1f} µs wall = {ratio:.2f}x")
        gain = {k: m["python"][k] / m["mthread"][k] for k in MEASURES}
        # A difference smaller than the repeats' own spread says nothing either way.
        noise = max(spread(figures[v]["user"]) for v in ("mthread", "python")) / 2
        lines.append(f"{verdict(gain['user'] > 1, abs(gain['user'] - 1) < noise)} "
                     f"faster than the plain-Python engine, {callers} caller(s), "
                     f"user CPU: {m['mthread']['user']:.1f} vs {m['python']['user']:.1f} µs = {gain['user']:.2f}x "
                     f"(CPU {gain['cpu']:.2f}x, wall {gain['wall']:.2f}x)")
    if instructions:
        gain = instructions["python"] / instructions["mthread"]
        above = {v: instructions[v] - instructions["floor"] for v in ("mthread", "python")}
        lines.append(f"{verdict(gain > 1)} faster than the plain-Python engine, instructions: "
                     f"{instructions['mthread']:.0f} vs {instructions['python']:.0f} per call = {gain:.2f}x "
                     f"(above the floor's {instructions['floor']:.0f}: "
                     f"{above['mthread']:+.0f} vs {above['python']:+.0f})")
    lines.append(f"{verdict(per_tree_kib < 64)} 1,000 idle trees under 64 KiB resident each: "
                 f"{per_tree_kib:.1f} KiB (create {create_us:.0f} µs, stop {stop_us:.0f} µs per tree)")
    lines.append(f"{verdict(in_turn / side >= 8)} 16 sleeping trees side by side >= 8x faster than in turn: "
                 f"{in_turn / side:.1f}x ({side * 1e3:.1f} ms vs {in_turn * 1e3:.1f} ms)")
    print("Targets:")
    for line in lines:
        print("  " + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    parser.add_argument("--instructions", action="store_true",
                        help="also count instructions per round trip with valgrind's callgrind")
    parser.add_argument("--child-loop", nargs=2, metavar=("VARIANT", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child_loop:
        loop_in_child(args.child_loop[0], int(args.child_loop[1]))
        return
    logger.remove()  # the engine's info lines would dominate the timings
    engine_class, runtime_note = runtime_engine_class()
    per_caller = 2000 if args.quick else 10000
    repeats = 3 if args.quick else 6

    print(f"python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cpus, "
          f"load average {os.getloadavg()[0]:.2f}; {runtime_note}")
    print(f"round trips: {repeats} repeats, variants interleaved in rotating order; "
          f"{per_caller} tick_once per run, split over the caller threads\n")
    rounds = {}
    for callers in (1, 8):
        rounds[callers] = round_trips(engine_class, callers, per_caller // callers, repeats)
        print_round_trips(callers, rounds[callers])

    instructions = None
    if args.instructions:
        if not callgrind.available():
            print("instructions: valgrind not found, skipped\n")
        else:
            instructions = instructions_per_call()
            print("instructions per round trip, 1 caller (callgrind, 3000 minus 1000 calls):")
            for v in VARIANTS:
                print(f"  {LABELS[v]:27} {instructions[v]:8.0f}")
            print()

    per_tree_kib, create_us, stop_us = scale(1000)
    print("1,000 idle trees in one engine:")
    print(f"  resident memory per tree {per_tree_kib:8.1f} KiB")
    print(f"  create per tree           {create_us:8.1f} µs")
    print(f"  stop per tree             {stop_us:8.1f} µs\n")

    in_turn, side = concurrency(16)
    print("16 trees whose action sleeps 10 ms, one tick each:")
    print(f"  one thread, in turn       {in_turn * 1e3:8.1f} ms")
    print(f"  16 threads at once        {side * 1e3:8.1f} ms   {in_turn / side:.1f}x faster\n")

    print(f"load average at the end {os.getloadavg()[0]:.2f}")
    summary(rounds, instructions, per_tree_kib, create_us, stop_us, in_turn, side)


if __name__ == "__main__":
    main()
