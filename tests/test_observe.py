"""Observation: printed trees, the transition log, statistics, snapshots taken while
a tree ticks, and the engine's log records named after its module."""

from __future__ import annotations

import re
import threading
import time
import xml.etree.ElementTree as ElementTree

import pytest
from loguru import logger

from morvlen.core import BehaviorTreeError, NodeStatus, observe
from morvlen.engine.trigger.mthread import ThreadEngine
from runtime_helpers import document, engine_with, returning, tree

JOIN_TIMEOUT = 10.0

MISSION = document(tree("Mission", """
<Sequence name="mission">
  <Charge/>
  <Fallback>
    <Inverter><AlwaysSuccess name="blocked"/></Inverter>
    <PlanPath/>
  </Fallback>
  <Drive/>
</Sequence>"""))


def scripted(plans: list[NodeStatus]):
    """PlanPath answers plans in turn; everything else succeeds."""
    answers = iter(plans)
    return engine_with({"Charge": (returning(NodeStatus.SUCCESS), []),
                        "PlanPath": (lambda node: next(answers), []),
                        "Drive": (returning(NodeStatus.SUCCESS), [])}, MISSION)


def test_printed_tree_in_mid_run():
    engine = scripted([NodeStatus.RUNNING])
    engine.tick_once()
    assert observe.render_text(engine) == (
        "Mission (tick 1)\n"
        "[>] mission (Sequence)\n"
        "├── [+] Charge\n"
        "├── [>] Fallback\n"
        "│   ├── [x] Inverter\n"
        "│   │   └── [ ] blocked (AlwaysSuccess)\n"
        "│   └── [>] PlanPath\n"
        "└── [ ] Drive\n")

    dot = observe.render_dot(engine)
    nodes = dict(re.findall(r'^  (n\d+) \[label="((?:[^"\\]|\\.)*)"', dot, re.M))
    edges = re.findall(r"^  (n\d+) -> (n\d+);$", dot, re.M)
    statuses = re.findall(r'status="(\w+)"', dot)
    assert nodes["n0"] == r"mission\nSequence" and nodes["n4"] == r"blocked\nAlwaysSuccess"
    assert edges == [("n0", "n1"), ("n0", "n2"), ("n2", "n3"), ("n3", "n4"), ("n2", "n5"), ("n0", "n6")]
    assert statuses == ["RUNNING", "SUCCESS", "RUNNING", "FAILURE", "IDLE", "RUNNING", "IDLE"]

    svg = ElementTree.fromstring(observe.render_svg(engine))
    groups = svg.findall("{http://www.w3.org/2000/svg}g")
    assert [g.get("data-status") for g in groups] == statuses
    assert all(len(g.findall("{http://www.w3.org/2000/svg}rect")) == 1 for g in groups)
    assert len(svg.findall("{http://www.w3.org/2000/svg}line")) == len(edges)


def test_statuses_given_replace_the_current_ones_and_are_checked():
    engine = scripted([NodeStatus.SUCCESS])
    engine.tick_once()
    text = observe.render_text(engine, {"Mission/mission/Drive": "FAILURE", "Mission/mission": NodeStatus.RUNNING})
    assert text.splitlines()[1:3] == ["[>] mission (Sequence)", "├── [ ] Charge"] and "└── [x] Drive" in text
    with pytest.raises(ValueError, match=r"statuses\['Mission/mission'\]: 'DONE' is not"):
        observe.render_text(engine, {"Mission/mission": "DONE"})


def test_names_are_escaped_in_every_format():
    engine = engine_with({}, document(tree("T", '<AlwaysSuccess name="a&quot;&lt;b&gt;\\"/>')))
    assert 'label="a\\"<b>\\\\\\nAlwaysSuccess"' in observe.render_dot(engine)
    assert ElementTree.fromstring(observe.render_svg(engine)).find(".//{*}text").text == 'a"<b>\\'


