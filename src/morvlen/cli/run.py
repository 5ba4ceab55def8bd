"""`morvlen run FILE --actions MODULE`: ticks a tree, printing its status as it goes."""

from __future__ import annotations

import sys
import time
import traceback

from morvlen.cli.exit_codes import ExitCode
from morvlen.core import NodeStatus, Tree

FINISHED = (NodeStatus.SUCCESS, NodeStatus.FAILURE)


def changed_nodes(tree: Tree, seen: dict[str, NodeStatus]) -> list[str]:
    """Lines for the nodes whose status changed since `seen` (which is brought up to date)."""
    lines = []
    for node in tree.status_report()["nodes"]:
        if seen.get(node["path"]) != node["status"]:
            seen[node["path"]] = node["status"]
            lines.append(f"    {node['path']}: {node['status'].name}")
    return lines


def outcome(status: NodeStatus, until: NodeStatus | None) -> ExitCode | None:
    """The exit code once the tree is where the run stops, else None (tick on)."""
    if until is None:
        return None if status not in FINISHED else ExitCode.OK if status == NodeStatus.SUCCESS else ExitCode.FAILED
    return ExitCode.OK if status == until else None


def tick_loop(tree: Tree, until: NodeStatus | None, ticks: int | None, interval: float, show_nodes: bool) -> ExitCode:
    seen: dict[str, NodeStatus] = {}
    count = 0
    while ticks is None or count < ticks:
        status = tree.tick_once()
        count += 1
        lines = [f"tick {count}: {status.name}", *(changed_nodes(tree, seen) if show_nodes else [])]
        print("\n".join(lines), flush=True)
        code = outcome(status, until)
        if code is not None:
            return code
        time.sleep(interval)
    wanted = until.name if until is not None else "SUCCESS or FAILURE"
    print(f"morvlen run: no {wanted} after {count} ticks", file=sys.stderr)
    return ExitCode.TICKS_EXHAUSTED


def run_tree(tree: Tree, until: NodeStatus | None, ticks: int | None, interval: float, show_nodes: bool) -> ExitCode:
    try:
        return tick_loop(tree, until, ticks, interval, show_nodes)
    except Exception as error:  # an action's own exception, or the runtime's refusal of what it did
        traceback.print_exc()
        print(f"morvlen run: the tick failed: {type(error).__name__}: {error}", file=sys.stderr)
        return ExitCode.ACTION_ERROR
    finally:
        tree.reset()  # halts whatever still runs, also on Ctrl-C
