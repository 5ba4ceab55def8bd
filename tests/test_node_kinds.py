"""Stateful, condition, async and plain Python nodes through both engines: what each
kind returns, how each is told of a halt, and where their exceptions come from."""

import asyncio
import gc
import threading
import time
import traceback
import weakref

import pytest

from morvlen.core import BehaviorTreeFactory, NodeLogicError, NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.nodes.action_node import ConditionNode, SimpleActionNode, StatefulActionNode

pytestmark = pytest.mark.timeout(60)

BOUND_S = 10.0
GATE_PORTS = [{"name": "open", "type": "bool", "direction": "input", "description": ""}]


def xml(body, tree_id="M"):
    return f'<root BTCPP_format="4"><BehaviorTree ID="{tree_id}">{body}</BehaviorTree></root>'


def wait_for(condition, what):
    deadline = time.monotonic() + BOUND_S
    while not condition():
        assert time.monotonic() < deadline, f"no {what} within {BOUND_S}s"
        time.sleep(0.002)


class Gate(ConditionNode):
    """SUCCESS while the blackboard says open."""

    ports = GATE_PORTS

    @staticmethod
    def tick(node):
        return NodeStatus.SUCCESS if node.getInput("open") else NodeStatus.FAILURE


class Sequential:
    """SequentialEngine, driven as the tests drive both engines."""

    def __init__(self):
        self.engine = SequentialEngine()

    def register(self, name, registered):
        if isinstance(registered, type):
            self.engine.register_action_class(registered, name)
        else:
            self.engine.register_action_behavior(name, registered, [])

    def build(self, body):
        self.engine.register_action_class(Gate)
        self.engine.create_tree_from_text(xml(body))

    def set(self, key, value):
        self.engine.set_blackboard_data(key, value)

    def tick(self):
        return self.engine.tick_once()

    def reset(self):
        self.engine.reset_tree()

    def stop(self):
        self.engine = None
        gc.collect()


class Threaded(Sequential):
    """ThreadEngine: registrations reach the runtime as (name, cls.tick, cls.ports)."""

    def __init__(self):
        from morvlen.engine.trigger.mthread import ThreadEngine

        self.engine = ThreadEngine()
        self.tree = None

    def build(self, body):
        self.engine.register_action_class(Gate)
        self.tree = self.engine.create_tree_from_text(xml(body))

    def set(self, key, value):
        self.engine.set_blackboard_data(self.tree, key, value)

    def tick(self):
        return self.engine.tick_once(self.tree)

    def reset(self):
        self.engine.reset_tree(self.tree)

    def stop(self):
        self.engine.stop_all_trees()


@pytest.fixture(params=[Sequential, Threaded], ids=["sequential", "threaded"])
def driver(request, logs):
    made = request.param()
    yield made
    if made.engine is not None:
        made.stop()


def tick_until(driver, wanted):
    deadline = time.monotonic() + BOUND_S
    statuses = [driver.tick()]
    while statuses[-1] != wanted:
        assert time.monotonic() < deadline, f"no {wanted} within {BOUND_S}s: {statuses[-5:]}"
        time.sleep(0.002)
        statuses.append(driver.tick())
    return statuses


# --- each kind, run to its end ----------------------------------------------------------

def countdown_function(node):
    """Per-node state on the handle: three ticks to SUCCESS."""
    if node.status() == NodeStatus.IDLE:
        node.left = 3
    node.left -= 1
    return NodeStatus.SUCCESS if node.left == 0 else NodeStatus.RUNNING


class Countdown(StatefulActionNode):
    def on_start(self, node):
        self.left = 2
        return NodeStatus.RUNNING

    def on_running(self, node):
        self.left -= 1
        return NodeStatus.SUCCESS if self.left == 0 else NodeStatus.RUNNING


class AsyncFetch(SimpleActionNode):
    @staticmethod
    async def tick(node):
        await asyncio.sleep(0.01)
        return NodeStatus.SUCCESS


async def async_function(node):
    await asyncio.sleep(0)
    return NodeStatus.FAILURE


@pytest.mark.parametrize("registered, element, wanted, ticks", [
    (countdown_function, "<Work/>", NodeStatus.SUCCESS, 3),
    (Countdown, "<Work/>", NodeStatus.SUCCESS, 3),
    (Gate, '<Condition ID="Work" open="true"/>', NodeStatus.SUCCESS, 1),
    (AsyncFetch, "<Work/>", NodeStatus.SUCCESS, None),
    (async_function, "<Work/>", NodeStatus.FAILURE, None),
], ids=["plain-with-state", "stateful", "condition", "async-class", "async-function"])
def test_each_kind_runs_to_its_result(driver, registered, element, wanted, ticks):
    driver.register("Work", registered)
    driver.build(f"<Sequence>{element}<AlwaysSuccess/></Sequence>")
    statuses = tick_until(driver, wanted)
    if ticks is not None:
        assert len(statuses) == ticks
    else:  # RUNNING while the coroutine runs, however quick it is
        assert statuses[0] == NodeStatus.RUNNING
    tick_until(driver, wanted)  # and again from the start


