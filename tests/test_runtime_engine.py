"""SequentialEngine: tick loops, status reports, blackboard, errors raised by tick
functions, the one-thread-at-a-time guard, node handles and the GIL."""

import gc
import threading

import pytest

from morvlen.core import BehaviorTreeError, Blackboard, NodeLogicError, NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.nodes.action_node import SimpleActionNode
from runtime_helpers import document, engine_with, port, tree

S, F, R = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING


def scripted(statuses):
    """A tick function returning the given statuses in turn (the last one forever)."""
    state = {"calls": 0, "starts": 0}

    def tick(node):
        state["starts"] += node.status() == NodeStatus.IDLE
        index = min(state["calls"], len(statuses) - 1)
        state["calls"] += 1
        return statuses[index]

    tick.state = state
    return tick


def single(statuses):
    tick = scripted(statuses)
    return engine_with({"A": (tick, [])}, document(tree("T", "<A/>"))), tick.state


@pytest.mark.parametrize("statuses, method, expected", [
    ([R, R, S], "tick_until_success", 3),
    ([S], "tick_until_success", 1),
    ([F, F, R, S], "tick_until_success", 4),
    ([R, F], "tick_until_failure", 2),
    ([S, S, S, F], "tick_until_failure", 4),
])
def test_tick_until_counts_ticks_including_the_last(statuses, method, expected):
    engine, _ = single(statuses)
    assert getattr(engine, method)() == expected
    assert engine.get_tree_status()["tick_count"] == expected


@pytest.mark.parametrize("n, expected", [(0, []), (-3, []), (1, [R]), (4, [R, R, S, S])])
def test_tick_n_times_returns_one_status_per_tick(n, expected):
    engine, _ = single([R, R, S])
    assert engine.tick_n_times(n) == expected


def test_running_action_continues_and_status_report_is_a_fresh_dict():
    engine, state = single([R, R, S])
    engine.tick_once()
    report = engine.get_tree_status()
    assert report == {"status": R, "tick_count": 1,
                      "nodes": [{"path": "T/A", "name": "A", "registration_id": "A", "status": R}]}
    report["nodes"].clear()
    assert engine.get_tree_status()["nodes"]
    engine.tick_n_times(2)
    assert state == {"calls": 3, "starts": 1}  # one start, two continuations


def test_reset_halts_running_nodes_keeps_blackboard_and_restarts():
    engine, state = single([R])
    engine.set_blackboard_data("kept", 1)
    engine.tick_n_times(2)
    engine.reset_tree()
    report = engine.get_tree_status()
    assert report["status"] == NodeStatus.IDLE and report["tick_count"] == 0
    assert all(node["status"] == NodeStatus.IDLE for node in report["nodes"])
    assert engine.get_blackboard_data("kept") == 1
    engine.tick_once()
    assert state["starts"] == 2


def test_blackboard_keeps_identity_and_returns_new_dicts():
    engine, _ = single([S])
    value = {"big": list(range(5))}
    engine.set_blackboard_data("k", value)
    assert engine.get_blackboard_data("k") is value
    assert engine.get_blackboard_data("never") is None
    everything = engine.get_all_blackboard_data()
    assert everything == {"k": value} and everything["k"] is value
    everything["other"] = 1
    assert engine.get_all_blackboard_data() == {"k": value}


class Boom(Exception):
    pass


def raising_once():
    raised = []

    def tick(node):
        if not raised:
            raised.append(True)
            raise Boom("tick failed in " + node.name())
        return NodeStatus.RUNNING

    return tick


@pytest.mark.parametrize("returned, fragment", [
    (None, "returned None"),
    (2, "returned 2"),
    ("SUCCESS", "returned 'SUCCESS'"),
    (NodeStatus.IDLE, "returned NodeStatus.IDLE"),
    (NodeStatus.SKIPPED, "returned NodeStatus.SKIPPED"),
])
def test_a_tick_function_returning_a_non_status_fails_naming_node_and_value(returned, fragment):
    engine = engine_with({"Bad": (lambda node: returned, [])}, document(tree("T", '<Bad name="b"/>')))
    with pytest.raises(NodeLogicError) as caught:
        engine.tick_once()
    assert "Bad 'T/b'" in str(caught.value) and fragment in str(caught.value)


@pytest.mark.parametrize("tick_call", ["tick_once", "tick_until_success", "tick_until_failure", "tick_n_times"])
def test_an_exception_from_a_tick_function_passes_unchanged_and_halts_the_tree(tick_call):
    long_running = scripted([R])
    xml = document(tree("T", "<Parallel><Long/><Sequence><Wait/><Raise/></Sequence></Parallel>"))
    engine = engine_with({"Long": (long_running, []), "Wait": (scripted([R, S]), []), "Raise": (raising_once(), [])}, xml)
    engine.tick_once()
    call = getattr(engine, tick_call)
    with pytest.raises(Boom, match="tick failed in Raise"):
        call(3) if tick_call == "tick_n_times" else call()
    assert all(node["status"] == NodeStatus.IDLE for node in engine.get_tree_status()["nodes"])
    engine.tick_once()
    assert long_running.state["starts"] == 2  # started afresh after the halt


