"""Building trees from documents: what is accepted, and every refusal with its message."""

import functools
import xml.etree.ElementTree as ET

import pytest

from morvlen.core import (
    BehaviorTreeError,
    BehaviorTreeFactory,
    NodeStatus,
    TreeBuildError,
    XmlParseError,
)
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.nodes.action_node import SimpleActionNode
from runtime_helpers import document, engine_with, port, returning, tree

ACTIONS = {
    "Act": (returning(NodeStatus.SUCCESS), [port("value"), port("out", direction="output")]),
}

REFUSALS = [
    # (id, xml, error class, fragments the message must contain)
    ("malformed", '<root BTCPP_format="4">\n<BehaviorTree ID="T"><Act>\n</BehaviorTree></root>', XmlParseError,
     ["malformed XML", "line 3", "column"]),
    ("not-xml", "hello", XmlParseError, ["malformed XML", "line 1"]),
    ("wrong-root", '<tree><BehaviorTree ID="T"><Act/></BehaviorTree></tree>', XmlParseError, ["<tree>", "<root>"]),
    ("format-3", '<root BTCPP_format="3"><BehaviorTree ID="T"><Act/></BehaviorTree></root>', XmlParseError,
     ['BTCPP_format="3"', '"4"']),
    ("tree-without-id", '<root><BehaviorTree><Act/></BehaviorTree></root>', XmlParseError, ["without an ID"]),
    ("unexpected-element", document(tree("T", "<Act/>"), extra="<Extra/>"), XmlParseError, ["<Extra>"]),
    ("empty-tree", document(tree("T", "")), TreeBuildError, ["tree 'T'", "exactly one root node", "holds 0"]),
    ("two-roots", document(tree("T", "<Act/><Act/>")), TreeBuildError, ["tree 'T'", "holds 2"]),
    ("duplicate-tree", document(tree("T", "<Act/>"), tree("T", "<Act/>")), TreeBuildError, ["'T'", "defined twice"]),
    ("unknown-node", document(tree("T", "<Sequence>\n<Nope/></Sequence>")), TreeBuildError,
     ["unknown node id 'Nope'", "tree 'T'", "<Nope>", "line 2"]),
    ("unknown-explicit", document(tree("T", '<Action ID="Nope"/>')), TreeBuildError, ["unknown node id 'Nope'", "<Action>"]),
    ("explicit-without-id", document(tree("T", "<Action/>")), TreeBuildError, ["<Action> needs an ID"]),
    ("explicit-wrong-kind", document(tree("T", '<Control ID="Act"/>')), TreeBuildError, ["'Act' is registered as Action", "<Control>"]),
    ("tree-as-tag", document(tree("T", "<Other/>"), tree("Other", "<Act/>"), main="T"), TreeBuildError,
     ['<SubTree ID="Other"/>']),
    ("decorator-no-child", document(tree("T", "<Inverter/>")), TreeBuildError,
     ["Inverter takes exactly 1 child, got 0", "tree 'T'", "<Inverter>"]),
    ("decorator-two-children", document(tree("T", "<Inverter><Act/><Act/></Inverter>")), TreeBuildError,
     ["Inverter takes exactly 1 child, got 2"]),
    ("control-no-child", document(tree("T", "<Sequence/>")), TreeBuildError, ["Sequence needs at least 1 child, got 0"]),
    ("leaf-with-child", document(tree("T", "<Act><Act/></Act>")), TreeBuildError, ["Act takes no children, got 1"]),
    ("unknown-port", document(tree("T", '<Act valu="1"/>')), TreeBuildError,
     ["unknown port 'valu' of Act", "its ports: value, out", "<Act>"]),
    ("reserved-attribute", document(tree("T", '<Act _private="1"/>')), TreeBuildError, ["unknown attribute '_private'"]),
    ("output-literal", document(tree("T", '<Act out="text"/>')), TreeBuildError, ["output port 'out'", '"text"']),
    ("no-tree", document(), TreeBuildError, ["no <BehaviorTree>"]),
    ("ambiguous-main", document(tree("A", "<Act/>"), tree("B", "<Act/>")), TreeBuildError,
     ["several trees (A, B)", "main_tree_to_execute"]),
    ("missing-main", document(tree("A", "<Act/>"), main="Z"), TreeBuildError, ["main tree 'Z' is not defined", "A"]),
    ("unknown-subtree", document(tree("T", '<SubTree ID="Z"/>')), TreeBuildError, ["SubTree ID 'Z' names no tree"]),
    ("subtree-without-id", document(tree("T", "<SubTree/>")), TreeBuildError, ["<SubTree> needs an ID"]),
    ("self-subtree", document(tree("T", '<Sequence><SubTree ID="T"/></Sequence>')), TreeBuildError,
     ["SubTree 'T' includes itself: T -> T"]),
    ("indirect-subtree", document(tree("T", '<SubTree ID="A"/>'), tree("A", '<SubTree ID="B"/>'),
                                  tree("B", '<SubTree ID="A"/>'), main="T"),
     TreeBuildError, ["includes itself: T -> A -> B -> A", "tree 'B'"]),
    ("bad-autoremap", document(tree("T", '<SubTree ID="A" _autoremap="maybe"/>'), tree("A", "<Act/>"), main="T"),
     TreeBuildError, ["_autoremap=\"maybe\""]),
]



