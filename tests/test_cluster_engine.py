"""ClusterEngine against ThreadEngine, registrations, unsendable values, lost actors
and many callers, on one local Ray instance per session."""

import dataclasses
import threading
import time

import pytest

pytest.importorskip("ray", reason="Ray (the 'cluster' extra) is not installed for this Python")

from cluster_support import CALL_TIMEOUT  # noqa: E402
from morvlen.core import NodeStatus  # noqa: E402
from morvlen.engine.trigger.cluster import ClusterEngine, TreeLostError  # noqa: E402
from morvlen.engine.trigger.cluster.placement import Host, Placement  # noqa: E402
from morvlen.engine.trigger.mthread import ThreadEngine  # noqa: E402
from morvlen.nodes.action_node import SimpleActionNode  # noqa: E402

JOIN_TIMEOUT = 60.0
COUNT_PORTS = [{"name": "count", "type": "object", "direction": "inout", "description": ""}]


def count_up(node):
    """Counts its ticks on the blackboard; FAILURE from the third on."""
    count = (node.getInputObject("count") or 0) + 1
    node.setOutput("count", count)
    return NodeStatus.SUCCESS if count < 3 else NodeStatus.FAILURE


def explode(node):
    raise ValueError("tick refused")


def keep_lock(node):
    node.setOutput("count", threading.Lock())
    return NodeStatus.SUCCESS


class Twice(SimpleActionNode):
    ports = [{"name": "value", "type": "int", "direction": "output", "description": ""}]

    @staticmethod
    def tick(node):
        node.setOutput("value", 2)
        return NodeStatus.SUCCESS


@dataclasses.dataclass
class Point:  # defined in this module, which the actors cannot import by name
    x: int
    y: int


def tree(body):
    return f'<root BTCPP_format="4"><BehaviorTree ID="Main">{body}</BehaviorTree></root>'


COUNT = tree('<CountUp count="{count}"/>')
TWICE = tree('<Twice value="{value}"/>')
BOTH = tree('<Sequence><CountUp count="{count}"/><Twice value="{value}"/></Sequence>')


@pytest.fixture
def cluster(ray_session):
    engines = []

    def make(**options):
        options.setdefault("call_timeout", CALL_TIMEOUT)
        options.setdefault("command_timeout", CALL_TIMEOUT)
        engine = ClusterEngine(**options)
        engines.append(engine)
        return engine

    yield make
    for engine in engines:
        engine.shutdown()


def outcome(call):
    try:
        return ("value", call())
    except Exception as error:
        return (type(error).__name__, str(error))


def scenario(engine, xml_path):
    """The same program for both engines; every outcome, values and errors alike."""
    engine.register_action_behavior("CountUp", count_up, COUNT_PORTS)
    engine.register_action_behavior("Explode", explode, [])
    engine.register_action_class(Twice)
    steps = [
        lambda: engine.get_tree_ids(),
        lambda: engine.create_tree_from_text(COUNT, "a"),
        lambda: engine.create_tree_from_text(BOTH),
        lambda: engine.create_tree_from_text(tree("<Explode/>"), "boom"),
        lambda: engine.create_tree_from_text(tree("<Nowhere/>"), "broken"),
        lambda: engine.create_tree_from_text(COUNT, "a"),
        lambda: engine.create_tree_from_file(xml_path, "from_file"),
        lambda: engine.create_tree_from_file(xml_path + ".missing"),
        lambda: engine.tick_once("from_file"),
        lambda: engine.tick_once("a"),
        lambda: engine.tick_n_times("a", 2),
        lambda: engine.tick_until_success("tree_1"),
        lambda: engine.tick_until_failure("tree_1"),
        lambda: engine.get_blackboard_data("tree_1", "value"),
        lambda: engine.set_blackboard_data("a", "note", {"list": [1, 2.5, None]}),
        lambda: engine.get_all_blackboard_data("a"),
        lambda: engine.get_tree_status("a"),
        lambda: engine.reset_tree("a"),
        lambda: engine.get_tree_status("a")["status"],
        lambda: engine.tick_once("boom"),
        lambda: engine.tick_once("broken"),
        lambda: engine.tick_once("nobody"),
        lambda: engine.tick_n_times("a", True),
        lambda: engine.get_blackboard_data("a", None),
        lambda: engine.tick_once(None),
        lambda: engine.create_tree_from_text(None),
        lambda: engine.register_action_class(int),
        lambda: engine.register_action_behavior("X", count_up, ()),
        lambda: engine.get_tree_ids(),
        lambda: engine.stop_tree("a"),
        lambda: engine.stop_tree("a"),
        lambda: engine.create_tree_from_text(COUNT, "tree_5"),
        lambda: engine.create_tree_from_text(COUNT),  # tree_5 is taken: the next free number
        lambda: engine.get_tree_ids(),
        lambda: engine.stop_all_trees(),
        lambda: engine.get_tree_ids(),
    ]
    return [outcome(step) for step in steps]


