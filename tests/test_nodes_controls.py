"""Built-in control nodes, traced tick by tick with scripted actions.

Trace rows read "<root status>:<actions ticked, in order>:<action states after the tick>"
with R RUNNING, S SUCCESS, F FAILURE, K SKIPPED, I IDLE (see nodes_helpers).
"""

import pytest

from morvlen.core import NodeStatus
from nodes_helpers import Harness, check_trace


def trace_case(case_id, scripts, body, expected):
    return pytest.param(scripts, body, expected, id=case_id)


SEQ3 = "<{0}><A/><B/><C/></{0}>"

SEQUENCES = [
    trace_case("seq-all-succeed", {"A": "S", "B": "S", "C": "S"}, SEQ3.format("Sequence"),
               ["S:ABC:III", "S:ABC:III"]),
    trace_case("seq-running-resumes-at-child", {"A": "S", "B": "RRS", "C": "S"}, SEQ3.format("Sequence"),
               ["R:AB:SRI", "R:B:SRI", "S:BC:III", "S:ABC:III"]),
    trace_case("seq-failure-restarts", {"A": "S", "B": "FS", "C": "S"}, SEQ3.format("Sequence"),
               ["F:AB:III", "S:ABC:III"]),
    trace_case("seq-failure-after-running", {"A": "S", "B": "RF", "C": "S"}, SEQ3.format("Sequence"),
               ["R:AB:SRI", "F:B:III", "F:AB:III"]),
    trace_case("seq-skipped-passed-over", {"A": "K", "B": "S", "C": "S"}, SEQ3.format("Sequence"),
               ["S:ABC:III"]),
    trace_case("seq-all-skipped", {"A": "K", "B": "K", "C": "K"}, SEQ3.format("Sequence"),
               ["K:ABC:III"]),
    trace_case("seq-skip-then-running", {"A": "K", "B": "RS", "C": "K"}, SEQ3.format("Sequence"),
               ["R:AB:IRI", "S:BC:III"]),
    trace_case("memory-resumes-at-failed-child", {"A": "S", "B": "FS", "C": "S"}, SEQ3.format("SequenceWithMemory"),
               ["F:AB:III", "S:BC:III", "S:ABC:III"]),
    trace_case("memory-running-then-failure", {"A": "S", "B": "RFFS", "C": "S"}, SEQ3.format("SequenceWithMemory"),
               ["R:AB:SRI", "F:B:III", "F:B:III", "S:BC:III"]),
    trace_case("memory-all-skipped-across-failure", {"A": "K", "B": "FK", "C": "K"},
               SEQ3.format("SequenceWithMemory"), ["F:AB:III", "K:BC:III"]),
    trace_case("reactive-restarts-each-tick", {"A": "S", "B": "RRS"}, "<ReactiveSequence><A/><B/></ReactiveSequence>",
               ["R:AB:IR", "R:AB:IR", "S:AB:II", "S:AB:II"]),
    trace_case("reactive-condition-fails-halts-runner", {"A": "SF", "B": "R"},
               "<ReactiveSequence><A/><B/></ReactiveSequence>", ["R:AB:IR", "F:A:II"]),
    trace_case("reactive-earlier-running-halts-later", {"A": "SRS", "B": "R"},
               "<ReactiveSequence><A/><B/></ReactiveSequence>", ["R:AB:IR", "R:A:RI", "R:AB:IR"]),
    trace_case("reactive-skipped", {"A": "K", "B": "K"}, "<ReactiveSequence><A/><B/></ReactiveSequence>",
               ["K:AB:II"]),
    trace_case("fallback-first-success", {"A": "F", "B": "F", "C": "S"}, SEQ3.format("Fallback"),
               ["S:ABC:III", "S:ABC:III"]),
    trace_case("fallback-running-resumes", {"A": "F", "B": "RRF", "C": "F"}, SEQ3.format("Fallback"),
               ["R:AB:FRI", "R:B:FRI", "F:BC:III", "F:ABC:III"]),
    trace_case("fallback-success-restarts", {"A": "FS", "B": "S", "C": "S"}, SEQ3.format("Fallback"),
               ["S:AB:III", "S:A:III"]),
    trace_case("fallback-skipped", {"A": "K", "B": "F", "C": "K"}, SEQ3.format("Fallback"), ["F:ABC:III"]),
    trace_case("fallback-all-skipped", {"A": "K", "B": "K", "C": "K"}, SEQ3.format("Fallback"), ["K:ABC:III"]),
    trace_case("reactive-fallback-restarts", {"A": "F", "B": "RRS"}, "<ReactiveFallback><A/><B/></ReactiveFallback>",
               ["R:AB:IR", "R:AB:IR", "S:AB:II"]),
    trace_case("reactive-fallback-success-halts-runner", {"A": "FS", "B": "R"},
               "<ReactiveFallback><A/><B/></ReactiveFallback>", ["R:AB:IR", "S:A:II"]),
    trace_case("reactive-fallback-all-fail", {"A": "F", "B": "F"}, "<ReactiveFallback><A/><B/></ReactiveFallback>",
               ["F:AB:II"]),
    trace_case("explicit-form", {"A": "S", "B": "S"}, '<Control ID="Sequence"><A/><B/></Control>', ["S:AB:II"]),
]


