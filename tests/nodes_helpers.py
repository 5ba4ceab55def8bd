"""Scripted actions for testing the built-in nodes.

Each scripted action is registered under a one-letter id and returns the statuses
of its script in turn, one per tick ("RRS": RUNNING, RUNNING, SUCCESS), repeating
the last one when the script is used up. Every tick of every action is recorded, so
a test can state, per tree tick, the root's status, which actions ran in which
order, and the status each action was left in.

A tick function may not return SKIPPED, so a "K" in a script is produced by built-in
nodes instead: each `<X/>` of an action whose script holds a K is wrapped in a Switch2
that, when X's next letter is K, runs a recorder (logging X as ticked and advancing its
script) and then an empty loop that yields SKIPPED, and otherwise ticks X itself. X's
own node is not ticked on a skip, so it shows IDLE.
"""

from __future__ import annotations

import re
import time

from morvlen.core import NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine

CODE = {
    "I": NodeStatus.IDLE,
    "R": NodeStatus.RUNNING,
    "S": NodeStatus.SUCCESS,
    "F": NodeStatus.FAILURE,
    "K": NodeStatus.SKIPPED,
}
LETTER = {status: letter for letter, status in CODE.items()}


SKIP_MODE, ACT_MODE = "skip", "act"


def mode_key(name: str) -> str:
    return f"__mode_{name}"


def skippable(name: str) -> str:
    """The element ticked in place of `<name/>`: SKIPPED without ticking it, or it."""
    return (f'<Switch2 variable="{{{mode_key(name)}}}" case_1="{SKIP_MODE}" case_2="-">'
            f'<IfThenElse><{name}__skip/><LoopInt queue="" if_empty="SKIPPED"><AlwaysSuccess/></LoopInt></IfThenElse>'
            f"<AlwaysFailure/><{name}/></Switch2>")


def tree_xml(body: str, tree_id: str = "T") -> str:
    return f'<root BTCPP_format="4"><BehaviorTree ID="{tree_id}">{body}</BehaviorTree></root>'


class Harness:
    """One engine with scripted actions A, B, C, ... and a log of what they did."""

    def __init__(self, scripts: dict[str, str] | None = None):
        self.engine = SequentialEngine()
        self.scripts = dict(scripts or {})
        self.position = {name: 0 for name in self.scripts}
        self.starts = {name: 0 for name in self.scripts}  # ticks that found the action IDLE
        self.current: list[str] = []
        self.log: list[str] = []  # per tree tick: the actions ticked, in order
        self.skipping = [name for name, script in self.scripts.items() if "K" in script]
        for name in self.scripts:
            self.engine.register_action_behavior(name, self._tick_function(name), [])
        for name in self.skipping:
            self.engine.register_action_behavior(f"{name}__skip", self._skip_function(name), [])

    def _peek(self, name: str) -> str:
        script = self.scripts[name]
        return script[min(self.position[name], len(script) - 1)]

    def _next_letter(self, name: str) -> str:
        letter = self._peek(name)
        self.position[name] += 1
        return letter

    def _tick_function(self, name: str):
        def tick(node):
            if node.status() == NodeStatus.IDLE:
                self.starts[name] += 1
            self.current.append(name)
            letter = self._next_letter(name)
            # The mode is set once per tree tick: a K met here means the script
            # changed to K within one tick, which the wrapper cannot follow.
            assert letter != "K", f"action {name} ticked where its script says K"
            return CODE[letter]

        return tick

    def _skip_function(self, name: str):
        def skip(node):
            self.current.append(name)
            letter = self._next_letter(name)
            assert letter == "K", f"action {name} skipped where its script says {letter}"
            return NodeStatus.SUCCESS

        return skip

    def build(self, body: str) -> Harness:
        for name in self.skipping:
            body, count = re.subn(f"<{name}\\s*/>", skippable(name), body)
            assert count, f"no <{name}/> to wrap in {body}"
        self.engine.create_tree_from_text(tree_xml(body))
        return self

    def tick(self) -> NodeStatus:
        self.current = []
        for name in self.skipping:
            self.engine.set_blackboard_data(mode_key(name), SKIP_MODE if self._peek(name) == "K" else ACT_MODE)
        try:
            return self.engine.tick_once()
        finally:
            self.log.append("".join(self.current))

    def action_states(self) -> str:
        """The status letter of every scripted action, in id order ("IR": A IDLE, B RUNNING)."""
        states = {
            node["registration_id"]: LETTER[node["status"]]
            for node in self.engine.get_tree_status()["nodes"]
            if node["registration_id"] in self.scripts
        }
        return "".join(states.get(name, "?") for name in sorted(self.scripts))

    def status_of(self, registration_id: str) -> NodeStatus:
        for node in self.engine.get_tree_status()["nodes"]:
            if node["registration_id"] == registration_id:
                return node["status"]
        raise KeyError(registration_id)

    def trace(self, ticks: int) -> list[str]:
        """Ticks the tree; per tick "<root status>:<actions ticked>:<action states after>"."""
        rows = []
        for _ in range(ticks):
            status = self.tick()
            rows.append(f"{LETTER[status]}:{self.log[-1]}:{self.action_states()}")
        return rows

    def tick_until(self, wanted: NodeStatus, within_s: float = 2.0) -> list[NodeStatus]:
        """Ticks (pausing briefly in between) until the root returns `wanted`; bounded."""
        seen = []
        deadline = time.monotonic() + within_s
        while time.monotonic() < deadline:
            seen.append(self.tick())
            if seen[-1] == wanted:
                return seen
            time.sleep(0.002)
        raise AssertionError(f"no {wanted} within {within_s}s; statuses: {seen[-5:]}")


def check_trace(scripts: dict[str, str], body: str, expected: list[str]) -> Harness:
    """Builds `body`, ticks it len(expected) times and compares the trace row by row.
    A row may leave out the action states ("R:AB" instead of "R:AB:SI")."""
    harness = Harness(scripts).build(body)
    actual = harness.trace(len(expected))
    compared = [got if want.count(":") == 2 else got.rsplit(":", 1)[0] for want, got in zip(expected, actual)]
    assert compared == expected, f"\nbody: {body}\nwant: {expected}\ngot:  {actual}"
    return harness
