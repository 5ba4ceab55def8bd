"""Built-in decorators, traced tick by tick with scripted actions (rows as in nodes_helpers)."""

import collections
import time

import pytest

from morvlen.core import NodeStatus
from nodes_helpers import Harness, check_trace


def trace_case(case_id, script, body, expected):
    return pytest.param({"A": script}, body, expected, id=case_id)


DECORATORS = [
    trace_case("inverter-success", "S", "<Inverter><A/></Inverter>", ["F:A:I"]),
    trace_case("inverter-failure", "F", "<Inverter><A/></Inverter>", ["S:A:I"]),
    trace_case("inverter-running", "RS", "<Inverter><A/></Inverter>", ["R:A:R", "F:A:I"]),
    trace_case("inverter-skipped", "K", "<Inverter><A/></Inverter>", ["K:A:I"]),
    trace_case("force-success", "FRS", "<ForceSuccess><A/></ForceSuccess>", ["S:A:I", "R:A:R", "S:A:I"]),
    trace_case("force-success-skipped", "K", "<ForceSuccess><A/></ForceSuccess>", ["K:A:I"]),
    trace_case("force-failure", "SRF", "<ForceFailure><A/></ForceFailure>", ["F:A:I", "R:A:R", "F:A:I"]),
    trace_case("repeat-within-one-tick", "S", '<Repeat num_cycles="3"><A/></Repeat>', ["S:AAA:I", "S:AAA:I"]),
    trace_case("repeat-running-keeps-count", "SRSS", '<Repeat num_cycles="3"><A/></Repeat>', ["R:AA:R", "S:AA:I"]),
    trace_case("repeat-failure-stops", "SFS", '<Repeat num_cycles="3"><A/></Repeat>', ["F:AA:I", "S:AAA:I"]),
    trace_case("repeat-zero", "S", '<Repeat num_cycles="0"><A/></Repeat>', ["S::I"]),
    trace_case("repeat-forever-yields", "S", '<Repeat num_cycles="-1"><A/></Repeat>', ["R:A:I", "R:A:I"]),
    trace_case("repeat-skipped", "KS", '<Repeat num_cycles="2"><A/></Repeat>', ["K:A:I", "S:AA:I"]),
    trace_case("retry-until-success", "FFS", '<RetryUntilSuccessful num_attempts="3"><A/></RetryUntilSuccessful>',
               ["S:AAA:I"]),
    trace_case("retry-exhausted", "F", '<RetryUntilSuccessful num_attempts="3"><A/></RetryUntilSuccessful>',
               ["F:AAA:I"]),
    trace_case("retry-running", "FRS", '<RetryUntilSuccessful num_attempts="2"><A/></RetryUntilSuccessful>',
               ["R:AA:R", "S:A:I"]),
    trace_case("retry-running-counts-attempt-once", "FRF",
               '<RetryUntilSuccessful num_attempts="2"><A/></RetryUntilSuccessful>', ["R:AA:R", "F:A:I"]),
    trace_case("retry-forever-yields", "F", '<RetryUntilSuccessful num_attempts="-1"><A/></RetryUntilSuccessful>',
               ["R:A:I", "R:A:I"]),
    trace_case("retry-zero", "S", '<RetryUntilSuccessful num_attempts="0"><A/></RetryUntilSuccessful>', ["F::I"]),
    trace_case("retry-old-spelling", "FS", '<RetryUntilSuccesful num_attempts="2"><A/></RetryUntilSuccesful>',
               ["S:AA:I"]),
    trace_case("keep-running", "SSF", "<KeepRunningUntilFailure><A/></KeepRunningUntilFailure>",
               ["R:A:I", "R:A:I", "F:A:I"]),
    trace_case("keep-running-child-running", "RSR", "<KeepRunningUntilFailure><A/></KeepRunningUntilFailure>",
               ["R:A:R", "R:A:I", "R:A:R"]),
    trace_case("run-once-then-skip", "RSF", "<RunOnce><A/></RunOnce>", ["R:A:R", "S:A:I", "K::I", "K::I"]),
    trace_case("run-once-keeps-result", "F", '<RunOnce then_skip="false"><A/></RunOnce>', ["F:A:I", "F::I"]),
    trace_case("run-once-skipped-child-not-counted", "KS", "<RunOnce><A/></RunOnce>", ["K:A:I", "S:A:I", "K::I"]),
    trace_case("delay-never-ticks-child-at-first", "S", '<Delay delay_msec="0"><A/></Delay>', ["R::I", "S:A:I"]),
    trace_case("delay-waits", "S", '<Delay delay_msec="600000"><A/></Delay>', ["R::I", "R::I", "R::I"]),
    trace_case("timeout-passes-statuses", "RRF", '<Timeout msec="600000"><A/></Timeout>',
               ["R:A:R", "R:A:R", "F:A:I"]),
]


