"""Tick loops that sleep between ticks: what wakes them, their limits, cancelling."""

import subprocess
import sys
import time

import pytest

from morvlen.core import NodeStatus, TickLoopCancelled
from mthread_support import in_thread
from runtime_helpers import document, engine_with, tree

S, F, R = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING
BOUND = 10  # seconds: the bound of every wait on another thread



def retry_until(call, what):
    """Calls call() until it returns True (a loop may not have started yet)."""
    deadline = time.monotonic() + BOUND
    while not call():
        assert time.monotonic() < deadline, what
        time.sleep(0.001)


@pytest.mark.parametrize("body", [
    '<Sleep msec="150"/>',
    '<Delay delay_msec="150"><AlwaysSuccess/></Delay>',
])
def test_a_timed_node_is_ticked_again_at_its_deadline_only(body):
    engine = engine_with({}, document(tree("T", body)))
    assert engine.tick_until_success() == 2


def test_a_blackboard_write_through_the_engine_wakes_the_waiting_loop():
    # Only the 60 s Sleep would wake the loop otherwise: the check completes at once.
    def ready(node):
        return S if node.getInputObject("go") else F

    engine = engine_with(
        {"Ready": (ready, [{"name": "go", "type": "object", "direction": "input", "description": ""}])},
        document(tree("T", '<ReactiveFallback><Ready go="{go}"/><Sleep msec="60000"/></ReactiveFallback>')),
    )
    engine.set_blackboard_data("go", False)
    thread, outcome = in_thread(engine.tick_until_success)
    time.sleep(0.05)
    engine.set_blackboard_data("go", True)
    thread.join(BOUND)
    assert not thread.is_alive() and outcome.get("value", 0) >= 2


@pytest.mark.parametrize("body, limits, status, ticks", [
    ("<A/>", {"max_ticks": 3}, R, 3),
    ("<A/>", {"timeout": 0}, R, 1),
    ('<Sequence><Sleep msec="1"/><AlwaysFailure/></Sequence>', {}, F, 2),
    ("<AlwaysSuccess/>", {"max_ticks": 5, "timeout": 30}, S, 1),
])
def test_tick_while_running_stops_at_a_completed_status_or_a_limit(body, limits, status, ticks):
    engine = engine_with({"A": (lambda node: R, [])}, document(tree("T", body)))
    assert engine.tick_while_running(**limits) == status
    assert engine.get_tree_status()["tick_count"] == ticks


@pytest.mark.parametrize("call", [
    lambda engine: engine.tick_while_running(max_ticks=0),
    lambda engine: engine.tick_while_running(timeout=-1.0),
    lambda engine: engine.tick_while_running(timeout=float("nan")),
    lambda engine: setattr(engine, "poll_interval", -0.5),
    lambda engine: setattr(engine, "poll_interval", 61),
])
def test_bad_limits_are_refused(call):
    engine = engine_with({}, document(tree("T", "<AlwaysSuccess/>")))
    with pytest.raises(ValueError):
        call(engine)
    assert engine.get_tree_status()["tick_count"] == 0


def test_poll_interval_defaults_to_20_ms_and_zero_ticks_back_to_back():
    engine = engine_with({"A": (lambda node: R, [])}, document(tree("T", "<A/>")))
    assert engine.poll_interval == pytest.approx(0.02)
    engine.poll_interval = 0
    assert engine.tick_while_running(max_ticks=50) == R


def test_cancel_ends_the_loop_under_way_and_never_a_later_one():
    engine = engine_with({}, document(tree("T", '<Sequence><AlwaysSuccess/><Sleep msec="60000"/></Sequence>')))
    assert engine.cancel("nobody is looping") is False
    thread, outcome = in_thread(engine.tick_until_success)
    retry_until(lambda: engine.cancel("operator asked"), "the loop never started")
    thread.join(BOUND)
    assert not thread.is_alive()
    error = outcome.get("error")
    assert isinstance(error, TickLoopCancelled) and str(error) == "operator asked"
    status = engine.get_tree_status()
    assert status["status"] == NodeStatus.IDLE and {n["status"] for n in status["nodes"]} == {NodeStatus.IDLE}
    assert engine.cancel("stale") is False
    assert engine.tick_while_running(max_ticks=1) == R  # the tree is usable again


CTRL_C_SCRIPT = """
import signal, threading
from morvlen.engine.sequential_engine import SequentialEngine
engine = SequentialEngine()
engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="T"><Sleep msec="60000"/></BehaviorTree></root>')
threading.Timer(0.2, signal.raise_signal, (signal.SIGINT,)).start()
try:
    engine.tick_until_success()
except KeyboardInterrupt:
    print("interrupted", engine.get_tree_status()["status"].name)
"""


def test_ctrl_c_interrupts_a_waiting_loop_on_the_main_thread():
    done = subprocess.run([sys.executable, "-c", CTRL_C_SCRIPT], capture_output=True, text=True, timeout=BOUND * 3)
    assert done.stdout.strip() == "interrupted IDLE", done.stderr