# --- halting -----------------------------------------------------------------------------

def stateful_work(record):
    class Work(StatefulActionNode):
        def on_start(self, node):
            record.append("start")
            return NodeStatus.RUNNING

        def on_running(self, node):
            return NodeStatus.RUNNING

        def on_halted(self, node):
            record.append(f"halted:{node.status().name}")

    return Work


def plain_work(record):
    def work(node):
        if node.status() == NodeStatus.IDLE:
            record.append("start")
        return NodeStatus.RUNNING

    work.on_halted = lambda node: record.append(f"halted:{node.status().name}")
    return work


def async_work(record):
    class Work(SimpleActionNode):
        @staticmethod
        async def tick(node):
            record.append("start")
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                record.append("halted:RUNNING")  # seen inside the coroutine
                raise

    return Work


def halt_by_timeout(driver):
    assert tick_until(driver, NodeStatus.FAILURE)[0] == NodeStatus.RUNNING


def halt_by_reactive_sequence(driver):
    driver.set("open", False)
    assert driver.tick() == NodeStatus.FAILURE


HALTERS = {
    "timeout": ('<Timeout msec="30"><Work/></Timeout>', halt_by_timeout),
    "reactive": ('<ReactiveSequence><Gate open="{open}"/><Work/></ReactiveSequence>', halt_by_reactive_sequence),
    "reset": ("<Sequence><Work/></Sequence>", lambda driver: driver.reset()),
    "stop": ("<Sequence><Work/></Sequence>", lambda driver: driver.stop()),
}


@pytest.mark.parametrize("make_work", [stateful_work, plain_work, async_work], ids=["stateful", "plain", "async"])
@pytest.mark.parametrize("halter", HALTERS)
def test_a_halt_reaches_the_action(driver, make_work, halter):
    body, halt = HALTERS[halter]
    record = []
    driver.register("Work", make_work(record))
    driver.build(body)
    driver.set("open", True)
    assert driver.tick() == NodeStatus.RUNNING
    wait_for(lambda: "start" in record, "start")
    halt(driver)
    wait_for(lambda: len(record) > 1, "halt")
    assert record == ["start", "halted:RUNNING"]


def test_halting_a_tree_while_the_coroutine_ignores_its_cancellation_warns_and_goes_on():
    started, release = threading.Event(), threading.Event()

    async def stubborn(node):
        started.set()
        while not release.is_set():
            try:
                await asyncio.sleep(0.01)
            except asyncio.CancelledError:
                pass
        return NodeStatus.SUCCESS

    engine = Sequential()
    engine.register("Work", stubborn)
    engine.build("<Work/>")
    engine.tick()
    assert started.wait(BOUND_S)
    try:  # halting waits a bounded time; the warning says the coroutine was left running
        with pytest.warns(RuntimeWarning, match="did not finish within"):
            engine.reset()
    finally:
        release.set()
        engine.stop()


# --- exceptions --------------------------------------------------------------------------

class Fails(StatefulActionNode):
    where = ""

    def on_start(self, node):
        if self.where == "on_start":
            raise ConnectionError("refused")
        return NodeStatus.RUNNING

    def on_running(self, node):
        if self.where == "on_running":
            raise ConnectionError("refused")
        return NodeStatus.RUNNING

    def on_halted(self, node):
        if self.where == "on_halted":
            raise ConnectionError("refused")


class FailsAsync(SimpleActionNode):
    @staticmethod
    async def tick(node):
        await asyncio.sleep(0)
        raise ConnectionError("refused")


def run_failing(where):
    factory = BehaviorTreeFactory()
    if where == "coroutine":
        factory.register_action_class(FailsAsync, "Fails")
    else:
        factory.register_action_class(type("Fails", (Fails,), {"where": where}))
    tree = factory.create_tree_from_text(xml('<Sequence name="seq"><Fails name="f"/></Sequence>'))
    deadline = time.monotonic() + BOUND_S
    try:
        while time.monotonic() < deadline:
            tree.tick_once()
            if where == "on_halted":
                tree.reset()
            time.sleep(0.002)
    finally:
        del tree  # not kept alive by the traceback's frames (nor is its event loop)
    raise AssertionError("nothing raised")


