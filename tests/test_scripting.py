"""The scripting language, the script nodes and the condition attributes."""

import enum
import random
from xml.sax.saxutils import quoteattr

import pytest

from morvlen.core import (
    BehaviorTreeFactory,
    NodeStatus,
    ScriptError,
    ScriptSyntaxError,
    TreeBuildError,
    register_enum,
    register_enums,
    registered_enums,
)
from nodes_helpers import Harness, tree_xml
from runtime_helpers import document, engine_with, port, tree

S, F, R, K = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING, NodeStatus.SKIPPED


def run_tree(body: str, board: dict | None = None, ticks: int = 1):
    """Builds `body` (with the built-ins only), sets `board`, ticks; returns (statuses, tree)."""
    tree = BehaviorTreeFactory().create_tree_from_text(tree_xml(body))
    for key, value in (board or {}).items():
        tree.blackboard.set(key, value)
    return [tree.tick_once() for _ in range(ticks)], tree


def run_script(code: str, board: dict | None = None):
    """The blackboard entry r after running `r := (code)`."""
    _, tree = run_tree(f"<Script code={quoteattr(f'r := ({code})')}/>", board)
    return tree.blackboard.get("r")


@pytest.mark.parametrize("code, expected", [
    ("1 + 2 * 3", 7), ("(1 + 2) * 3", 9), ("10 - 4 - 3", 3), ("2 * -3", -6), ("- -4", 4),
    ("7 / 2", 3.5), ("8 / 2", 4), ("-9 / 3", -3), ("1.5 * 2", 3.0), ("0x7F", 127), ("1e3", 1000.0),
    ("6 & 3", 2), ("6 | 3", 7), ("6 ^ 3", 5), ("~5", -6), ("1 | 2 == 3", True),  # bitwise binds tighter
    ("1 < 2 == true", True), ("!false", True), ("!0", True), ("!'false'", True),
    ("true && false || true", True), ("false || true && false", False), ("1 + true", 2),
    ("3 > 2 ? 'yes' : 'no'", "yes"), ("false ? 1 : true ? 2 : 3", 2),
    ("'ab' + 'cd'", "abcd"), ("'n=' .. 3", "n=3"), ("1.5 .. 'x'", "1.5x"), ("2.0 .. ''", "2.0"),
    ("'a' .. true", "atrue"), ("1 + 2 .. 'x'", "3x"), ("'it\\'s'", "it's"),
    ("x + y", 5), ("x * f", 5.0), ("name .. '!'", "go!"), ("flag && x == 2", True),
    ("'9' < '10'", True), ("'b' > 'a'", True), ("'3' == 3", True), ("3.0 == 3", True), ("'x' != 'y'", True),
    ("true == 1", True), ("2 >= 2 && 2 <= 2", True),
])
def test_operators_precedence_and_types(code, expected):
    result = run_script(code, {"x": 2, "y": 3, "f": 2.5, "name": "go", "flag": True})
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("code, board, expected", [
    ("n := 1", {}, {"n": 1}),
    ("n = 5", {"n": 1}, {"n": 5}),
    ("n += 2; n *= 3; n -= 1", {"n": 1}, {"n": 8}),
    ("n /= 2", {"n": 8}, {"n": 4}),
    ("n /= 4", {"n": 6}, {"n": 1.5}),
    ("s += '!'", {"s": "hi"}, {"s": "hi!"}),
    ("a := b := 2", {}, {"a": 2, "b": 2}),
    ("a := 1; ; b := a + 1;", {}, {"a": 1, "b": 2}),
    ("c := Level.HIGH", {"Level.HIGH": 0}, None),  # a dotted name is not an identifier: syntax error below
])
def test_assignment_forms(code, board, expected):
    if expected is None:
        with pytest.raises(ScriptSyntaxError):
            run_tree(f"<Script code={quoteattr(code)}/>", board)
        return
    _, tree = run_tree(f"<Script code={quoteattr(code)}/>", board)
    entries = tree.blackboard.to_dict()
    assert {key: entries[key] for key in expected} == expected
    assert all(type(entries[key]) is type(value) for key, value in expected.items())


