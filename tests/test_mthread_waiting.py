"""The thread engine with trees that wait: stopping a tree inside a tick loop,
callers interrupted in their wait, and the cause of a failed command."""

import subprocess
import sys
import time

import pytest

from mthread_support import JOIN_TIMEOUT, in_thread
from morvlen.core import NodeStatus, TickLoopCancelled

pytestmark = pytest.mark.timeout(60)

SLEEPING_XML = '<root BTCPP_format="4"><BehaviorTree ID="T"><Sleep msec="60000"/></BehaviorTree></root>'


@pytest.fixture
def engine(mt, logs):
    engine = mt.ThreadEngine()
    yield engine
    engine.stop_all_trees()



def wait_until_ticked(engine, tree_id):
    """The worker is inside its loop once the Sleep has started (read through the
    runtime's own status, not through the busy tree's turn)."""
    deadline = time.monotonic() + JOIN_TIMEOUT
    while True:
        record = engine.trees[tree_id]
        if record["result"][0] is None and record["command"][0] is not None:
            return
        assert time.monotonic() < deadline, "the command never reached the worker"
        time.sleep(0.01)


@pytest.mark.parametrize("stop", ["stop_tree", "stop_all_trees"])
def test_stopping_a_tree_ends_the_tick_loop_of_its_waiting_caller(engine, stop):
    tree = engine.create_tree_from_text(SLEEPING_XML, "sleeper")
    caller, outcome = in_thread(lambda: engine.tick_until_success(tree))
    wait_until_ticked(engine, tree)
    getattr(engine, stop)(*([tree] if stop == "stop_tree" else []))
    caller.join(JOIN_TIMEOUT)
    assert not caller.is_alive() and tree not in engine.trees
    error = outcome["error"]
    assert type(error) is RuntimeError
    assert str(error).startswith("行为树 sleeper 执行命令 tick_until_success 失败: ")
    assert "已被停止" in str(error)
    assert isinstance(error.__cause__, TickLoopCancelled)


def test_a_failed_command_keeps_the_worker_exception_as_its_cause(engine):
    def refuse(node):
        raise ConnectionError("tool unreachable")

    engine.register_action_behavior("Call", refuse, [])
    tree = engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="T"><Call/></BehaviorTree></root>')
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once(tree)
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == f"行为树 {tree} 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: tool unreachable"
    cause = raised.value.__cause__
    assert isinstance(cause, ConnectionError) and cause.__traceback__ is not None
    # The next command succeeds and carries no stale cause.
    assert engine.get_tree_status(tree)["status"] == NodeStatus.IDLE


CTRL_C_SCRIPT = f"""
import signal, threading
from morvlen.engine.trigger.mthread import ThreadEngine
engine = ThreadEngine()
tree = engine.create_tree_from_text({SLEEPING_XML!r}, "sleeper")
threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
try:
    engine.tick_until_success(tree)
except KeyboardInterrupt:
    print("interrupted")
print("status", engine.get_tree_status(tree)["status"].name)
engine.stop_all_trees()
print("stopped")
"""


def test_ctrl_c_in_a_waiting_caller_cancels_its_loop_and_leaves_the_tree_usable():
    done = subprocess.run([sys.executable, "-c", CTRL_C_SCRIPT], capture_output=True, text=True,
                          timeout=JOIN_TIMEOUT * 3)
    assert done.stdout.split("\n")[:3] == ["interrupted", "status IDLE", "stopped"], done.stderr
    assert done.returncode == 0