@pytest.mark.parametrize("where, raising_frame", [
    ("on_start", "on_start"), ("on_running", "on_running"), ("on_halted", "on_halted"), ("coroutine", "tick"),
])
def test_an_exception_keeps_its_type_and_traceback_and_names_its_node(where, raising_frame):
    with pytest.raises(ConnectionError) as caught:
        run_failing(where)
    assert str(caught.value) == "refused"
    frames = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert frames[-1] == raising_frame
    role = "the async tick function" if where == "coroutine" else where
    assert caught.value.__notes__ == [f"raised by {role} of Fails node 'M/seq/f' in behavior tree 'M'"]


def raising(node):
    raise ValueError("tick")


@pytest.mark.parametrize("broken, tick_error", [(raising, ValueError), (lambda node: "done", NodeLogicError)])
def test_an_error_while_halting_after_a_failed_tick_keeps_the_tick_error_as_its_context(broken, tick_error):
    class Both(StatefulActionNode):
        def on_start(self, node):
            return NodeStatus.RUNNING

        def on_running(self, node):
            return NodeStatus.RUNNING

        def on_halted(self, node):
            raise KeyError("halt")

    factory = BehaviorTreeFactory()
    factory.register_action_class(Both)
    factory.register_action("Broken", broken)
    tree = factory.create_tree_from_text(xml("<ParallelAll><Both/><Broken/></ParallelAll>"))
    with pytest.raises(KeyError) as caught:
        tree.tick_once()
    assert isinstance(caught.value.__context__, tick_error)
    assert tree.status == NodeStatus.IDLE
    tree.reset()  # nothing is left RUNNING, so nothing is halted twice


# --- the kinds' own rules ----------------------------------------------------------------

def test_a_condition_returning_running_is_a_logic_error_naming_it():
    class Unsure(ConditionNode):
        @staticmethod
        def tick(node):
            return NodeStatus.RUNNING

    factory = BehaviorTreeFactory()
    factory.register_action_class(Unsure)
    tree = factory.create_tree_from_text(xml('<Condition ID="Unsure" name="u"/>'))
    with pytest.raises(NodeLogicError, match="Unsure 'M/u'.*RUNNING.*SUCCESS or NodeStatus.FAILURE"):
        tree.tick_once()
    assert Unsure.tick(None) == NodeStatus.RUNNING  # a condition's tick stays callable


def test_the_model_shows_conditions_as_conditions():
    factory = BehaviorTreeFactory()
    factory.register_action_class(Gate)
    factory.register_action_class(Countdown)
    model = factory.tree_nodes_model()
    assert '<Condition ID="Gate">' in model and '<Action ID="Countdown"' in model
    assert "SUCCESS while the blackboard says open." in model


def test_state_belongs_to_one_node_of_one_tree():
    seen = []

    def count(node):
        node.count = getattr(node, "count", 0) + 1
        seen.append((node.fullPath(), node.count))
        return NodeStatus.SUCCESS

    factory = BehaviorTreeFactory()
    factory.register_action("Count", count)
    factory.register_action_class(Countdown)
    trees = [factory.create_tree_from_text(xml('<Sequence><Count name="a"/><Count name="b"/></Sequence>'))
             for _ in range(2)]
    trees[0].tick_once()
    trees[0].tick_once()
    trees[1].tick_once()
    assert seen == [("M/Sequence/a", 1), ("M/Sequence/b", 1), ("M/Sequence/a", 2), ("M/Sequence/b", 2),
                    ("M/Sequence/a", 1), ("M/Sequence/b", 1)]


@pytest.mark.parametrize("define, message", [
    (lambda: type("T", (StatefulActionNode,), {"tick": staticmethod(lambda node: None)}), "defines tick"),
    (lambda: type("A", (ConditionNode,), {"tick": staticmethod(async_function)}), "coroutine function"),
    (lambda: BehaviorTreeFactory().register_action_class(type("N", (StatefulActionNode,), {})), "defines no on_start"),
])
def test_a_class_that_cannot_make_its_kind_is_refused(define, message):
    with pytest.raises(TypeError, match=message):
        define()


def test_a_stateful_class_makes_one_instance_per_node():
    made = []

    class Tracked(StatefulActionNode):
        def __init__(self):
            made.append(self)

        def on_start(self, node):
            return NodeStatus.SUCCESS

        on_running = on_start

    factory = BehaviorTreeFactory()
    factory.register_action_class(Tracked)
    trees = [factory.create_tree_from_text(xml("<Sequence><Tracked/><Tracked/></Sequence>")) for _ in range(2)]
    assert len(made) == 4 and len(set(map(id, made))) == 4
    with pytest.raises(TypeError, match="only the runtime ticks|the runtime ticks it"):
        Tracked.tick(None)
    del trees


