"""The wheel from scripts/wheel.sh installs into a fresh venv outside the source tree and runs
trees, through the API and through the `morvlen` command."""

import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STEP_TIMEOUT = 240

TREE = """<root BTCPP_format="4">
  <BehaviorTree ID="Main">
    <Sequence>
      <Count/>
      <Count/>
    </Sequence>
  </BehaviorTree>
</root>"""

SCRIPT = textwrap.dedent("""
    import morvlen
    from morvlen.core import NodeStatus
    from morvlen.engine.trigger.mthread import ThreadEngine

    from count_actions import count

    engine = ThreadEngine()
    engine.register_action_behavior("Count", count, [])
    tree = engine.create_tree_from_text(open("tree.xml").read())
    print(morvlen.__file__)
    print(engine.tick_once(tree))
    engine.stop_all_trees()
""")

ACTIONS = textwrap.dedent("""
    from morvlen.core import NodeStatus

    def count(node):
        return NodeStatus.SUCCESS

    def register_actions(factory):
        factory.register_action("Count", count)
""")

pytestmark = pytest.mark.skipif(
    not (Path(sys.prefix) / ".build-reqs").is_file(),
    reason="builds the wheel in the venv's own build tree: run through scripts/test.sh",
)


def run(command, cwd, **env):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=STEP_TIMEOUT,
                          env={**os.environ, **env})
    assert done.returncode == 0, f"{command}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def wheel():
    version = "%d.%d" % sys.version_info[:2]
    out = run(["bash", str(ROOT / "scripts" / "wheel.sh")], ROOT, MORVLEN_PYTHON=version, MORVLEN_VENV=sys.prefix)
    return Path(out.strip().splitlines()[-1])


@pytest.mark.timeout(2 * STEP_TIMEOUT + 60)
def test_the_wheel_installs_into_a_fresh_venv_and_runs_a_tree(wheel, tmp_path):
    tag = "cp%d%d" % sys.version_info[:2]
    assert wheel.name.startswith("morvlen-") and f"-{tag}-{tag}-manylinux_" in wheel.name
    assert not any(name.endswith((".cpp", ".h")) for name in zipfile.ZipFile(wheel).namelist())

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)], tmp_path)
    python = str(venv / "bin" / "python")
    run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "-c", str(ROOT / "constraints.txt"),
         str(wheel)], tmp_path)
    (tmp_path / "tree.xml").write_text(TREE, encoding="utf-8")
    (tmp_path / "run_tree.py").write_text(SCRIPT, encoding="utf-8")
    (tmp_path / "count_actions.py").write_text(ACTIONS, encoding="utf-8")
    lines = run([python, "run_tree.py"], tmp_path).splitlines()
    assert lines[0].startswith(str(venv)) and lines[1] == "NodeStatus.SUCCESS"
    # The console script, as a user would run it.
    command = str(venv / "bin" / "morvlen")
    assert run([command, "run", "tree.xml", "--actions", "count_actions"], tmp_path) == "tick 1: SUCCESS\n"
