"""Concurrent callers on one engine: creations and stops racing on one id, trees
whose workers would wait on each other, and failures whose text cannot be made."""

import sys
import threading

import pytest

from mthread_support import JOIN_TIMEOUT

XML = "<root/>"
ROUNDS = 150

pytestmark = pytest.mark.timeout(120)


@pytest.fixture
def fast_switching():
    """Switch threads often, so a race window of a few bytecodes is hit."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def race(*calls):
    """Runs the calls at once; each outcome is "ok" or the exception raised."""
    barrier = threading.Barrier(len(calls))
    outcomes = [None] * len(calls)

    def run(i):
        barrier.wait(JOIN_TIMEOUT)
        try:
            calls[i]()
            outcomes[i] = "ok"
        except Exception as error:  # noqa: BLE001 - the outcome under test
            outcomes[i] = error

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
        assert not t.is_alive(), "a racing call hung"
    return outcomes


def assert_each_record_has_its_worker(engine):
    workers = [t for t in threading.enumerate() if getattr(t, "_target", None) == engine._run_tree]
    assert sorted(map(id, workers)) == sorted(id(r["thread"]) for r in engine.trees.values())
    assert all(t.is_alive() for t in workers)


def refusal(outcome, text):
    return isinstance(outcome, ValueError) and str(outcome) == text


def test_one_of_two_creations_of_an_id_wins(engine, fast_switching):
    for i in range(ROUNDS):
        tree = f"c{i}"
        outcomes = race(*[lambda: engine.create_tree_from_text(XML, tree)] * 2)
        assert outcomes.count("ok") == 1
        assert any(refusal(o, f"行为树ID {tree} 已存在") for o in outcomes), outcomes
    assert_each_record_has_its_worker(engine)
    generated = race(*[lambda: engine.create_tree_from_text(XML)] * 4)
    assert generated == ["ok"] * 4
    assert_each_record_has_its_worker(engine)


@pytest.mark.parametrize("recreate", [False, True], ids=["two stops", "two stops and a creation"])
def test_one_of_two_stops_of_an_id_wins(engine, fast_switching, recreate):
    for i in range(ROUNDS):
        tree = f"s{i}"
        engine.create_tree_from_text(XML, tree)
        calls = [lambda: engine.stop_tree(tree)] * 2
        if recreate:
            calls.append(lambda: engine.create_tree_from_text(XML, tree))
        stops = race(*calls)[:2]
        for outcome in stops:
            assert outcome == "ok" or refusal(outcome, f"行为树ID {tree} 不存在"), outcome
        if not recreate:
            assert stops.count("ok") == 1
        assert_each_record_has_its_worker(engine)
    engine.stop_all_trees()
    assert_each_record_has_its_worker(engine)


# ---- workers waiting on each other ------------------------------------------------

@pytest.mark.parametrize("ring", [["a", "b"], ["a", "b", "c"]], ids=["two trees", "three trees"])
def test_a_command_closing_a_wait_cycle_is_refused(engine, stand_in, logs, ring):
    """Each tree's tick asks the next tree in the ring for a tick."""
    workers = {}
    refused = []

    def tick_next(runtime):
        me = workers[threading.current_thread()]
        nxt = ring[(ring.index(me) + 1) % len(ring)]
        try:
            engine.tick_once(nxt)
        except RuntimeError as error:
            refused.append(str(error))

    stand_in.tick_hook = tick_next
    stand_in.answers["tick_once"] = "done"
    for tree in ring:
        engine.create_tree_from_text(XML, tree)
        workers[engine.trees[tree]["thread"]] = tree
    logs.clear()
    assert engine.tick_once("a") == "done"
    last = ring[-1]
    cycle = " → ".join([last, *ring])
    assert refused == [f"行为树 a 执行命令 tick_once 失败: 行为树 {cycle} 的线程将互相等待而死锁"]
    assert logs.at("ERROR") == refused
    # Nothing is left waiting: every tree still answers.
    stand_in.tick_hook = None
    assert [engine.tick_once(tree) for tree in ring] == ["done"] * len(ring)


# ---- failures whose text cannot be made ---------------------------------------------

class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


UNPRINTABLE = "<Unprintable: str() 引发了 RuntimeError, args=('x',)>"


@pytest.mark.parametrize("where, message", [
    ("command", f"处理命令 tick_once 时发生错误: {UNPRINTABLE}"),
    ("build", f"行为树线程 t 发生错误: {UNPRINTABLE}"),
])
def test_a_failure_without_text_is_still_reported(engine, stand_in, logs, where, message):
    if where == "command":
        stand_in.answers["tick_once"] = Unprintable("x")
    else:
        stand_in.build_error = Unprintable("x")
    engine.create_tree_from_text(XML, "t")
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once("t")
    assert str(raised.value) == f"行为树 t 执行命令 tick_once 失败: {message}"
    assert message in logs.at("ERROR")
    thread = engine.trees["t"]["thread"]
    assert thread.is_alive() == (where == "command")
    if where == "command":
        stand_in.answers["tick_once"] = "again"
        assert engine.tick_once("t") == "again"