def test_transition_log_of_a_scripted_run_in_order():
    engine = scripted([NodeStatus.RUNNING, NodeStatus.SUCCESS])
    observe.start(engine)
    engine.tick_once()
    first = [(t["tick"], t["path"].removeprefix("Mission/mission"), t["from"], t["to"]) for t in observe.drain(engine)]
    assert first == [
        (1, "", "IDLE", "RUNNING"),
        (1, "/Charge", "IDLE", "SUCCESS"),
        (1, "/Fallback", "IDLE", "RUNNING"),
        (1, "/Fallback/Inverter", "IDLE", "RUNNING"),
        (1, "/Fallback/Inverter/blocked", "IDLE", "SUCCESS"),
        (1, "/Fallback/Inverter/blocked", "SUCCESS", "IDLE"),
        (1, "/Fallback/Inverter", "RUNNING", "FAILURE"),
        (1, "/Fallback/PlanPath", "IDLE", "RUNNING"),
    ]
    engine.tick_once()
    second = observe.transitions(engine)
    assert second[0]["path"] == "Mission/mission/Fallback/PlanPath" and second[0]["to"] == "SUCCESS"
    assert second[-1] == {**second[-1], "path": "Mission/mission", "from": "RUNNING", "to": "SUCCESS", "tick": 2}
    assert {t["tree"] for t in second} == {"Mission"}
    assert observe.transitions(engine) == second  # reading does not drain
    assert observe.drain(engine) == second and observe.drain(engine) == []
    assert observe.dropped(engine) == 0


def test_full_buffer_drops_the_oldest_and_counts_them():
    engine = engine_with({}, document(tree("T", "<Inverter><AlwaysFailure/></Inverter>")))
    observe.start(engine, capacity=16)
    engine.tick_n_times(5)  # 4 changes per tick: the first tick's are dropped
    kept = observe.transitions(engine)
    assert len(kept) == 16 and observe.dropped(engine) == 4
    assert (kept[0]["tick"], kept[0]["path"], kept[0]["from"]) == (2, "T/Inverter", "SUCCESS") and kept[-1]["tick"] == 5
    assert observe.drain(engine) == kept and observe.dropped(engine) == 4
    engine.tick_once()
    assert len(observe.drain(engine)) == 4 and observe.dropped(engine) == 4


def test_statistics_after_retries_and_halts():
    engine = engine_with({"Flaky": (lambda node, answers=iter([NodeStatus.FAILURE, NodeStatus.FAILURE, NodeStatus.SUCCESS,
                                                              NodeStatus.RUNNING]): next(answers), [])},
                         document(tree("T", '<RetryUntilSuccessful num_attempts="3"><Flaky/></RetryUntilSuccessful>')))
    with pytest.raises(BehaviorTreeError, match="never observed"):
        observe.statistics(engine)
    observe.start(engine)
    assert engine.tick_once() == NodeStatus.SUCCESS
    assert engine.tick_once() == NodeStatus.RUNNING
    engine.reset_tree()
    stats = observe.statistics(engine)
    flaky = stats["T/RetryUntilSuccessful/Flaky"]
    assert {k: flaky[k] for k in ("ticks", "successes", "failures", "halts", "last_result")} == {
        "ticks": 4, "successes": 1, "failures": 2, "halts": 1, "last_result": "SUCCESS"}
    assert stats["T/RetryUntilSuccessful"]["halts"] == 1 and stats["T/RetryUntilSuccessful"]["ticks"] == 2
    # After the tick the nodes are IDLE again; the statistics still tell what ran.
    assert [n["status"] for n in observe.snapshot(engine)["nodes"]] == ["IDLE", "IDLE"]