def test_the_same_program_gives_the_same_outcomes(cluster, tmp_path):
    xml_path = tmp_path / "tree.xml"
    xml_path.write_text(TWICE, encoding="utf-8")
    local = ThreadEngine()
    try:
        expected = scenario(local, str(xml_path))
    finally:
        local.stop_all_trees()
    assert scenario(cluster(min_actors=2, trees_per_actor=2), str(xml_path)) == expected


def test_registrations_reach_actors_created_after_them(cluster):
    engine = cluster(placement="pack", trees_per_actor=2)
    engine.register_action_behavior("CountUp", count_up, COUNT_PORTS)
    engine.create_tree_from_text(COUNT, "first")
    engine.register_action_class(Twice)  # one actor exists; the next is added later
    for tree_id in ("second", "third"):
        engine.create_tree_from_text(BOTH, tree_id)
        assert engine.tick_once(tree_id) == NodeStatus.SUCCESS
        assert engine.get_blackboard_data(tree_id, "value") == 2
    assert [sorted(host.trees) for host in engine.placement.hosts] == [["first", "second"], ["third"]]


def test_a_value_that_cannot_be_sent_is_refused_and_nothing_is_written(cluster):
    engine = cluster()
    engine.register_action_behavior("CountUp", count_up, COUNT_PORTS)
    engine.register_action_behavior("KeepLock", keep_lock, COUNT_PORTS)
    engine.create_tree_from_text(COUNT, "t")
    engine.tick_once("t")
    engine.set_blackboard_data("t", "point", Point(1, 2))
    assert engine.get_blackboard_data("t", "point") == Point(1, 2)
    before = engine.get_all_blackboard_data("t")
    with pytest.raises(TypeError, match=r"tree 't'.*key 'count'"):
        engine.set_blackboard_data("t", "count", threading.Lock())
    assert engine.get_all_blackboard_data("t") == before
    with pytest.raises(TypeError, match="registration 'Held'"):
        engine.register_action_behavior("Held", count_up, [threading.Lock()])

    engine.create_tree_from_text(tree('<KeepLock count="{count}"/>'), "locked")
    engine.tick_once("locked")  # the lock stays on its actor
    with pytest.raises(RuntimeError, match="could not be sent between caller and actor"):
        engine.get_blackboard_data("locked", "count")
    assert engine.tick_once("locked") == NodeStatus.SUCCESS


def wait_until_dead(ray, handle):
    """ray.kill returns at once; the actor ends soon after (bounded wait)."""
    for _ in range(300):
        try:
            ray.get(handle.ping.remote(), timeout=CALL_TIMEOUT)
        except ray.exceptions.RayActorError:
            return
        time.sleep(0.1)
    pytest.fail("the killed actor still answers")


def test_a_killed_actor_loses_its_trees_and_only_those(cluster, ray_session):
    engine = cluster(min_actors=2)
    engine.register_action_behavior("CountUp", count_up, COUNT_PORTS)
    for tree_id in ("a", "b", "c", "d"):
        engine.create_tree_from_text(COUNT, tree_id)
    doomed, spared = engine.placement.hosts
    lost, kept = sorted(doomed.trees), sorted(spared.trees)
    ray_session.kill(doomed.handle)
    wait_until_dead(ray_session, doomed.handle)

    assert engine.get_tree_ids() == [tree_id for tree_id in "abcd" if tree_id in kept]
    for tree_id in lost:
        with pytest.raises(TreeLostError, match=rf"tree '{tree_id}' was lost: tree host 1 died .*ray.kill"):
            engine.tick_once(tree_id)
    for tree_id in kept:
        assert engine.tick_once(tree_id) == NodeStatus.SUCCESS
    engine.create_tree_from_text(COUNT, lost[0])  # the id is free again, on a live actor
    assert engine.tick_once(lost[0]) == NodeStatus.SUCCESS
    engine.stop_tree(lost[1])  # forgets a lost tree
    with pytest.raises(ValueError):
        engine.tick_once(lost[1])


