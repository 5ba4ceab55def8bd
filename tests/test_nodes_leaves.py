"""Built-in leaves, and resetting trees that are halfway through a run."""

import time

import pytest

from morvlen.core import NodeStatus
from nodes_helpers import Harness, check_trace


@pytest.mark.parametrize("body, expected", [
    ("<AlwaysSuccess/>", NodeStatus.SUCCESS),
    ("<AlwaysFailure/>", NodeStatus.FAILURE),
    ('<Action ID="AlwaysFailure"/>', NodeStatus.FAILURE),
    ("<Sequence><AlwaysSuccess/><AlwaysFailure/></Sequence>", NodeStatus.FAILURE),
    ("<Fallback><AlwaysFailure/><AlwaysSuccess/></Fallback>", NodeStatus.SUCCESS),
])
def test_constant_leaves(body, expected):
    harness = Harness().build(body)
    assert [harness.tick() for _ in range(2)] == [expected, expected]


@pytest.mark.parametrize("attributes, key, expected", [
    ('value="hello" output_key="{k}"', "k", "hello"),
    ('value="42" output_key="{k}"', "k", "42"),  # a literal is stored as text
    ('value="" output_key="{k}"', "k", ""),
    ('value="x" output_key="{=}"', "output_key", "x"),
])
def test_set_blackboard_literal(attributes, key, expected):
    harness = Harness().build(f"<SetBlackboard {attributes}/>")
    assert harness.tick() == NodeStatus.SUCCESS
    assert harness.engine.get_blackboard_data(key) == expected


def test_set_blackboard_accepts_a_bare_key():
    harness = Harness()
    try:
        harness.build('<SetBlackboard value="v" output_key="k"/>')
    except RuntimeError as error:  # a literal on an inout port may be refused when building
        assert "output_key" in str(error)
        return
    assert harness.tick() == NodeStatus.SUCCESS
    assert harness.engine.get_blackboard_data("k") == "v"


def test_set_blackboard_copies_an_entry_as_it_is():
    harness = Harness().build('<SetBlackboard value="{src}" output_key="{dst}"/>')
    payload = {"items": [1, 2]}
    harness.engine.set_blackboard_data("src", payload)
    assert harness.tick() == NodeStatus.SUCCESS
    assert harness.engine.get_blackboard_data("dst") is payload


def test_set_blackboard_from_a_missing_entry_raises():
    harness = Harness().build('<SetBlackboard value="{nowhere}" output_key="{dst}"/>')
    with pytest.raises(RuntimeError, match="value|nowhere"):
        harness.tick()
    assert "dst" not in harness.engine.get_all_blackboard_data()


@pytest.mark.parametrize("present", [True, False])
def test_unset_blackboard(present):
    harness = Harness().build('<Sequence><UnsetBlackboard key="k"/><AlwaysSuccess/></Sequence>')
    if present:
        harness.engine.set_blackboard_data("k", 1)
    harness.engine.set_blackboard_data("other", 2)
    assert harness.tick() == NodeStatus.SUCCESS
    data = harness.engine.get_all_blackboard_data()
    assert "k" not in data and data["other"] == 2


def test_sleep_runs_until_the_time_has_passed():
    harness = Harness().build('<Sleep msec="5"/>')
    seen = harness.tick_until(NodeStatus.SUCCESS)
    assert seen[0] == NodeStatus.RUNNING and set(seen[:-1]) == {NodeStatus.RUNNING}
    assert harness.tick() == NodeStatus.RUNNING  # the next run sleeps again


@pytest.mark.parametrize("msec", ["0", "600000"])
def test_sleep_first_tick_is_running(msec):
    harness = Harness().build(f'<Sleep msec="{msec}"/>')
    assert harness.tick() == NodeStatus.RUNNING


def test_sleep_halt_cancels_the_wait():
    harness = Harness().build('<Sleep msec="20"/>')
    harness.tick()
    time.sleep(0.05)
    harness.engine.reset_tree()
    assert harness.tick() == NodeStatus.RUNNING  # started afresh, not finished


