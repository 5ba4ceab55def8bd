"""Ports: literals and typed conversion, blackboard pointers, defaults, SubTree
remapping and _autoremap, and the validation of port records."""

import pytest

from morvlen.core import NodeStatus, PortError, TreeBuildError
from morvlen.engine.sequential_engine import SequentialEngine
from morvlen.nodes.action_node import SimpleActionNode
from runtime_helpers import document, engine_with, port, tree

TYPES = ["string", "object", "int", "double", "bool"]


def reader(results: dict, method: str, names):
    """A tick function storing node.<method>(name) (or the exception) for each port name."""

    def tick(node):
        for name in names:
            try:
                results[name] = getattr(node, method)(name)
            except Exception as error:  # noqa: BLE001 - the test inspects it
                results[name] = error
        return NodeStatus.SUCCESS

    return tick


def read_once(ports, attributes: str, method: str, blackboard: dict | None = None, names=None) -> dict:
    results: dict = {}
    names = names or [p["name"] for p in ports]
    engine = engine_with({"Read": (reader(results, method, names), ports)}, document(tree("T", f"<Read {attributes}/>")))
    for key, value in (blackboard or {}).items():
        engine.set_blackboard_data(key, value)
    assert engine.tick_once() == NodeStatus.SUCCESS
    return results


@pytest.mark.parametrize("type_, text, expected", [
    ("string", " 42 ", " 42 "),
    ("object", "42", "42"),
    ("int", "42", 42),
    ("int", "-7", -7),
    ("double", "2.5", 2.5),
    ("double", "3", 3.0),
    ("bool", "true", True),
    ("bool", "FALSE", False),
    ("bool", "1", True),
])
def test_get_input_converts_literals_by_declared_type(type_, text, expected):
    got = read_once([port("p", type_)], f'p="{text}"', "getInput")["p"]
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("type_, text", [("int", "4.5"), ("int", "many"), ("double", "x"), ("bool", "yes")])
def test_literals_that_do_not_convert_are_refused_when_built(type_, text):
    with pytest.raises(TreeBuildError) as caught:
        read_once([port("p", type_)], f'p="{text}"', "getInput")
    assert f"port 'p': \"{text}\" is not a valid {type_}" in str(caught.value) and "element <Read>" in str(caught.value)


@pytest.mark.parametrize("type_, entry", [("int", "4.5"), ("double", "x"), ("bool", "yes")])
def test_get_input_names_the_port_type_an_entry_does_not_convert_to(type_, entry):
    error = read_once([port("p", type_)], 'p="{k}"', "getInput", {"k": entry})["p"]
    assert isinstance(error, PortError)
    assert "entry 'k'" in str(error) and f"which is not a valid {type_}" in str(error)


@pytest.mark.parametrize("type_, entry, expected", [
    ("int", "12", 12),        # text entries (SubTree literals) convert at read time
    ("double", "0.5", 0.5),
    ("bool", "False", False),
    ("string", 12, 12),       # getInput hands objects over as they are
    ("int", 12, 12),
])
def test_get_input_through_a_blackboard_entry(type_, entry, expected):
    got = read_once([port("p", type_)], 'p="{k}"', "getInput", {"k": entry})["p"]
    assert got == expected and type(got) is type(expected)


def test_get_input_string_and_object_and_missing_values():
    ports = [port("lit"), port("ptr"), port("unwritten"), port("unset"), port("num", "int")]
    attributes = 'lit="hello" ptr="{obj}" unwritten="{nobody}" num="5"'
    value = {"nested": [1, 2]}
    objects = read_once(ports, attributes, "getInputObject", {"obj": value})
    assert objects["lit"] == "hello" and objects["ptr"] is value
    assert objects["unwritten"] is None and objects["unset"] is None and objects["num"] == 5
    strings = read_once(ports, attributes, "getInputString", {"obj": value})
    assert strings["lit"] == "hello" and strings["ptr"] == str(value) and strings["num"] == "5"
    assert isinstance(strings["unwritten"], PortError) and "'nobody' was never written" in str(strings["unwritten"])
    assert isinstance(strings["unset"], PortError) and "not set" in str(strings["unset"])


@pytest.mark.parametrize("method, name, message", [
    ("getInputString", "missing", "no such port"),
    ("getInputObject", "out", "is an output port"),
])
def test_reading_a_port_that_cannot_be_read(method, name, message):
    error = read_once([port("out", direction="output")], 'out="{o}"', method, names=[name])[name]
    assert isinstance(error, PortError) and message in str(error)