def test_many_callers_on_many_trees(cluster):
    engine = cluster(min_actors=2, max_concurrency=8)
    engine.register_action_behavior("CountUp", count_up, COUNT_PORTS)
    trees = [engine.create_tree_from_text(COUNT) for _ in range(24)]
    errors = []

    def drive(mine):
        try:
            for tree_id in mine:
                engine.tick_n_times(tree_id, 2)
                engine.tick_once(tree_id)
        except Exception as error:  # reported below
            errors.append(error)

    callers = [threading.Thread(target=drive, args=(trees[i::8],)) for i in range(8)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join(JOIN_TIMEOUT)
    assert not any(caller.is_alive() for caller in callers) and errors == []
    assert {engine.get_blackboard_data(tree_id, "count") for tree_id in trees} == {3}


def wait_for_file(node):
    """Blocks its tree until the file named on the blackboard exists (bounded)."""
    import os
    import time

    path = node.getInputString("path")
    deadline = time.monotonic() + 30
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.01)
    return NodeStatus.SUCCESS if os.path.exists(path) else NodeStatus.FAILURE


def make_file(node):
    open(node.getInputString("path"), "w").close()
    return NodeStatus.SUCCESS


def test_a_long_command_does_not_hold_up_other_trees_of_its_actor(cluster, tmp_path):
    engine = cluster()
    ports = [{"name": "path", "type": "string", "direction": "input", "description": ""}]
    engine.register_action_behavior("WaitForFile", wait_for_file, ports)
    engine.register_action_behavior("MakeFile", make_file, ports)
    path = str(tmp_path / "go")
    waiting = engine.create_tree_from_text(tree(f'<WaitForFile path="{path}"/>'))
    making = engine.create_tree_from_text(tree(f'<MakeFile path="{path}"/>'))
    result = []
    waiter = threading.Thread(target=lambda: result.append(engine.tick_once(waiting)))
    waiter.start()
    assert engine.tick_once(making) == NodeStatus.SUCCESS
    waiter.join(JOIN_TIMEOUT)
    assert result == [NodeStatus.SUCCESS]


def test_a_command_that_outlasts_its_timeout_raises_and_the_tree_goes_on(cluster, tmp_path):
    engine = cluster(command_timeout=0.2)
    ports = [{"name": "path", "type": "string", "direction": "input", "description": ""}]
    engine.register_action_behavior("WaitForFile", wait_for_file, ports)
    path = tmp_path / "go"
    slow = engine.create_tree_from_text(tree(f'<WaitForFile path="{path}"/>'))
    with pytest.raises(TimeoutError, match=rf"tick_once on tree '{slow}'.*did not answer"):
        engine.tick_once(slow)
    path.touch()  # the tick still running on the actor ends
    engine.command_timeout = CALL_TIMEOUT
    assert engine.tick_once(slow) == NodeStatus.SUCCESS


@pytest.mark.parametrize(
    "policy, sizes, expected",
    [
        ("spread", [], None),  # no actor yet
        ("spread", [1], None),  # fewer than min_actors (2)
        ("spread", [2, 1], 1),  # the emptiest
        ("spread", [3, 3], None),  # all full
        ("pack", [2, 1], 0),  # the oldest with room
        ("pack", [3, 1], 1),
    ],
)
def test_placement_chooses(policy, sizes, expected):
    placement = Placement(policy, trees_per_actor=3, min_actors=2)
    placement.hosts = [Host(None, str(i), {f"{i}.{k}" for k in range(size)}) for i, size in enumerate(sizes)]
    chosen = placement.choose()
    assert chosen is (None if expected is None else placement.hosts[expected])


@pytest.mark.parametrize("options", [{"policy": "wide"}, {"trees_per_actor": 0}, {"min_actors": 0}])
def test_placement_refuses(options):
    arguments = {"policy": "spread", "trees_per_actor": 1, "min_actors": 1, **options}
    with pytest.raises(ValueError):
        Placement(**arguments)


@pytest.mark.parametrize("broken", [False, True], ids=["answers", "error-mid-stream"])
def test_the_demonstration_runs_on_the_cluster(ray_session, monkeypatch, capsys, broken):
    pytest.importorskip("agno")
    from morvlen.engine.trigger.__main__ import main
    from morvlen.testing.ollama_standin import DEMO_MODEL, RunningStandin, answer_pieces

    pieces = [answer_pieces({"model": DEMO_MODEL, "messages": [{"role": "user", "content": request}]})
              for request in ("中国上海的新闻", "中国北京的新闻")]
    monkeypatch.setenv("AGNO_TELEMETRY", "false")
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    with RunningStandin(broken_models=(DEMO_MODEL,) if broken else ()) as standin:
        monkeypatch.setenv("OLLAMA_HOST", standin.host)
        status = main(["--cluster"])
    out, err = capsys.readouterr()
    if broken:
        assert status == 1 and out == pieces[0][0]
        assert "the stream broke off on purpose" in err
    else:
        assert status == 0, err
        assert out == "".join("".join(answer) + "\n" for answer in pieces)