def test_time_running_counts_stretches_that_span_ticks():
    engine = engine_with({"Slow": (lambda node, answers=iter([NodeStatus.RUNNING, NodeStatus.SUCCESS] * 2): next(answers), [])},
                         document(tree("T", "<Inverter><Slow/></Inverter>")))
    observe.start(engine)
    for pause in (0.05, 0.0):
        engine.tick_once()
        time.sleep(pause)
        engine.tick_once()
        slow = observe.statistics(engine)["T/Inverter/Slow"]
        if pause:
            assert slow["running_last"] >= pause and slow["running_total"] == slow["running_last"]
    assert slow["running_total"] >= 0.05 and 0 < slow["running_last"] < slow["running_total"]
    # A stretch within one tick counts none.
    engine = engine_with({}, document(tree("T", "<Inverter><AlwaysFailure/></Inverter>")))
    observe.start(engine)
    engine.tick_n_times(3)
    assert observe.statistics(engine)["T/Inverter"]["running_total"] == 0


def test_log_written_as_json_lines_replays_the_tree_at_a_moment(tmp_path):
    engine = scripted([NodeStatus.RUNNING, NodeStatus.SUCCESS])
    observe.start(engine)
    engine.tick_once()
    path = tmp_path / "log.jsonl"
    assert observe.write_jsonl(engine, path) == 8
    engine.tick_once()
    observe.write_jsonl(engine, path)
    log = observe.read_jsonl(path)
    assert len(log) == 8 + 9 and observe.transitions(engine) == []
    first_tick_end = max(t["time"] for t in log if t["tick"] == 1)
    assert observe.render_text(engine, observe.replay(log, until=first_tick_end)).splitlines()[1:] == [
        "[>] mission (Sequence)", "├── [+] Charge", "├── [>] Fallback", "│   ├── [x] Inverter",
        "│   │   └── [ ] blocked (AlwaysSuccess)", "│   └── [>] PlanPath", "└── [ ] Drive"]
    with pytest.raises(ValueError, match="cannot open"):
        observe.write_jsonl(engine, tmp_path / "missing" / "log.jsonl")


def test_snapshot_from_another_thread_during_a_long_tick():
    started, release = threading.Event(), threading.Event()

    def stream(node):
        node.setOutput("answer", "partial answer")
        started.set()
        release.wait(JOIN_TIMEOUT)
        return NodeStatus.SUCCESS

    engine = ThreadEngine()
    engine.register_action_behavior("Stream", stream, [{"name": "answer", "type": "string", "direction": "output",
                                                        "description": ""}])
    tree_id = engine.create_tree_from_text(document(tree("T", '<Sequence><Stream answer="{answer}"/></Sequence>')), "chat")
    ticking = threading.Thread(target=engine.tick_once, args=(tree_id,))
    ticking.start()
    try:
        assert started.wait(JOIN_TIMEOUT)
        [(name, live)] = observe.live_trees(engine)
        snapshot = observe.snapshot(live)
        assert (name, snapshot["status"], snapshot["blackboard"]) == ("chat", "RUNNING", {"answer": "'partial answer'"})
        assert ticking.is_alive()
    finally:
        release.set()
        ticking.join(JOIN_TIMEOUT)
        engine.stop_all_trees()


def test_tree_from_file_prints_a_document_without_its_program(tmp_path):
    path = tmp_path / "mission.xml"
    path.write_text(document(tree("T", '<Sequence><Ask question="where?"/><Action ID="Go" to="{goal}"/></Sequence>')))
    assert observe.render_text(observe.tree_from_file(path)) == "T (tick 0)\n[ ] Sequence\n├── [ ] Ask\n└── [ ] Go\n"


def test_disabling_morvlen_silences_the_engine():
    lines = []
    sink = logger.add(lambda message: lines.append(message.record), level="INFO")
    try:
        logger.disable("morvlen")
        ThreadEngine().stop_all_trees()
        logger.enable("morvlen")
        ThreadEngine()
    finally:
        logger.enable("morvlen")
        logger.remove(sink)
    # Nothing from the silenced engine; the line after enabling named after the engine.
    assert (lines[0]["name"], lines[0]["function"], lines[0]["message"]) == (
        "morvlen.engine.trigger.mthread", "__init__", "初始化线程引擎")
