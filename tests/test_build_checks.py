"""Authoring mistakes caught when a tree is built or an action registered."""

import pytest

from morvlen.core import BehaviorTreeFactory, NodeStatus, TreeBuildError
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.nodes.action_node import SimpleActionNode
from runtime_helpers import document, engine_with, port, returning, tree

ACTIONS = {"Act": (returning(NodeStatus.SUCCESS), [port("count", "int"), port("must", required=True)])}


@pytest.mark.parametrize("body, fragments", [
    ('<Repeat num_cycles="abc"><AlwaysSuccess/></Repeat>', ["port 'num_cycles': \"abc\" is not a valid int", "<Repeat>"]),
    ('<Act must="1" count="2.5"/>', ["port 'count': \"2.5\" is not a valid int"]),
    ('<Precondition if="1" else="MAYBE"><AlwaysSuccess/></Precondition>', ["\"MAYBE\" is not a valid status"]),
    ("<Timeout><AlwaysSuccess/></Timeout>", ["Timeout needs the port 'msec' (int), which is not set", "<Timeout>"]),
    ("<Sleep/>", ["Sleep needs the port 'msec'"]),
    ("<Act/>", ["Act needs the port 'must'"]),
    ("<ScriptCondition/>", ["ScriptCondition needs the port 'code' (script)"]),
    ("<Sequnce><Act must='1'/></Sequnce>", ["unknown node id 'Sequnce'", "did you mean 'Sequence'?", "register_action"]),
    ("<act must='1'/>", ["did you mean 'Act'?"]),
    ("<Frobnicate/>", ["unknown node id 'Frobnicate'", "register an action under this id"]),
    ('<Repeat num_cycle="2"><AlwaysSuccess/></Repeat>', ["unknown port 'num_cycle' of Repeat (did you mean 'num_cycles'?)"]),
    ('<AlwaysSuccess _skipif="true"/>', ["unknown attribute '_skipif'", "did you mean '_skipIf'?"]),
    (document(tree("T", '<SubTree ID="Inne"/>'), tree("Inner", "<AlwaysSuccess/>"), main="T"),
     ["SubTree ID 'Inne' names no tree (did you mean 'Inner'?)"]),
])
def test_mistakes_refused_when_built(body, fragments):
    with pytest.raises(TreeBuildError) as caught:
        engine_with(ACTIONS, body if body.startswith("<root") else document(tree("T", body)))
    assert all(fragment in str(caught.value) for fragment in fragments), str(caught.value)
    if "Frobnicate" in body:
        assert "did you mean" not in str(caught.value)


class InstanceTick(SimpleActionNode):
    def tick(self, node):
        return NodeStatus.SUCCESS


@pytest.mark.parametrize("register", [
    lambda: BehaviorTreeFactory().register_action_class(InstanceTick),
    lambda: SequentialEngine().register_action_class(InstanceTick),
    lambda: SequentialEngine().register_action_behavior("Two", lambda a, b: NodeStatus.SUCCESS, []),
])
def test_tick_functions_that_cannot_take_the_node_alone_are_refused(register):
    with pytest.raises(TypeError, match="called with the node alone") as caught:
        register()
    assert ("@staticmethod" in str(caught.value)) == ("Two" not in str(caught.value))


def test_engines_choose_the_main_tree(tmp_path):
    xml = document(tree("A", '<Script code="ran := \'A\'"/>'), tree("B", '<Script code="ran := \'B\'"/>'), main="A")
    engine = SequentialEngine()
    engine.create_tree_from_text(xml, main_tree="B")
    engine.tick_once()
    assert engine.get_blackboard_data("ran") == "B"
    path = tmp_path / "trees.xml"
    path.write_text(xml)
    engine.create_tree_from_file(path, "B")
    assert engine.get_tree_status()["nodes"][0]["path"] == "B/Script"
    with pytest.raises(TreeBuildError, match="main tree 'C' is not defined"):
        engine.create_tree_from_text(xml, "C")