@pytest.mark.parametrize("code, board, fragment", [
    ("missing + 1", {}, "unknown variable 'missing'"),
    ("n = 1", {}, "'n' does not exist: '=' assigns only to an existing entry"),
    ("n += 1", {}, "'+=' assigns only to an existing entry"),
    ("'a' + 1", {}, "'+' cannot combine 'a' (str) and 1 (int) (join a string with '..')"),
    ("1.5 & 1", {}, "bitwise operators take integers only"),
    ("~2.0", {}, "bitwise operators take integers only"),
    ("1 / 0", {}, "division by zero"),
    ("1.0 / 0", {}, "division by zero"),
    ("'abc' < 3", {}, "the string holds no number"),
    ("'maybe' && true", {}, "is not a truth value"),
    ("v + 1", {"v": [1]}, "entry 'v' holds [1], which scripts cannot use"),
    ("v + 1", {"v": 2**70}, "beyond 64 bits"),
    ("9223372036854775807 + 1", {}, "integer overflow"),
    ("1 .. 2", {}, "one side must be a string"),
])
def test_runtime_errors_name_node_and_script(code, board, fragment):
    with pytest.raises(ScriptError) as caught:
        run_tree(f'<Sequence><Script name="calc" code={quoteattr(code)}/></Sequence>', board)
    message = str(caught.value)
    assert fragment in message and "'T/Sequence/calc'" in message and f'code="{code}"' in message


@pytest.mark.parametrize("element, position, fragment", [
    ('<AlwaysSuccess _skipIf="a + * 2"/>', 5, "expected a value, found '*'"),
    ('<Script code="x := (1 + 2"/>', 12, "expected ')', found the end of the script"),
    ('<Script code="3 := 4"/>', 3, "only a variable can be assigned to with ':='"),
    ('<Script code="x := \'open"/>', 6, "unterminated string"),
    ('<Script code="x := 1 # 2"/>', 8, "unexpected character '#'"),
    ('<Script code="x := é"/>', 6, "unexpected character 'é'"),  # the whole character, not its first byte
    ('<Script code="x := 12ab"/>', 6, "malformed number"),
    ('<Script code="x := 1 y := 2"/>', 8, "expected ';'"),
    ('<Script code=""/>', 1, "the script is empty"),
    ('<Precondition if="a ? b"><AlwaysSuccess/></Precondition>', 6, "expected ':'"),
    ('<Script code="' + "(" * 300 + '"/>', None, "nests too deeply"),
    ('<Script code="' + "+".join(["1"] * 5000) + '"/>', None, "nests too deeply"),
    ('<Script code="' + "-" * 5000 + '1"/>', None, "nests too deeply"),
])
def test_syntax_errors_refuse_the_document(element, position, fragment):
    with pytest.raises(ScriptSyntaxError) as caught:
        run_tree(f"<Sequence>\n{element}</Sequence>")
    assert isinstance(caught.value, TreeBuildError)
    message = str(caught.value)
    assert fragment in message and "tree 'T'" in message and "line 2" in message
    if position is not None:
        assert f"at position {position}:" in message
        assert message.splitlines()[-1] == " " * (4 + position - 1) + "^"


def test_script_port_takes_no_blackboard_entry():
    with pytest.raises(ScriptSyntaxError, match="takes the script itself"):
        run_tree('<Script code="{code}"/>')


