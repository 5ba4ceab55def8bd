"""The thread engine on the real behavior-tree runtime: trees built from XML, ticked
and read from several threads at once."""

import threading

import pytest

from mthread_support import JOIN_TIMEOUT

import morvlen.engine.sequential_engine as sequential_engine

pytestmark = [
    pytest.mark.skipif(sequential_engine.SequentialEngine is None,
                       reason="the behavior-tree runtime is not built in this tree"),
    pytest.mark.timeout(60),  # calls block until a worker answers: bound them
]

ECHO_XML = """<root BTCPP_format="4">
  <BehaviorTree ID="T">
    <Echo text="{request}" reply="{reply}"/>
  </BehaviorTree>
</root>"""

ECHO_PORTS = [
    {"name": "text", "type": "string", "direction": "input", "description": ""},
    {"name": "reply", "type": "object", "direction": "output", "description": ""},
]


@pytest.fixture
def runtime_engine(mt, logs):
    engine = mt.ThreadEngine()
    yield engine
    engine.stop_all_trees()


def echo_tick(ticked_on):
    def tick(node):
        from morvlen.core import NodeStatus

        text = node.getInputString("text")
        ticked_on.append((text, threading.current_thread()))
        node.setOutput("reply", "echo:" + text)
        return NodeStatus.SUCCESS

    return tick


def test_one_tree_round_trip(mt, runtime_engine):
    ticked_on = []
    runtime_engine.register_action_behavior("Echo", echo_tick(ticked_on), ECHO_PORTS)
    tree = runtime_engine.create_tree_from_text(ECHO_XML)
    runtime_engine.set_blackboard_data(tree, "request", "hi")
    assert runtime_engine.tick_once(tree) == mt.NodeStatus.SUCCESS
    assert runtime_engine.get_blackboard_data(tree, "reply") == "echo:hi"
    assert isinstance(runtime_engine.get_all_blackboard_data(tree), dict)
    assert runtime_engine.tick_n_times(tree, 2) == [mt.NodeStatus.SUCCESS] * 2
    assert ticked_on[0] == ("hi", runtime_engine.trees[tree]["thread"])
    assert runtime_engine.reset_tree(tree) is None


def test_refused_xml_reaches_the_first_command(runtime_engine):
    tree = runtime_engine.create_tree_from_text("<root BTCPP_format=\"4\"><BehaviorTree ID=\"T\"><Nope/>",
                                                "bad")
    with pytest.raises(RuntimeError, match="^行为树 bad 执行命令 tick_once 失败: 行为树线程 bad 发生错误: "):
        runtime_engine.tick_once(tree)
    runtime_engine.stop_tree(tree)


def test_many_trees_driven_from_many_threads(mt, runtime_engine):
    ticked_on = []
    runtime_engine.register_action_behavior("Echo", echo_tick(ticked_on), ECHO_PORTS)
    trees = [runtime_engine.create_tree_from_text(ECHO_XML) for _ in range(4)]
    wrong = []

    def drive(tree, caller):
        for i in range(50):
            text = f"{tree}/{caller}/{i}"
            # Two callers share each tree: each call must still get its own answer.
            runtime_engine.set_blackboard_data(tree, "request", text)
            status = runtime_engine.tick_once(tree)
            if status != mt.NodeStatus.SUCCESS:
                wrong.append((text, status))

    callers = [threading.Thread(target=drive, args=(tree, c)) for tree in trees for c in range(2)]
    for t in callers:
        t.start()
    for t in callers:
        t.join(JOIN_TIMEOUT)
        assert not t.is_alive()
    assert wrong == []
    assert len(ticked_on) == 400
    workers = {tree: runtime_engine.trees[tree]["thread"] for tree in trees}
    assert all(thread is workers[text.split("/")[0]] for text, thread in ticked_on)


def test_a_node_class_without_ports_registers_a_new_empty_list(mt, runtime_engine):
    from morvlen.core import NodeStatus
    from morvlen.nodes.action_node import SimpleActionNode

    class Ping(SimpleActionNode):
        @staticmethod
        def tick(node):
            return NodeStatus.SUCCESS

    class Pong(SimpleActionNode):
        @staticmethod
        def tick(node):
            return NodeStatus.FAILURE

    runtime_engine.register_action_class(Ping)
    runtime_engine.register_action_class(Pong)
    (_, _, ping_ports), (_, _, pong_ports) = runtime_engine.action_registrations
    assert ping_ports == [] and pong_ports == [] and ping_ports is not pong_ports
    tree = runtime_engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="T"><Fallback><Pong/><Ping/></Fallback></BehaviorTree></root>')
    assert runtime_engine.tick_once(tree) == NodeStatus.SUCCESS