def test_action_class_demonstration_tree_runs_both_actions_in_one_tick():
    ran = []

    class CreateAgentOllama(SimpleActionNode):
        ports = [port("model_id", "string"), port("description", "string"), port("agent", direction="output")]

        @staticmethod
        def tick(node):
            ran.append(node.getInputString("model_id"))
            node.setOutput("agent", object())
            return NodeStatus.SUCCESS

    class GetStreamResponse(SimpleActionNode):
        ports = [port("agent"), port("instructions"), port("response_stream", direction="output"),
                 port("user_input", "string")]

        @staticmethod
        def tick(node):
            agent, instructions = node.getInputObject("agent"), node.getInputObject("instructions")
            ran.append((agent is not None, instructions, node.getInputString("user_input")))
            node.setOutput("response_stream", iter(["a", "b"]))
            return NodeStatus.SUCCESS

    xml = """
    <root BTCPP_format="4">
        <BehaviorTree ID="MainTree">
            <Sequence name="root_sequence">
                <CreateAgentOllama model_id="qwen3:30b" agent="{agent}" description="reporter"/>
                    <KeepRunningUntilFailure>
                        <Sequence>
                            <GetStreamResponse
                            \tagent="{agent}"
                            \tinstructions="{instructions}"
                            \tuser_input="{user_input}"
                            \tresponse_stream="{response_stream}"/>
                        </Sequence>
                    </KeepRunningUntilFailure>
            </Sequence>
        </BehaviorTree>
    </root>
    """
    engine = SequentialEngine()
    engine.register_action_class(CreateAgentOllama, "CreateAgentOllama")
    engine.register_action_class(GetStreamResponse, "GetStreamResponse")
    engine.create_tree_from_text(xml)
    engine.set_blackboard_data("user_input", "中国上海的新闻")
    assert engine.tick_once() == NodeStatus.RUNNING
    assert ran == ["qwen3:30b", (True, None, "中国上海的新闻")]
    assert list(engine.get_blackboard_data("response_stream")) == ["a", "b"]


def test_a_kept_node_handle_raises_after_its_tree_is_gone():
    kept = []

    def keep(node):
        kept.append(node)
        return NodeStatus.SUCCESS

    engine = engine_with({"Keep": (keep, [port("p", default="1")])}, document(tree("T", "<Keep/>")))
    engine.tick_once()
    engine.tick_once()
    assert kept[0] is kept[1] and kept[0].getInputString("p") == "1"
    del engine
    gc.collect()
    for call in (lambda h: h.name(), lambda h: h.getInputString("p"), lambda h: h.setOutput("p", 1), lambda h: h.status()):
        with pytest.raises(BehaviorTreeError, match="outlived its tree"):
            call(kept[0])


def test_ticking_from_a_tick_function_is_refused():
    holder = {}

    def reenter(node):
        holder["engine"].tick_once()
        return NodeStatus.SUCCESS

    engine = engine_with({"Again": (reenter, [])}, document(tree("T", "<Again/>")))
    holder["engine"] = engine
    with pytest.raises(BehaviorTreeError, match="one thread at a time"):
        engine.tick_once()
    holder.clear()


def run_in_thread(target, timeout=10.0):
    errors = []

    def guarded():
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported to the test thread
            errors.append(error)

    thread = threading.Thread(target=guarded)
    thread.start()
    return thread, errors


def test_a_second_thread_cannot_tick_while_one_is_ticking():
    inside, release = threading.Event(), threading.Event()

    def blocking(node):
        inside.set()
        assert release.wait(10)
        return NodeStatus.SUCCESS

    engine = engine_with({"Block": (blocking, [])}, document(tree("T", "<Block/>")))
    thread, errors = run_in_thread(engine.tick_once)
    try:
        assert inside.wait(10)
        with pytest.raises(BehaviorTreeError, match="another thread is ticking"):
            engine.tick_once()
        with pytest.raises(BehaviorTreeError, match="another thread"):
            engine.reset_tree()
    finally:
        release.set()
        thread.join(10)
    assert not thread.is_alive() and not errors