@pytest.mark.parametrize("xml, error, fragments", [case[1:] for case in REFUSALS], ids=[case[0] for case in REFUSALS])
def test_refused_documents_name_the_problem(xml, error, fragments):
    engine = engine_with(ACTIONS)
    with pytest.raises(error) as caught:
        engine.create_tree_from_text(xml)
    assert isinstance(caught.value, BehaviorTreeError) and isinstance(caught.value, RuntimeError)
    for fragment in fragments:
        assert fragment in str(caught.value)


@pytest.mark.parametrize("xml, root_path", [
    ('<root><BehaviorTree ID="T"><Act/></BehaviorTree></root>', "T/Act"),  # no format attribute: version 4
    (document(tree("A", "<Act/>"), tree("B", '<Act name="b"/>'), main="B"), "B/b"),
    (document(tree("T", '<Action ID="Act" name="x"/>')), "T/x"),
    (document(tree("T", '<Condition ID="Act"/>')), "T/Act"),
    (document(tree("T", '<Control ID="Sequence"><Act/></Control>')), "T/Sequence"),
    ('<?xml version="1.0"?>\n<!-- c --><root BTCPP_format="4"><!-- c --><BehaviorTree ID="T"><Act/></BehaviorTree>'
     '<TreeNodesModel><Action ID="Act"><input_port name="value"/></Action></TreeNodesModel></root>', "T/Act"),
])
def test_accepted_documents(xml, root_path):
    engine = engine_with(ACTIONS, xml)
    assert engine.get_tree_status()["nodes"][0]["path"] == root_path
    assert engine.tick_once() == NodeStatus.SUCCESS


def test_paths_are_unique_for_same_named_siblings():
    engine = engine_with(ACTIONS, document(tree("T", "<Sequence><Act/><Act/><Act/></Sequence>")))
    paths = [node["path"] for node in engine.get_tree_status()["nodes"]]
    assert paths == ["T/Sequence", "T/Sequence/Act", "T/Sequence/Act#2", "T/Sequence/Act#3"]


def test_file_with_relative_include(tmp_path):
    (tmp_path / "parts").mkdir()
    (tmp_path / "parts" / "leaf.xml").write_text(document(tree("Leaf", '<Act name="inner"/>')), encoding="utf-8")
    main = tmp_path / "main.xml"
    main.write_text('<root BTCPP_format="4" main_tree_to_execute="Main"><include path="parts/leaf.xml"/>'
                    + tree("Main", '<SubTree ID="Leaf"/>') + "</root>", encoding="utf-8")
    engine = engine_with(ACTIONS)
    engine.create_tree_from_file(str(main))
    assert [n["path"] for n in engine.get_tree_status()["nodes"]] == ["Main/Leaf", "Main/Leaf/inner"]
    assert engine.tick_once() == NodeStatus.SUCCESS


def test_include_cycle_and_missing_file(tmp_path):
    loop = tmp_path / "loop.xml"
    loop.write_text('<root BTCPP_format="4"><include path="loop.xml"/>' + tree("T", "<Act/>") + "</root>")
    engine = engine_with(ACTIONS)
    with pytest.raises(TreeBuildError, match="includes itself"):
        engine.create_tree_from_file(loop)
    with pytest.raises(FileNotFoundError):
        engine.create_tree_from_file(tmp_path / "missing.xml")


def test_factory_lists_and_describes_registered_nodes():
    factory = BehaviorTreeFactory()
    factory.register_action("Act", returning(NodeStatus.SUCCESS),
                            [port("value", "int", default="3", description="how many <items>"),
                             port("out", direction="output")])
    ids = factory.registered_node_ids()
    assert ids[-1] == "Act" and {"Sequence", "KeepRunningUntilFailure"} <= set(ids)
    model = factory.tree_nodes_model()
    assert '<Action ID="Act">' in model
    assert '<input_port name="value" type="int" default="3">how many &lt;items&gt;</input_port>' in model
    assert '<output_port name="out" type="object" />' in model
    assert "Sequence" not in model and 'ID="Sequence"' in factory.tree_nodes_model(include_builtins=True)
    built = factory.create_tree_from_text(document(tree("A", "<Act/>"), tree("B", "<Inverter><Act/></Inverter>")),
                                          main_tree="B")
    assert built.id == "B" and built.tick_once() == NodeStatus.FAILURE