# --- waking a waiting tree ---------------------------------------------------------------

def test_an_async_action_wakes_its_waiting_tree_when_it_completes():
    engine = SequentialEngine()
    engine.register_action_class(AsyncFetch)
    engine.create_tree_from_text(xml('<Sequence><AsyncFetch/><Sleep msec="60000"/></Sequence>'))
    # Nothing polls an async action: the completion's wake-up is what ends the first wait.
    assert engine.tick_while_running(max_ticks=2, timeout=BOUND_S) == NodeStatus.RUNNING
    assert [node["status"] for node in engine.get_tree_status()["nodes"]][1:] == [NodeStatus.SUCCESS,
                                                                                   NodeStatus.RUNNING]


def test_a_node_wakes_its_waiting_tree_from_another_thread():
    handles, ready = [], threading.Event()

    class Ready(ConditionNode):
        @staticmethod
        def tick(node):
            handles.append(node)
            return NodeStatus.SUCCESS if ready.is_set() else NodeStatus.FAILURE

    engine = SequentialEngine()
    engine.register_action_class(Ready)
    engine.create_tree_from_text(xml('<ReactiveFallback><Ready/><Sleep msec="60000"/></ReactiveFallback>'))

    def wake_later():
        wait_for(lambda: handles, "a tick")
        ready.set()
        handles[0].wake()

    waker = threading.Thread(target=wake_later)
    waker.start()
    try:  # without the wake-up only the 60 s Sleep would end the wait
        assert engine.tick_while_running(timeout=BOUND_S) == NodeStatus.SUCCESS
    finally:
        waker.join(BOUND_S)
    del engine
    gc.collect()
    with pytest.raises(Exception, match="outlived its tree"):
        handles[0].wake()


def test_node_state_in_a_reference_cycle_is_collected():
    class Marker:
        pass

    class Keeper(StatefulActionNode):
        def on_start(self, node):
            self.marker = node.marker = node_marker[0]  # the instance and the handle hold it
            return NodeStatus.RUNNING

        on_running = on_start

        def on_halted(self, node):  # the collector finalises the engine before it clears anything
            halted.append(node.fullPath())

    halted, node_marker = [], [Marker()]
    gone = weakref.ref(node_marker[0])
    engine = SequentialEngine()
    node_marker[0].engine = engine  # engine -> tree -> node -> instance -> marker -> engine
    engine.register_action_class(Keeper)
    engine.create_tree_from_text(xml("<Keeper/>"))
    engine.tick_once()
    del engine, Keeper, node_marker
    gc.collect()
    assert gone() is None
    assert halted == ["M/Keeper"]


# --- through ThreadEngine's commands -----------------------------------------------------

def test_a_failed_command_carries_the_node_exception_with_its_note(logs):
    from morvlen.engine.trigger.mthread import ThreadEngine

    engine = ThreadEngine()
    try:
        engine.register_action_class(type("Fails", (Fails,), {"where": "on_start"}))
        tree = engine.create_tree_from_text(xml('<Sequence name="seq"><Fails name="f"/></Sequence>'))
        with pytest.raises(RuntimeError) as caught:
            engine.tick_once(tree)
    finally:
        engine.stop_all_trees()
    cause = caught.value.__cause__
    assert isinstance(cause, ConnectionError)
    assert cause.__notes__ == ["raised by on_start of Fails node 'M/seq/f' in behavior tree 'M'"]


@pytest.mark.parametrize("make_work", [stateful_work, async_work], ids=["stateful", "async"])
def test_stopping_a_tree_inside_its_tick_loop_halts_the_action(logs, make_work):
    from morvlen.engine.trigger.mthread import ThreadEngine

    record, outcome = [], {}
    engine = ThreadEngine()
    engine.register_action_class(make_work(record), "Work")
    tree = engine.create_tree_from_text(xml("<Sequence><Work/></Sequence>"))

    def loop():
        try:
            engine.tick_until_success(tree)
        except RuntimeError as error:
            outcome["error"] = error

    caller = threading.Thread(target=loop)
    caller.start()
    try:
        wait_for(lambda: "start" in record, "start")
        engine.stop_tree(tree)
    finally:
        caller.join(BOUND_S)
        engine.stop_all_trees()
    assert record == ["start", "halted:RUNNING"]
    assert str(outcome["error"]).startswith(f"行为树 {tree} 执行命令 tick_until_success 失败: ")