@pytest.mark.parametrize("scripts, body, expected", DECORATORS)
def test_decorator_traces(scripts, body, expected):
    check_trace(scripts, body, expected)


def test_demonstration_shape_runs_both_actions_in_one_tick():
    body = ("<Sequence><A/><KeepRunningUntilFailure><Sequence><B/></Sequence></KeepRunningUntilFailure>"
            "</Sequence>")
    check_trace({"A": "S", "B": "SSF"}, body, ["R:AB:SI", "R:B:SI", "F:B:II", "F:AB:II"])


@pytest.mark.parametrize("body, port", [
    ('<Repeat num_cycles="-2"><A/></Repeat>', "num_cycles"),
    ('<Repeat num_cycles="often"><A/></Repeat>', "num_cycles"),
    ("<Repeat><A/></Repeat>", "num_cycles"),
    ('<RetryUntilSuccessful num_attempts="-5"><A/></RetryUntilSuccessful>', "num_attempts"),
    ('<Delay delay_msec="-1"><A/></Delay>', "delay_msec"),
    ('<Timeout msec="-1"><A/></Timeout>', "msec"),
    ('<RunOnce then_skip="maybe"><A/></RunOnce>', "then_skip"),
])
def test_bad_port_values_raise_naming_the_port(body, port):
    harness = Harness({"A": "S"})
    with pytest.raises(RuntimeError, match=port):
        harness.build(body)
        for _ in range(2):
            harness.tick()


def test_run_once_is_not_rearmed_by_reset():
    harness = check_trace({"A": "S"}, "<RunOnce><A/></RunOnce>", ["S:A:I", "K::I"])
    harness.engine.reset_tree()
    assert harness.trace(1) == ["K::I"]


def test_run_once_halted_while_running_runs_again():
    harness = check_trace({"A": "RS"}, "<RunOnce><A/></RunOnce>", ["R:A:R"])
    harness.engine.reset_tree()
    assert harness.trace(2) == ["S:A:I", "K::I"]
    assert harness.starts["A"] == 2


def test_repeat_reset_restarts_the_count():
    harness = check_trace({"A": "SRS"}, '<Repeat num_cycles="2"><A/></Repeat>', ["R:AA:R"])
    harness.engine.reset_tree()
    assert harness.trace(1) == ["S:AA:I"]  # two fresh cycles, not the one left before the reset


def test_delay_ticks_the_child_once_the_time_has_passed():
    harness = Harness({"A": "RS"}).build('<Delay delay_msec="5"><A/></Delay>')
    harness.tick_until(NodeStatus.SUCCESS)
    assert "".join(harness.log) == "AA"
    # The next run waits again.
    assert harness.trace(1) == ["R::I"]


def test_delay_halt_restarts_the_wait():
    harness = Harness({"A": "S"}).build('<Delay delay_msec="20"><A/></Delay>')
    harness.tick()
    time.sleep(0.05)
    harness.engine.reset_tree()
    assert harness.trace(1) == ["R::I"]


def test_timeout_halts_a_slow_child_without_ticking_it():
    harness = Harness({"A": "R"}).build('<Timeout msec="5"><A/></Timeout>')
    assert harness.tick() == NodeStatus.RUNNING
    seen = harness.tick_until(NodeStatus.FAILURE)
    assert harness.log[-1] == "" and harness.action_states() == "I"
    assert set(seen[:-1]) <= {NodeStatus.RUNNING}
    # A new run gets a fresh timer.
    assert harness.trace(1) == ["R:A:R"]