# Every factory shares the built-in nodes; what one registers stays its own.
@pytest.mark.parametrize("register_again, error, fragment", [
    (lambda f: f.register_action("Act", returning(NodeStatus.SUCCESS), []), ValueError, "action id 'Act' is already registered"),
    (lambda f: f.register_action("Inverter", returning(NodeStatus.SUCCESS), []), ValueError,
     "action id 'Inverter' is already registered"),
    (lambda f: f.create_tree_from_text(document(tree("T", "<Other/>"))), TreeBuildError, "unknown node id 'Other'"),
], ids=["own-action", "builtin", "neighbours-action"])
def test_registrations_belong_to_their_factory(register_again, error, fragment):
    factory, neighbour = BehaviorTreeFactory(), BehaviorTreeFactory()
    builtins = factory.registered_node_ids()
    factory.register_action("Act", returning(NodeStatus.SUCCESS), [])
    factory.register_action("Zeta", returning(NodeStatus.SUCCESS), [])
    neighbour.register_action("Act", returning(NodeStatus.FAILURE), [port("value")])
    neighbour.register_action("Other", returning(NodeStatus.SUCCESS), [])

    with pytest.raises(error, match=fragment):
        register_again(factory)
    assert factory.registered_node_ids() == [*builtins, "Act", "Zeta"]
    assert BehaviorTreeFactory().registered_node_ids() == builtins
    assert [node.get("ID") for node in ET.fromstring(neighbour.tree_nodes_model()).find("TreeNodesModel")] == ["Act", "Other"]
    for owner, expected in [(factory, NodeStatus.SUCCESS), (neighbour, NodeStatus.FAILURE)]:
        assert owner.create_tree_from_text(document(tree("T", "<Sequence><Act/></Sequence>"))).tick_once() == expected


def documented_tick(node):
    """Fetches the <weather> & reports it.

    Second paragraph, kept.
    """
    return NodeStatus.SUCCESS


class DocumentedAction(SimpleActionNode):
    """Class text wins over tick's."""

    @staticmethod
    def tick(node):
        """Never exported: the class has a docstring."""
        return NodeStatus.SUCCESS


class UndocumentedAction(SimpleActionNode):
    @staticmethod
    def tick(node):
        """Tick text, for a class without one."""
        return NodeStatus.SUCCESS


class BareAction(SimpleActionNode):
    tick = staticmethod(returning(NodeStatus.SUCCESS))


def register_function(tick):
    return lambda factory: factory.register_action("Act", tick, [port("value", description="port text")])


def register_class(cls):
    return lambda factory: factory.register_action_class(cls, "Act")


@pytest.mark.parametrize("register, description", [
    (register_function(documented_tick), "Fetches the <weather> & reports it.\n\nSecond paragraph, kept."),
    (register_function(lambda node: NodeStatus.SUCCESS), None),
    # Other callables carry their type's docstring, which says nothing about the action.
    (register_function(functools.partial(documented_tick)), None),
    (register_function(print), None),
    (register_class(DocumentedAction), "Class text wins over tick's."),
    (register_class(UndocumentedAction), "Tick text, for a class without one."),
    (register_class(BareAction), None),
], ids=["function", "lambda", "partial", "builtin", "class", "class-tick", "class-bare"])
def test_model_describes_registered_actions(register, description):
    factory = BehaviorTreeFactory()
    register(factory)
    model = factory.tree_nodes_model()
    [node] = ET.fromstring(model).find("TreeNodesModel")
    described = node.find("description")
    assert (described.text if described is not None else None) == description
    if described is not None:
        assert node[0] is described
    # The exported model is accepted back in a document.
    model_part = model[model.index("<TreeNodesModel>"):model.rindex("</root>")]
    assert factory.create_tree_from_text(document(tree("T", "<Act/>"), extra=model_part)).id == "T"


def test_rebuilding_replaces_the_tree_and_its_blackboard():
    engine = engine_with(ACTIONS, document(tree("T", "<Act/>")))
    engine.set_blackboard_data("k", 1)
    engine.create_tree_from_text(document(tree("U", "<Act/>")))
    assert engine.get_blackboard_data("k") is None
    assert engine.get_tree_status()["nodes"][0]["path"] == "U/Act"


def test_engine_refuses_calls_before_a_tree_is_built():
    engine = SequentialEngine()
    calls = [engine.tick_once, engine.tick_until_success, engine.tick_until_failure, lambda: engine.tick_n_times(1),
             engine.get_tree_status, lambda: engine.get_blackboard_data("k"),
             lambda: engine.set_blackboard_data("k", 1), engine.get_all_blackboard_data, engine.reset_tree]
    for call in calls:
        with pytest.raises(BehaviorTreeError, match="no tree has been built yet"):
            call()
