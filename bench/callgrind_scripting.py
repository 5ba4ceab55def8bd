"""Instructions per tick of scripts, counted by valgrind's callgrind (load-independent).

Each case runs in a child interpreter under callgrind twice, ticking its tree FEW and
then MANY times; the difference of the two instruction totals divided by MANY - FEW
is the cost of one tick (startup, import and tree building cancel out). Printed per
case, and on top of a bare AlwaysSuccess tree's tick, for the cases of
bench_scripting.py. Needs valgrind on PATH.
Run:  .venv/bin/python bench/callgrind_scripting.py
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile

FEW, MANY = 1_000, 11_000

CHILD = """
import sys
from morvlen.engine.sequential_engine import SequentialEngine
engine = SequentialEngine()
engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="T">' + sys.argv[1] + '</BehaviorTree></root>')
for key, value in {"x": 5, "y": "go", "n": 0, "skip": False}.items():
    engine.set_blackboard_data(key, value)
engine.tick_n_times(int(sys.argv[2]))
"""

CASES = {
    "tree tick, AlwaysSuccess only": "<AlwaysSuccess/>",
    "ScriptCondition x > 3 && y == 'go'": """<ScriptCondition code="x &gt; 3 &amp;&amp; y == 'go'"/>""",
    "Script n += 1": '<Script code="n += 1"/>',
    "_skipIf that does not fire": '<AlwaysSuccess _skipIf="skip"/>',
}


def instructions(body: str, ticks: int) -> int:
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", CHILD, body, str(ticks)],
            capture_output=True, text=True, timeout=600, env={**os.environ, "PYTHONHASHSEED": "0"}, check=True)
    return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def per_tick(body: str) -> float:
    return (instructions(body, MANY) - instructions(body, FEW)) / (MANY - FEW)


def main() -> None:
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    print(f"callgrind, instructions per tick: ({MANY:,} ticks - {FEW:,} ticks) / {MANY - FEW:,}")
    bare = None
    for name, body in CASES.items():
        cost = per_tick(body)
        if bare is None:
            bare = cost
            print(f"{name + ':':40} {cost:8.1f}")
        else:
            print(f"{name + ':':40} {cost - bare:8.1f} on top")


if __name__ == "__main__":
    main()