@pytest.mark.parametrize("scripts, body, expected", SEQUENCES)
def test_sequences_and_fallbacks(scripts, body, expected):
    check_trace(scripts, body, expected)


def test_reactive_sequence_restarts_the_halted_child():
    harness = check_trace({"A": "SRS", "B": "R"}, "<ReactiveSequence><A/><B/></ReactiveSequence>",
                          ["R:AB:IR", "R:A:RI", "R:AB:IR"])
    assert harness.starts["B"] == 2


PARALLEL = [
    trace_case("defaults-all-must-succeed", {"A": "RS", "B": "RRS"}, "<Parallel><A/><B/></Parallel>",
               ["R:AB:RR", "R:AB:SR", "S:B:II"]),
    trace_case("defaults-one-failure-fails", {"A": "RF", "B": "R"}, "<Parallel><A/><B/></Parallel>",
               ["R:AB:RR", "F:A:II"]),
    trace_case("success-count-1", {"A": "R", "B": "S"}, '<Parallel success_count="1"><A/><B/></Parallel>',
               ["S:AB:II"]),
    trace_case("negative-success-count", {"A": "S", "B": "S", "C": "R"},
               '<Parallel success_count="-2"><A/><B/><C/></Parallel>', ["S:AB:III"]),
    trace_case("failure-count-2", {"A": "F", "B": "RF", "C": "R"},
               '<Parallel success_count="1" failure_count="2"><A/><B/><C/></Parallel>', ["R:ABC:FRR", "F:B:III"]),
    trace_case("success-out-of-reach", {"A": "F", "B": "R", "C": "R"},
               '<Parallel failure_count="3"><A/><B/><C/></Parallel>', ["F:A:III"]),
    trace_case("skipped-left-out", {"A": "K", "B": "RS"}, "<Parallel><A/><B/></Parallel>", ["R:AB:IR", "S:B:II"]),
    trace_case("all-skipped", {"A": "K", "B": "K"}, "<Parallel><A/><B/></Parallel>", ["K:AB:II"]),
    trace_case("all-failures-counted", {"A": "F", "B": "RS"}, "<ParallelAll><A/><B/></ParallelAll>",
               ["R:AB:FR", "F:B:II"]),
    trace_case("all-below-max-failures", {"A": "F", "B": "RS"}, '<ParallelAll max_failures="2"><A/><B/></ParallelAll>',
               ["R:AB:FR", "S:B:II"]),
    trace_case("all-succeed", {"A": "S", "B": "RS"}, "<ParallelAll><A/><B/></ParallelAll>", ["R:AB:SR", "S:B:II"]),
    trace_case("all-skipped-parallel-all", {"A": "K", "B": "K"}, "<ParallelAll><A/><B/></ParallelAll>", ["K:AB:II"]),
]


@pytest.mark.parametrize("scripts, body, expected", PARALLEL)
def test_parallel(scripts, body, expected):
    check_trace(scripts, body, expected)


@pytest.mark.parametrize("attributes", ['success_count="3"', 'failure_count="0"', 'success_count="-3"'])
def test_parallel_rejects_bad_counts(attributes):
    harness = Harness({"A": "S", "B": "S"}).build(f"<Parallel {attributes}><A/><B/></Parallel>")
    with pytest.raises(RuntimeError, match="success_count|failure_count"):
        harness.tick()


BRANCHES = [
    trace_case("if-then", {"A": "S", "B": "RS", "C": "S"}, "<IfThenElse><A/><B/><C/></IfThenElse>",
               ["R:AB:SRI", "S:B:III"]),
    trace_case("if-else", {"A": "F", "B": "S", "C": "RF"}, "<IfThenElse><A/><B/><C/></IfThenElse>",
               ["R:AC:FIR", "F:C:III"]),
    trace_case("if-no-else", {"A": "F", "B": "S"}, "<IfThenElse><A/><B/></IfThenElse>", ["F:A:II"]),
    trace_case("if-running-condition", {"A": "RS", "B": "S"}, "<IfThenElse><A/><B/></IfThenElse>",
               ["R:A:RI", "S:AB:II"]),
    trace_case("if-skipped-condition", {"A": "K", "B": "S", "C": "S"}, "<IfThenElse><A/><B/><C/></IfThenElse>",
               ["K:A:III"]),
    trace_case("while-switches-branch", {"A": "SFF", "B": "R", "C": "R"}, "<WhileDoElse><A/><B/><C/></WhileDoElse>",
               ["R:AB:IRI", "R:AC:IIR", "R:AC:IIR"]),
    trace_case("while-branch-completes", {"A": "S", "B": "RS", "C": "S"}, "<WhileDoElse><A/><B/><C/></WhileDoElse>",
               ["R:AB:IRI", "S:AB:III"]),
    trace_case("while-no-else", {"A": "SF", "B": "R"}, "<WhileDoElse><A/><B/></WhileDoElse>", ["R:AB:IR", "F:A:II"]),
    trace_case("while-running-condition-keeps-branch", {"A": "SRS", "B": "R"}, "<WhileDoElse><A/><B/></WhileDoElse>",
               ["R:AB:IR", "R:A:RR", "R:AB:IR"]),
]