def test_sleep_in_a_sequence_holds_the_later_children():
    check_trace({"A": "S", "B": "S"}, '<Sequence><A/><Sleep msec="600000"/><B/></Sequence>',
                ["R:A:SI", "R::SI", "R::SI"])


RESETS = [
    # body, scripts, ticks before the reset, trace after it
    ("<Sequence><A/><B/></Sequence>", {"A": "S", "B": "RS"}, ["R:AB:SR"], ["S:AB:II"]),
    ("<Fallback><A/><B/></Fallback>", {"A": "F", "B": "RS"}, ["R:AB:FR"], ["S:AB:II"]),
    ("<ReactiveSequence><A/><B/></ReactiveSequence>", {"A": "S", "B": "RS"}, ["R:AB:IR"], ["S:AB:II"]),
    ("<Parallel><A/><B/></Parallel>", {"A": "S", "B": "RS"}, ["R:AB:SR"], ["S:AB:II"]),
    ("<ParallelAll><A/><B/></ParallelAll>", {"A": "S", "B": "RS"}, ["R:AB:SR"], ["S:AB:II"]),
    ("<IfThenElse><A/><B/></IfThenElse>", {"A": "SF", "B": "RS"}, ["R:AB:SR"], ["F:A:II"]),
    ("<WhileDoElse><A/><B/></WhileDoElse>", {"A": "S", "B": "RS"}, ["R:AB:IR"], ["S:AB:II"]),
    ('<Switch2 variable="1" case_1="1" case_2="2"><A/><B/><AlwaysSuccess/></Switch2>', {"A": "RS", "B": "S"},
     ["R:A:RI"], ["S:A:II"]),
    ('<Repeat num_cycles="2"><A/></Repeat>', {"A": "SRS"}, ["R:AA:R"], ["S:AA:I"]),
    ('<RetryUntilSuccessful num_attempts="2"><A/></RetryUntilSuccessful>', {"A": "FRF"}, ["R:AA:R"], ["F:AA:I"]),
    ('<Timeout msec="600000"><A/></Timeout>', {"A": "RS"}, ["R:A:R"], ["S:A:I"]),
    ('<LoopInt queue="1;2" value="{v}"><A/></LoopInt>', {"A": "RS"}, ["R:A:R"], ["R:A:I", "R:A:I", "S::I"]),
]


@pytest.mark.parametrize("body, scripts, before, after", RESETS)
def test_reset_tree_halts_running_nodes_and_starts_afresh(body, scripts, before, after):
    harness = check_trace(scripts, body, before)
    running = {name for name, state in zip(sorted(scripts), before[-1].split(":")[2]) if state == "R"}
    harness.engine.reset_tree()
    starts_before = dict(harness.starts)
    assert set(harness.action_states()) == {"I"}
    assert harness.trace(len(after)) == after
    for name in running & set("".join(harness.log[len(before):])):
        assert harness.starts[name] > starts_before[name], f"{name} was not started afresh after the reset"


def test_sequence_with_memory_starts_from_scratch_after_a_reset():
    harness = check_trace({"A": "S", "B": "FS"}, "<SequenceWithMemory><A/><B/></SequenceWithMemory>", ["F:AB:II"])
    harness.engine.reset_tree()
    assert harness.trace(1) == ["S:AB:II"]


def test_sequence_with_memory_forgets_its_place_when_halted_while_running():
    harness = check_trace({"A": "S", "B": "FRS"}, "<SequenceWithMemory><A/><B/></SequenceWithMemory>",
                          ["F:AB:II", "R:B:IR"])
    harness.engine.reset_tree()
    assert harness.trace(1) == ["S:AB:II"]


def test_reset_keeps_the_blackboard():
    harness = Harness({"A": "R"}).build('<Sequence><SetBlackboard value="1" output_key="{k}"/><A/></Sequence>')
    harness.tick()
    harness.engine.reset_tree()
    assert harness.engine.get_blackboard_data("k") == "1"
