"""The `morvlen` command: each command's output and exit status (in-process; the console
script itself runs in tests/test_wheel.py)."""

import xml.etree.ElementTree as ElementTree

import pytest

from morvlen.cli import main

ACTIONS = '''
from morvlen.core import NodeStatus
from morvlen.nodes.action_node import SimpleActionNode

class Countdown(SimpleActionNode):
    """Counts down from `start`; SUCCESS at zero."""
    ports = [{"name": "start", "type": "int", "direction": "input", "description": "first value", "default": "2"},
             {"name": "left", "type": "int", "direction": "inout", "description": ""}]

    @staticmethod
    def tick(node):
        if node.status() == NodeStatus.IDLE:
            node.setOutput("left", node.getInput("start"))
        left = node.getInput("left") - 1
        node.setOutput("left", left)
        return NodeStatus.SUCCESS if left == 0 else NodeStatus.RUNNING

def register_actions(factory):
    def boom(node):
        raise ValueError("boom from an action")
    factory.register_action("Boom", boom)
'''


def document(body, *more_trees):
    trees = "".join(f'<BehaviorTree ID="T{i}">{tree}</BehaviorTree>\n' for i, tree in enumerate(more_trees, 1))
    return f'<root BTCPP_format="4" main_tree_to_execute="Main">\n<BehaviorTree ID="Main">\n{body}\n</BehaviorTree>\n{trees}</root>\n'


DOCUMENTS = {
    "count.xml": document('<Countdown left="{left}"/>'),
    "fails.xml": document("<Sequence><AlwaysFailure/></Sequence>"),
    "boom.xml": document('<Sequence><Countdown left="{left}"/><Boom/></Sequence>'),
    "bad.xml": document("<Sequence>\n<Nope/>\n</Sequence>", "<Inverter/>"),
    "malformed.xml": "<root BTCPP_format='4'>\n<BehaviorTree ID='A'>\n",
}


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    (tmp_path / "acts.py").write_text(ACTIONS, encoding="utf-8")
    (tmp_path / "empty.py").write_text("X = 1\n", encoding="utf-8")
    for name, text in DOCUMENTS.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("args, code, out", [
    (["run", "count.xml"], 0, "tick 1: RUNNING\ntick 2: SUCCESS\n"),
    (["run", "count.xml", "--ticks", "1"], 3, "tick 1: RUNNING\n"),
    (["run", "fails.xml"], 1, "tick 1: FAILURE\n"),
    (["run", "fails.xml", "--until", "failure"], 0, "tick 1: FAILURE\n"),
    (["run", "fails.xml", "--until", "success", "--ticks", "3"], 3, "tick 1: FAILURE\ntick 2: FAILURE\ntick 3: FAILURE\n"),
    (["run", "count.xml", "--nodes"], 0, "tick 1: RUNNING\n    Main/Countdown: RUNNING\ntick 2: SUCCESS\n    Main/Countdown: SUCCESS\n"),
    (["run", "boom.xml"], 4, "tick 1: RUNNING\n"),
    (["run", "bad.xml"], 2, ""),
    (["run", "missing.xml"], 2, ""),
])
def test_run(workdir, capsys, args, code, out):
    assert main([*args, "--actions", "acts", "--interval", "0"]) == code
    captured = capsys.readouterr()
    assert captured.out == out
    if code == 4:
        assert "ValueError: boom from an action" in captured.err


def test_check_reports_every_error_with_file_and_line(workdir, capsys):
    assert main(["check", "count.xml", "bad.xml", "malformed.xml", "--actions", "acts.py"]) == 1
    captured = capsys.readouterr()
    assert captured.out == "count.xml: ok\n"
    errors = captured.err.splitlines()
    assert errors[0].startswith("bad.xml:4: TreeBuildError: unknown node id 'Nope'") and "element <Nope>" in errors[0]
    assert errors[1].startswith("bad.xml:7: TreeBuildError: Inverter takes exactly 1 child")
    assert errors[2].startswith("malformed.xml:3: XmlParseError:")
    assert errors[3] == "2 of 3 documents refused"
    assert main(["check", "-q", "count.xml", "--actions", "acts"]) == 0


def test_nodes_lists_builtin_and_module_actions(workdir, capsys):
    assert main(["nodes", "--actions", "acts"]) == 0
    text = capsys.readouterr().out
    assert "Countdown (Action)\n    Counts down from `start`; SUCCESS at zero.\n    in    start <int> = 2: first value\n" in text
    assert text.startswith("Sequence (Control)\n") and "\nBoom (Action)\n" in text
    assert main(["nodes", "--actions", "acts", "--xml"]) == 0
    model = ElementTree.fromstring(capsys.readouterr().out).find("TreeNodesModel")
    assert {"Sequence", "Countdown", "Boom"} <= {node.get("ID") for node in model}


@pytest.mark.parametrize("args, message", [
    (["nodes", "--actions", "no_such_module"], "actions module no_such_module: not found"),
    (["nodes", "--actions", "empty"], "actions module empty provides no actions"),
    (["nodes", "--actions", "missing.py"], "actions module missing.py: no such file"),
    (["run", "count.xml", "--actions", "acts", "--ticks", "0"], "must be 1 or more"),
    (["run", "count.xml"], "unknown node id 'Countdown'"),
])
def test_bad_input_exits_2_naming_the_problem(workdir, capsys, args, message):
    if "--ticks" in args:  # refused by the argument parser, which exits
        with pytest.raises(SystemExit) as exited:
            main(args)
        assert exited.value.code == 2
    else:
        assert main(args) == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("form, check", [
    ("text", lambda out: out.splitlines()[1:] == ["[ ] Countdown"]),
    ("dot", lambda out: out.startswith("digraph") and "Countdown" in out),
    ("svg", lambda out: ElementTree.fromstring(out).tag.endswith("svg") and "Countdown" in out),
])
def test_render_needs_no_actions(workdir, capsys, form, check):
    assert main(["render", "count.xml", "--format", form]) == 0
    assert check(capsys.readouterr().out)


def test_render_of_a_refused_document_exits_1(workdir, capsys):
    assert main(["render", "malformed.xml"]) == 1
    assert "malformed.xml" in capsys.readouterr().err


def test_run_serves_the_monitor_while_it_runs(workdir, capsys, monkeypatch):
    pytest.importorskip("starlette", reason="the monitor extra is not installed")
    import socket
    import urllib.request

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    (workdir / "peek.py").write_text(ACTIONS + f"""
import urllib.request
from morvlen.core import observe
SEEN = []
class Peek(SimpleActionNode):
    @staticmethod
    def tick(node):
        with urllib.request.urlopen("http://127.0.0.1:{port}/", timeout=10) as page:
            SEEN.append((page.status, [name for name, _ in observe.live_trees()]))
        return NodeStatus.SUCCESS
""", encoding="utf-8")
    (workdir / "peek.xml").write_text(document("<Peek/>"), encoding="utf-8")
    monkeypatch.syspath_prepend(str(workdir))
    assert main(["run", "peek.xml", "--actions", "peek", "--monitor", str(port)]) == 0
    import peek

    assert peek.SEEN == [(200, ["run"])]
    assert f"127.0.0.1:{port}" in capsys.readouterr().err
    with pytest.raises(OSError):  # the monitor ends with the run
        urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=2)