def test_defaults_pointers_and_root_keys():
    ports = [port("n", "int", default="7"), port("same", default="{=}"), port("flag", "bool", default=True),
             port("root", default="{@top}")]
    got = read_once(ports, "", "getInput", {"same": "by-name", "top": "from-root"})
    assert got == {"n": 7, "same": "by-name", "flag": True, "root": "from-root"}
    assert read_once(ports, 'n="8"', "getInput", {"same": 1, "top": 2})["n"] == 8  # the attribute wins


def test_set_output_writes_the_object_itself_and_refuses_unmapped_ports():
    value = object()
    outcomes = {}

    def tick(node):
        node.setOutput("out", value)
        node.setOutput("both", None)
        for name in ("unmapped", "inp"):
            try:
                node.setOutput(name, 1)
            except PortError as error:
                outcomes[name] = str(error)
        return NodeStatus.SUCCESS

    ports = [port("out", direction="output"), port("both", direction="inout"),
             port("unmapped", direction="output"), port("inp")]
    engine = engine_with({"W": (tick, ports)}, document(tree("T", '<W out="{o}" both="{=}" inp="{i}"/>')))
    engine.set_blackboard_data("both", 5)
    engine.tick_once()
    assert engine.get_blackboard_data("o") is value
    assert "both" in engine.get_all_blackboard_data() and engine.get_blackboard_data("both") is None
    assert "not mapped to a blackboard entry" in outcomes["unmapped"]
    assert "is an input port" in outcomes["inp"]


SUBTREE_CASES = [
    # (SubTree attributes, parent entries, expected reads inside, expected parent entries after)
    ('inp="{x}" out="{y}"', {"x": "px"}, {"inp": "px", "free": None}, {"x": "px", "y": "written"}),
    ('inp="literal" out="{=}"', {}, {"inp": "literal"}, {"out": "written"}),
    ('_autoremap="true"', {"inp": "shared", "free": "seen"}, {"inp": "shared", "free": "seen"},
     {"inp": "shared", "free": "seen", "out": "written"}),
    ('_autoremap="true" inp="{other}"', {"inp": "no", "other": "yes"}, {"inp": "yes"},
     {"inp": "no", "other": "yes", "out": "written"}),
    ('', {"inp": "invisible"}, {"inp": None, "free": None}, {"inp": "invisible"}),
    # a literal belongs to the subtree even under autoremap: the parent's entry is neither read nor written
    ('_autoremap="true" inp="mine"', {"inp": "parent's", "free": "seen"}, {"inp": "mine", "free": "seen"},
     {"inp": "parent's", "free": "seen", "out": "written"}),
]


@pytest.mark.parametrize("attributes, parent, inside, after", SUBTREE_CASES)
def test_subtree_blackboards_and_remapping(attributes, parent, inside, after):
    seen = {}

    def tick(node):
        for name in ("inp", "free"):
            seen[name] = node.getInputObject(name)
        node.setOutput("out", "written")
        return NodeStatus.SUCCESS

    ports = [port("inp", default="{inp}"), port("free", default="{free}"), port("out", direction="output",
                                                                                default="{out}")]
    xml = document(tree("Main", f'<SubTree ID="Sub" name="sub" {attributes}/>'), tree("Sub", "<Use/>"), main="Main")
    engine = engine_with({"Use": (tick, ports)}, xml)
    for key, value in parent.items():
        engine.set_blackboard_data(key, value)
    assert engine.tick_once() == NodeStatus.SUCCESS
    assert {k: seen[k] for k in inside} == inside
    assert engine.get_all_blackboard_data() == after
    assert [n["path"] for n in engine.get_tree_status()["nodes"]] == ["Main/sub", "Main/sub/Use"]


def test_private_keys_are_not_autoremapped_and_root_keys_cross_subtrees():
    def tick(node):
        node.setOutput("private", 1)
        node.setOutput("top", 2)
        return NodeStatus.SUCCESS

    ports = [port("private", direction="output", default="{_mine}"), port("top", direction="output", default="{@top}")]
    xml = document(tree("Main", '<SubTree ID="A" _autoremap="true"/>'), tree("A", '<SubTree ID="B"/>'),
                   tree("B", "<W/>"), main="Main")
    engine = engine_with({"W": (tick, ports)}, xml)
    engine.tick_once()
    assert engine.get_all_blackboard_data() == {"top": 2}