# Condition attributes on a leaf (A) and on a control, with the scripted actions of
# nodes_helpers: (attributes, board, root status, actions ticked, entries after).
@pytest.mark.parametrize("attributes, board, status, ticked, after", [
    ('_skipIf="go"', {"go": True}, K, "", {}),
    ('_skipIf="go"', {"go": False}, S, "A", {}),
    ('_successIf="1" _failureIf="1"', {}, F, "", {}),  # _failureIf is checked first
    ('_successIf="true" _onSuccess="hit := 1"', {}, S, "", {"hit": None}),  # no post-conditions when decided
    ('_while="false" _post="hit := 1"', {}, K, "", {"hit": None}),
    ('_onSuccess="s := 1" _onFailure="f := 1" _post="p := 1"', {}, S, "A", {"s": 1, "f": None, "p": 1}),
])
@pytest.mark.parametrize("wrap", ["<A {}/>", '<Sequence {}><A/></Sequence>'])
def test_condition_attributes(attributes, board, status, ticked, after, wrap):
    harness = Harness({"A": "S"}).build(wrap.format(attributes))
    for key, value in board.items():
        harness.engine.set_blackboard_data(key, value)
    assert harness.tick() == status and harness.log[-1] == ticked
    assert {key: harness.engine.get_blackboard_data(key) for key in after} == after


@pytest.mark.parametrize("attribute, second, after", [
    ('_skipIf="stop"', (R, "A"), {"stop": True}),  # checked only when the node starts
    ('_while="!stop"', (K, ""), {"stop": True, "halted": 1}),  # checked on every tick: halts the running node
])
def test_conditions_while_the_node_runs(attribute, second, after):
    harness = Harness({"A": "RRRS"}).build(f'<A {attribute} _onHalted="halted := 1" _post="post := 1"/>')
    harness.engine.set_blackboard_data("stop", False)
    assert (harness.tick(), harness.log[-1]) == (R, "A")
    harness.engine.set_blackboard_data("stop", True)
    assert (harness.tick(), harness.log[-1]) == second
    assert harness.engine.get_all_blackboard_data() == after


@pytest.mark.parametrize("script, else_status, trace", [
    # The scripted action continues its script after a halt, restarting from IDLE.
    ("RRS", "FAILURE", [(True, R, "A"), (False, F, ""), (True, R, "A"), (True, S, "A")]),
    ("RS", "RUNNING", [(False, R, ""), (True, R, "A"), (False, R, ""), (True, S, "A")]),
    ("S", "SKIPPED", [(False, K, ""), (True, S, "A")]),
])
def test_precondition_is_checked_on_every_tick(script, else_status, trace):
    harness = Harness({"A": script}).build(
        f'<Precondition if="go" else="{else_status}"><A _onHalted="halted += 1"/></Precondition>')
    harness.engine.set_blackboard_data("halted", 0)
    for go, status, ticked in trace:
        harness.engine.set_blackboard_data("go", go)
        assert (harness.tick(), harness.log[-1]) == (status, ticked)
    halted = script != "S"  # a false condition halted the running child
    assert (harness.starts["A"], harness.engine.get_blackboard_data("halted")) == (1 + halted, int(halted))


def test_on_halted_runs_when_a_running_node_is_halted_only():
    harness = Harness({"A": "RS", "B": "S"}).build(
        '<Sequence><A _onHalted="n := 1"/><B _onHalted="m := 1"/></Sequence>')
    harness.tick()
    harness.engine.reset_tree()
    assert harness.engine.get_all_blackboard_data() == {"n": 1}


def broken(node):
    raise ValueError("tick")


@pytest.mark.parametrize("failing, raised", [("<Broken/>", ValueError), ('<Script code="missing + 1"/>', ScriptError)])
def test_a_failed_tick_error_survives_an_on_halted_script_that_fails(failing, raised):
    factory = BehaviorTreeFactory()
    factory.register_action("Run", lambda node: R)
    factory.register_action("Broken", broken)
    tree = factory.create_tree_from_text(tree_xml(f'<ParallelAll><Run _onHalted="nope = 1"/>{failing}</ParallelAll>'))
    with pytest.raises(raised) as caught:
        tree.tick_once()
    note = caught.value.__notes__[-1]
    assert note.startswith("ScriptError: Run 'T/ParallelAll/Run' _onHalted=\"nope = 1\": 'nope' does not exist")
    assert note.endswith("(raised while the tree was halted after this error)")
    assert tree.status == NodeStatus.IDLE


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 3
    TOP = HIGH  # an alias


