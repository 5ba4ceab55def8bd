"""The README's Python examples run as written (each in a fresh interpreter)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_has_examples():
    assert len(EXAMPLES) >= 2


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_example_runs(code, tmp_path):
    if "morvlen.engine.trigger.cluster" in code:
        pytest.importorskip("ray", reason="Ray (the 'cluster' extra) is not installed for this Python")
    if "morvlen.monitor" in code:
        pytest.importorskip("starlette", reason="the 'monitor' extra is not installed in this environment")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def test_examples_type_check(tmp_path):
    """The installed stubs agree with how the README uses the API (mypy, bodies checked too)."""
    pytest.importorskip("mypy")
    files = []
    for i, code in enumerate(EXAMPLES):
        files.append(tmp_path / f"example{i}.py")
        files[-1].write_text(code, encoding="utf-8")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--check-untyped-defs", "--cache-dir", str(tmp_path / ".mypy_cache"), *map(str, files)],
        cwd=tmp_path, capture_output=True, text=True, timeout=110,
    )
    assert done.returncode == 0, done.stdout + done.stderr