def test_subtree_model_defaults_apply_to_instances_that_leave_the_port_out():
    seen = []
    model = ('<TreeNodesModel><SubTree ID="Sub"><input_port name="inp" default="{home}"/>'
             '<input_port name="lit" default="abc"/></SubTree></TreeNodesModel>')
    xml = document(tree("Main", '<Sequence><SubTree ID="Sub"/><SubTree ID="Sub" inp="given"/></Sequence>'),
                   tree("Sub", "<Use/>"), main="Main", extra=model)

    def tick(node):
        seen.append((node.getInputObject("inp"), node.getInputObject("lit")))
        return NodeStatus.SUCCESS

    engine = engine_with({"Use": (tick, [port("inp", default="{inp}"), port("lit", default="{lit}")])}, xml)
    engine.set_blackboard_data("home", "base")
    engine.tick_once()
    assert seen == [("base", "abc"), ("given", "abc")]


BAD_RECORDS = [
    # (ports list, error type, fragments)
    ("not a list", TypeError, ["must be a list of port records"]),
    (["name"], TypeError, ["port record 0", "must be a mapping"]),
    ([{"type": "int", "direction": "input"}], ValueError, ["port record 0", "field 'name' is missing"]),
    ([port("a"), {"name": "b", "direction": "input"}], ValueError, ["port record 1", "field 'type' is missing"]),
    ([port("a", "integer")], ValueError, ["field 'type'", '"integer"', "string, object, int, double, bool"]),
    ([port("a", "int", "in")], ValueError, ["field 'direction'", '"in"', "input, output, inout"]),
    ([port("a", description=3)], TypeError, ["field 'description' must be a str"]),
    ([{**port("a"), "colour": "red"}], ValueError, ["unknown field 'colour'"]),
    ([port("a"), port("a")], ValueError, ["port record 1", "port 'a' is declared twice"]),
    ([port("_a")], ValueError, ["field 'name'", "reserved"]),
    ([port("name")], ValueError, ["field 'name'", "reserved"]),
    ([port("a", "int", default="x")], ValueError, ["field 'default'", '"x" is not a valid int']),
    ([port("a", direction="output", default="text")], ValueError, ["field 'default'", "blackboard entry"]),
    ([port("a", default=[1])], TypeError, ["field 'default'"]),
]


@pytest.mark.parametrize("ports, error, fragments", BAD_RECORDS)
def test_bad_port_records_name_record_and_field(ports, error, fragments):
    with pytest.raises(error) as caught:
        SequentialEngine().register_action_behavior("Bad", lambda node: NodeStatus.SUCCESS, ports)
    for fragment in ["action 'Bad'", *fragments]:
        assert fragment in str(caught.value)


@pytest.mark.parametrize("register, error, fragment", [
    (lambda e: e.register_action_behavior("", lambda n: n, []), ValueError, "reserved"),
    (lambda e: e.register_action_behavior("SubTree", lambda n: n, []), ValueError, "reserved"),
    (lambda e: e.register_action_behavior("Sequence", lambda n: n, []), ValueError, "already registered"),
    (lambda e: e.register_action_behavior("X", "not callable", []), TypeError, "is not callable"),
    (lambda e: e.register_action_class(int), TypeError, "subclass of SimpleActionNode"),
    (lambda e: e.register_action_class(type("NoTick", (SimpleActionNode,), {})), TypeError, "no tick"),
])
def test_bad_registrations(register, error, fragment):
    with pytest.raises(error, match=fragment):
        register(SequentialEngine())


def test_action_class_registration_by_name_and_docstring():
    class Greet(SimpleActionNode):
        """Says hello.

        At length."""

        ports = [port("who", "string", default="world"), port("said", direction="output", default="{said}")]

        @staticmethod
        def tick(node):
            node.setOutput("said", f"hello {node.getInputString('who')} from {node.name()}/{node.registrationName()}")
            return NodeStatus.SUCCESS

    engine = SequentialEngine()
    assert engine.register_action_class(Greet) == "Greet"
    assert engine.register_action_class(Greet, "Hello") == "Hello"
    engine.create_tree_from_text(document(tree("T", '<Sequence><Greet/><Hello name="h" who="you"/></Sequence>')))
    engine.tick_once()
    assert engine.get_blackboard_data("said") == "hello you from h/Hello"