def test_enums_from_names_and_intenum_classes():
    register_enums(Level)
    register_enum("THE_ANSWER", 42)
    register_enum("THE_ANSWER", 42)  # the same value again is fine
    assert {"LOW": 1, "HIGH": 3, "TOP": 3, "THE_ANSWER": 42}.items() <= registered_enums().items()
    assert run_script("level == HIGH && THE_ANSWER - 39 == TOP", {"level": Level.HIGH}) is True
    with pytest.raises(ValueError, match="already registered with the value 42"):
        register_enum("THE_ANSWER", 41)
    with pytest.raises(ValueError, match="not a script identifier"):
        register_enum("true", 1)
    with pytest.raises(TypeError, match="expects an enum class"):
        register_enums(int)


@pytest.mark.parametrize("mode, branch", [(Level.HIGH, "high"), (1, "low"), ("3", "high"), (2, "other")])
def test_switch_cases_may_name_enums(mode, branch):
    register_enums(Level)
    _, tree = run_tree('<Switch2 variable="{mode}" case_1="LOW" case_2="HIGH"><Script code="b := \'low\'"/>'
                       '<Script code="b := \'high\'"/><Script code="b := \'other\'"/></Switch2>', {"mode": mode})
    assert tree.blackboard.get("b") == branch


def test_enums_reach_thread_engine_trees(mt):
    register_enum("WORKER_ENUM", 7)
    engine = mt.ThreadEngine()
    try:
        tree = engine.create_tree_from_text(tree_xml('<Script code="v := WORKER_ENUM * 2"/>'))
        engine.tick_once(tree)
        assert engine.get_blackboard_data(tree, "v") == 14
    finally:
        engine.stop_all_trees()


def test_root_and_remapped_variables_inside_a_subtree():
    xml = ('<root BTCPP_format="4" main_tree_to_execute="M">'
           '<BehaviorTree ID="M"><Sequence><SubTree ID="Sub" inner="{outer}" _onSuccess="after := outer"/>'
           '</Sequence></BehaviorTree>'
           '<BehaviorTree ID="Sub"><Script code="inner += 1; @seen := inner; local := 1"/></BehaviorTree></root>')
    tree = BehaviorTreeFactory().create_tree_from_text(xml)
    tree.blackboard.set("outer", 1)
    assert tree.tick_once() == S
    assert tree.blackboard.to_dict() == {"outer": 2, "seen": 2, "after": 2}


# Values of each kind scripts read, in an order that changes the kind at every write
# (a long str is read differently from a short one); what the next script read must see.
WRITTEN = [(5, "5"), ("go", "'go'"), ("long " * 60, "'" + "long " * 60 + "'"), (Level.HIGH, "HIGH"),
           (2.5, "2.5"), (True, "true"), (7, "7")]
WRITERS = {
    "python": "",
    "port": '<Put out="{v}"/>',
    "subtree port": '<SubTree ID="W" inner="{v}"/>',
    "script": "<Script code=" + quoteattr("v := " + " : ".join(f"i == {k} ? {literal}" for k, (_, literal)
                                                                  in enumerate(WRITTEN)) + " : 0; i += 1") + "/>",
}


@pytest.mark.parametrize("writer", WRITERS)
def test_scripts_read_the_last_write_of_every_writer(writer):
    register_enums(Level)
    values = iter(value for value, _ in WRITTEN)

    def put(node):
        node.setOutput("out", next(values))
        return S

    xml = document(tree("T", f'<Sequence>{WRITERS[writer]}<Script code="seen := v"/></Sequence>'),
                   tree("W", '<Put out="{inner}"/>'), main="T")
    engine = engine_with({"Put": (put, [port("out", direction="output")])}, xml)
    engine.set_blackboard_data("i", 0)
    engine.set_blackboard_data("v", [])  # no script value: written over before it is read
    for value, _ in WRITTEN:
        if writer == "python":
            engine.set_blackboard_data("v", value)
        assert engine.tick_once() == S
        seen = engine.get_blackboard_data("seen")
        assert seen == value and type(seen) is (int if isinstance(value, enum.IntEnum) else type(value))