@pytest.mark.parametrize("scripts, body, expected", BRANCHES)
def test_if_then_else_and_while_do_else(scripts, body, expected):
    check_trace(scripts, body, expected)


@pytest.mark.parametrize("body", ["<IfThenElse><A/></IfThenElse>", "<IfThenElse><A/><A/><A/><A/></IfThenElse>",
                                  "<WhileDoElse><A/></WhileDoElse>", "<Sequence></Sequence>",
                                  "<Switch2 variable='1' case_1='1' case_2='2'><A/><A/></Switch2>",
                                  "<Switch3 variable='1' case_1='1' case_2='2' case_3='3'><A/><A/><A/><A/><A/></Switch3>"])
def test_wrong_number_of_children_is_refused(body):
    harness = Harness({"A": "S"})
    with pytest.raises(RuntimeError):
        harness.build(body)
        harness.tick()


SWITCH2 = '<Switch2 variable="{v}" case_1="1" case_2="go"><A/><B/><C/></Switch2>'


@pytest.mark.parametrize("value, chosen", [
    (1, "A"), (1.0, "A"), ("1", "A"), ("1.0", "A"), (" 1", "A"), ("go", "B"), ("Go", "C"), ("stop", "C"),
    (2, "C"), (True, "A"), (None, "C"), ("unset", "C"),
])
def test_switch_selects_the_first_equal_case(value, chosen):
    harness = Harness({"A": "S", "B": "S", "C": "S"}).build(SWITCH2)
    if value != "unset":
        harness.engine.set_blackboard_data("v", value)
    assert harness.tick() == NodeStatus.SUCCESS
    assert harness.log == [chosen]


@pytest.mark.parametrize("value, chosen", [(True, "A"), (False, "B"), ("true", "A"), ("0", "C"), (3.5, "C")])
def test_switch_compares_booleans_by_truth(value, chosen):
    harness = Harness({"A": "S", "B": "S", "C": "S"}).build(
        '<Switch2 variable="{v}" case_1="true" case_2="False"><A/><B/><C/></Switch2>')
    harness.engine.set_blackboard_data("v", value)
    harness.tick()
    assert harness.log == [chosen]


def test_switch_halts_the_running_child_when_the_selection_changes():
    harness = Harness({"A": "R", "B": "R", "C": "R"}).build(SWITCH2)
    harness.engine.set_blackboard_data("v", 1)
    assert harness.trace(2) == ["R:A:RII", "R:A:RII"]
    harness.engine.set_blackboard_data("v", "go")
    assert harness.trace(1) == ["R:B:IRI"]
    assert harness.starts == {"A": 1, "B": 1, "C": 0}


@pytest.mark.parametrize("n", [2, 3, 4, 5, 6])
def test_switch_n_takes_the_last_child_as_default(n):
    scripts = {chr(ord("A") + i): "S" for i in range(n + 1)}
    cases = " ".join(f'case_{i}="{i}"' for i in range(1, n + 1))
    children = "".join(f"<{name}/>" for name in scripts)
    harness = Harness(scripts).build(f'<Switch{n} variable="{{v}}" {cases}>{children}</Switch{n}>')
    for value, chosen in [(n, chr(ord("A") + n - 1)), (n + 1, chr(ord("A") + n)), (1, "A")]:
        harness.engine.set_blackboard_data("v", value)
        harness.tick()
        assert harness.log[-1] == chosen


@pytest.mark.parametrize("body", [
    "<Sequence><A/></Sequence>",
    "<ReactiveFallback><A/></ReactiveFallback>",
    "<Parallel><A/></Parallel>",
    "<IfThenElse><AlwaysSuccess/><A/></IfThenElse>",
    '<Repeat num_cycles="1"><ForceSuccess><A/></ForceSuccess></Repeat>',
    '<Sequence><SubTree ID="Inner"/></Sequence>',
])
def test_every_ancestor_is_running_while_a_child_ticks(body):
    seen = []

    def tick(node):
        seen.extend((n["path"], n["status"]) for n in harness.engine.get_tree_status()["nodes"])
        return NodeStatus.SUCCESS

    harness = Harness()
    harness.engine.register_action_behavior("A", tick, [])
    harness.engine.create_tree_from_text(
        '<root BTCPP_format="4" main_tree_to_execute="T">'
        f'<BehaviorTree ID="T">{body}</BehaviorTree><BehaviorTree ID="Inner"><A/></BehaviorTree></root>')
    assert harness.tick() == NodeStatus.SUCCESS
    ancestors = [(path, status) for path, status in seen if not path.endswith(("/A", "/AlwaysSuccess"))]
    assert ancestors and all(status == NodeStatus.RUNNING for _, status in ancestors), seen