LOOP_LITERALS = [
    ("LoopInt", "1;2;-3", [1, 2, -3], int),
    ("LoopDouble", "1;2.5;-0.25", [1.0, 2.5, -0.25], float),
    ("LoopString", "a;b c;d", ["a", "b c", "d"], str),
    ("LoopBool", "true;0;False", [True, False, False], bool),
]


@pytest.mark.parametrize("node, queue, values, kind", LOOP_LITERALS)
def test_loop_over_a_literal_queue(node, queue, values, kind):
    harness = Harness({"A": "S"}).build(f'<{node} queue="{queue}" value="{{v}}"><A/></{node}>')
    seen = []
    for _ in values:
        assert harness.tick() == NodeStatus.RUNNING
        seen.append(harness.engine.get_blackboard_data("v"))
    assert seen == values and all(type(v) is kind for v in seen)
    assert harness.tick() == NodeStatus.SUCCESS  # if_empty default
    assert harness.log == ["A"] * len(values) + [""]
    # A literal queue starts over on the next run.
    harness.tick()
    assert harness.engine.get_blackboard_data("v") == values[0]


@pytest.mark.parametrize("make", [list, tuple, collections.deque, lambda items: ";".join(map(str, items))],
                         ids=["list", "tuple", "deque", "str"])
def test_loop_consumes_a_blackboard_queue(make):
    harness = Harness({"A": "S"}).build('<LoopInt queue="{q}" value="{v}"><A/></LoopInt>')
    queue = make([4, 5])
    harness.engine.set_blackboard_data("q", queue)
    assert harness.tick() == NodeStatus.RUNNING
    assert harness.engine.get_blackboard_data("v") == 4
    left = harness.engine.get_blackboard_data("q")
    assert list(map(int, left.split(";") if isinstance(left, str) else left)) == [5]
    if isinstance(queue, (list, collections.deque)):
        assert left is queue  # popped in place: whoever shares the queue sees it shrink
    harness.tick()
    assert harness.engine.get_blackboard_data("v") == 5
    assert harness.tick() == NodeStatus.SUCCESS
    assert harness.tick() == NodeStatus.SUCCESS  # an entry, once consumed, stays empty


def test_loop_keeps_the_item_while_the_child_runs_and_stops_on_failure():
    harness = Harness({"A": "RSF"}).build('<LoopString queue="x;y;z" value="{v}"><A/></LoopString>')
    rows = []
    for _ in range(4):
        rows.append((harness.trace(1)[0], harness.engine.get_blackboard_data("v")))
    assert rows == [("R:A:R", "x"), ("R:A:I", "x"), ("F:A:I", "y"), ("F:A:I", "x")]


@pytest.mark.parametrize("if_empty, expected", [("SUCCESS", NodeStatus.SUCCESS), ("FAILURE", NodeStatus.FAILURE),
                                                ("SKIPPED", NodeStatus.SKIPPED)])
def test_loop_if_empty(if_empty, expected):
    harness = Harness({"A": "S"}).build(f'<LoopInt queue="{{q}}" if_empty="{if_empty}" value="{{v}}"><A/></LoopInt>')
    harness.engine.set_blackboard_data("q", [])
    assert harness.tick() == expected
    assert harness.log == [""]


@pytest.mark.parametrize("body, queue, message", [
    ('<LoopInt queue="1;x" value="{v}"><A/></LoopInt>', None, '"x"'),
    ('<LoopBool queue="yes" value="{v}"><A/></LoopBool>', None, '"yes"'),
    ('<LoopInt queue="{q}" value="{v}"><A/></LoopInt>', 5, "int"),
    ('<LoopInt queue="{q}" value="{v}"><A/></LoopInt>', [1.5], '"1.5"'),
    ('<LoopInt queue="" if_empty="RUNNING" value="{v}"><A/></LoopInt>', None, "if_empty"),
])
def test_loop_bad_input(body, queue, message):
    harness = Harness({"A": "S"}).build(body)
    if queue is not None:
        harness.engine.set_blackboard_data("q", queue)
    with pytest.raises(RuntimeError, match=message):
        for _ in range(2):
            harness.tick()