def test_script_condition():
    statuses, _ = run_tree('<Sequence><ScriptCondition code="x &gt; 3 &amp;&amp; y == \'go\'"/>'
                           '<Script code="ran := true"/></Sequence>', {"x": 4, "y": "go"})
    assert statuses == [S]
    statuses, tree = run_tree('<Sequence><ScriptCondition code="x &gt; 3"/><Script code="ran := 1"/></Sequence>',
                              {"x": 3})
    assert statuses == [F] and "ran" not in tree.blackboard


TOKENS = ["x", "y", "@x", "s", "1", "0", "2.5", "0x1F", "'a'", "'9'", "true", "false", "+", "-", "*", "/", "..",
          "&", "|", "^", "~", "!", "&&", "||", "==", "!=", "<", "<=", ">", ">=", "?", ":", "(", ")", ";",
          ":=", "=", "+=", "-=", "*=", "/=", "#", "'", "9999999999999999999", "LOW"]


def test_random_scripts_run_or_are_refused_cleanly():
    rng = random.Random(20261209)
    seeds = ["x := x + 1", "s := s .. y", "x > 1 ? y : -y", "~x & 3 | y ^ 1", "!(x == y) && s != 'a'"]
    outcomes = {"ran": 0, "syntax": 0, "runtime": 0}
    for _ in range(1500):
        if rng.random() < 0.5:
            code = " ".join(rng.choice(TOKENS) for _ in range(rng.randint(1, 9)))
        else:
            code = list(rng.choice(seeds))
            for _ in range(rng.randint(1, 3)):
                code.insert(rng.randrange(len(code) + 1), rng.choice("()+-*/&|!~?:;=<>'.@x1"))
            code = "".join(code)
        try:
            run_tree(f'<Script code={quoteattr(code)} _skipIf="false"/>', {"x": 3, "y": 2, "s": "t"})
            outcomes["ran"] += 1
        except ScriptSyntaxError:
            outcomes["syntax"] += 1
        except ScriptError:
            outcomes["runtime"] += 1
    assert all(outcomes.values()), outcomes


def test_a_document_with_every_script_node_and_attribute_runs():
    xml = """<root BTCPP_format="4" main_tree_to_execute="Main">
      <BehaviorTree ID="Main">
        <Sequence _onSuccess="log := log .. 'S'" _post="log := log .. 'P'">
          <Script code="n := 0; log := ''; @top := 1"/>
          <AlwaysFailure _failureIf="false" _successIf="n == 0" _onSuccess="bad := 1"/>
          <AlwaysSuccess _skipIf="n &gt; 5"/>
          <ForceSuccess><AlwaysFailure _onFailure="log := log .. 'f'"/></ForceSuccess>
          <Precondition if="n &lt; 3" else="SKIPPED"><Script code="n += 1"/></Precondition>
          <SubTree ID="Inner" counter="{n}" _skipIf="n == 99"/>
          <Sleep msec="0" _while="n &lt; 100" _onHalted="log := log .. 'h'"/>
          <ScriptCondition code="n == 2 &amp;&amp; @top == 2"/>
        </Sequence>
      </BehaviorTree>
      <BehaviorTree ID="Inner"><Script code="counter += 1; @top += 1"/></BehaviorTree>
    </root>"""
    tree = BehaviorTreeFactory().create_tree_from_text(xml)
    assert tree.tick_once() == R  # Sleep's first tick
    assert tree.tick_once() == S
    assert tree.blackboard.to_dict() == {"n": 2, "log": "fSP", "top": 2}