@pytest.mark.parametrize("loop", ["tick_until_success", "tick_n_times"])
def test_tick_loops_let_other_python_threads_run(loop):
    """A pure C++ tree ticked in a loop must not hold the GIL: another thread counts
    up meanwhile, and the loop ends when that thread writes the entry it waits for."""
    xml = document(tree("T", '<Fallback><Inverter><Sleep msec="0"/></Inverter><Done/></Fallback>'))
    engine = engine_with({"Done": (lambda node: S if node.getInputObject("stop") else F, [port("stop", default="{stop}")])},
                         xml)
    progress = threading.Event()

    def other():
        for _ in range(50):
            progress.wait(0.001)
        engine.set_blackboard_data("stop", True)

    thread, errors = run_in_thread(other)
    if loop == "tick_n_times":
        statuses = engine.tick_n_times(200_000)
        engine.set_blackboard_data("stop", True)
    else:
        engine.tick_until_success()
    thread.join(10)
    assert not thread.is_alive() and not errors
    if loop == "tick_n_times":
        assert len(statuses) == 200_000


def test_blackboard_is_safe_from_many_threads():
    board = Blackboard()
    objects = [object() for _ in range(8)]

    def worker(index):
        for round_ in range(2000):
            key = f"k{(index + round_) % 16}"
            board.set(key, objects[index])
            assert board.get(key) in objects or board.get(key) is None  # another thread may unset it
            if round_ % 7 == 0:
                board.unset(key)

    threads = [run_in_thread(lambda i=i: worker(i)) for i in range(8)]
    for thread, _ in threads:
        thread.join(30)
    assert all(not thread.is_alive() and not errors for thread, errors in threads)
    assert set(board.to_dict()) <= {f"k{i}" for i in range(16)}
    assert all(value in objects for value in board.to_dict().values())


@pytest.mark.parametrize("call", [
    lambda engine: engine.tick_once(),
    lambda engine: engine.tick_n_times(1),
    lambda engine: engine.tick_until_success(),
])
def test_rebuilding_while_another_thread_ticks_keeps_the_ticked_tree_alive(call):
    """The ticking thread owns its tree until the tick ends: the node it is given stays
    usable and writes to the tree it belongs to, not to the new one."""
    inside, release = threading.Event(), threading.Event()
    seen = []

    def blocking(node):
        inside.set()
        assert release.wait(10)
        seen.append(node.fullPath())
        node.setOutput("out", "old tree")
        return NodeStatus.SUCCESS

    xml = document(tree("T", '<Block out="{out}"/>'))
    engine = engine_with({"Block": (blocking, [port("out", direction="output")])}, xml)
    thread, errors = run_in_thread(lambda: call(engine))
    try:
        assert inside.wait(10)
        engine.create_tree_from_text(document(tree("U", "<AlwaysSuccess/>")))
        gc.collect()
    finally:
        release.set()
        thread.join(10)
    assert not thread.is_alive() and not errors
    assert seen == ["T/Block"]
    assert engine.get_all_blackboard_data() == {} and engine.get_tree_status()["nodes"][0]["path"] == "U/AlwaysSuccess"


class Marker:
    """Closes a reference cycle through an engine."""


def cycle_through_root_blackboard(engine, marker):
    engine.create_tree_from_text(document(tree("T", "<AlwaysSuccess/>")))
    engine.set_blackboard_data("marker", marker)


def cycle_through_subtree_blackboard(engine, marker):
    keep = {"marker": marker}

    def store(node):
        node.setOutput("kept", keep["marker"])
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Store", store, [port("kept", direction="output")])
    keep.clear()  # the only path left to the marker goes through the SubTree's blackboard
    engine.create_tree_from_text(document(tree("Main", '<SubTree ID="Inner"/>'), tree("Inner", '<Store kept="{k}"/>'),
                                          main="Main"))
    keep["marker"] = marker
    engine.tick_once()
    keep.clear()


def cycle_through_tick_function(engine, marker):
    engine.register_action_behavior("Keep", lambda node, marker=marker: NodeStatus.SUCCESS, [])


@pytest.mark.parametrize("close_cycle", [cycle_through_root_blackboard, cycle_through_subtree_blackboard,
                                         cycle_through_tick_function])
def test_engines_in_reference_cycles_are_collected(close_cycle):
    import weakref

    engine, marker = SequentialEngine(), Marker()
    marker.engine = engine
    close_cycle(engine, marker)
    gone = weakref.ref(marker)
    del engine, marker
    gc.collect()
    assert gone() is None


def test_a_tree_outlives_the_factory_that_built_it():
    from morvlen.core import BehaviorTreeFactory

    def act(node):
        node.setOutput("out", node.getInput("n") * 2)
        return NodeStatus.SUCCESS

    factory = BehaviorTreeFactory()
    factory.register_action("Act", act, [
        {"name": "n", "type": "int", "direction": "input", "description": "", "default": "21"},
        {"name": "out", "type": "object", "direction": "output", "description": ""},
    ])
    built = factory.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence><Act out="{out}"/></Sequence></BehaviorTree></root>')
    del factory
    gc.collect()
    assert built.tick_once() == NodeStatus.SUCCESS
    assert built.blackboard.get("out") == 42
    assert built.status_report()["nodes"][1]["registration_id"] == "Act"
