"""Watching trees: the transition log, statistics, snapshots and printed trees.

Observation is switched on per tree with start(tree); snapshots and printed trees
work on any tree, observed or not, from any thread, without waiting for a tick.
Every function taking a tree also takes a SequentialEngine (meaning the tree it
built last); ThreadEngine trees are found with live_trees(engine).
"""

from __future__ import annotations

import json
import os
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterable, Mapping
from typing import Any

from morvlen._runtime import observe as _bound
from morvlen.core import BehaviorTreeFactory, NodeStatus, Tree

start = _bound.start
stop = _bound.stop
is_observed = _bound.is_observed
transitions = _bound.transitions
drain = _bound.drain
dropped = _bound.dropped
write_jsonl = _bound.write_jsonl
statistics = _bound.statistics
snapshot = _bound.snapshot
render_text = _bound.render_text
render_dot = _bound.render_dot
render_svg = _bound.render_svg
name_tree = _bound.name_tree
live_trees = _bound.live_trees


def read_jsonl(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """The changes written by write_jsonl, in file order."""
    with open(path, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines if line.strip()]


def replay(changes: Iterable[Mapping[str, Any]], until: float | None = None) -> dict[str, str]:
    """Statuses by node path after replaying changes (as transitions() gives them) in
    order; with until, only those of ticks that started no later than that time
    (seconds since the epoch; changes whose time is no longer known count as
    earlier). Nodes without a change are absent (IDLE)."""
    statuses: dict[str, str] = {}
    for change in changes:
        if until is not None and change["time"] is not None and change["time"] > until:
            break
        statuses[change["path"]] = change["to"]
    return statuses


# Elements of a document that are structure, not node types.
_STRUCTURE = {"root", "BehaviorTree", "TreeNodesModel", "include", "SubTree"}


def _placeholder(node: Any) -> NodeStatus:
    return NodeStatus.SUCCESS


def tree_from_file(path: str | os.PathLike[str], main_tree: str | None = None) -> Tree:
    """Builds a document's main tree for printing, without its program: node types the
    factory does not know become placeholder actions (ports as in the document)
    that succeed. Raises what building raises for anything else."""
    factory = BehaviorTreeFactory()
    known = set(factory.registered_node_ids())
    ports: dict[str, set[str]] = {}
    models = set()
    try:
        elements = list(ElementTree.parse(path).iter())
    except ElementTree.ParseError:
        elements = []  # malformed: the factory below refuses it with its own XmlParseError
    for element in elements:
        if element.tag == "TreeNodesModel":
            models.update(id(child) for child in element.iter())
        if element.tag in _STRUCTURE or id(element) in models:
            continue
        node_id = element.get("ID", element.tag) if element.tag in ("Action", "Condition") else element.tag
        if node_id not in known:
            ports.setdefault(node_id, set()).update({name for name in element.attrib if not name.startswith("_")} - {"name", "ID"})
    for node_id, names in ports.items():
        factory.register_action(node_id, _placeholder,
                                [{"name": name, "type": "string", "direction": "inout", "description": ""}
                                 for name in sorted(names)])
    return factory.create_tree_from_file(os.fspath(path), main_tree)


__all__ = [
    "drain", "dropped", "is_observed", "live_trees", "name_tree", "read_jsonl", "render_dot", "render_svg",
    "render_text", "replay", "snapshot", "start", "statistics", "stop", "transitions", "tree_from_file",
    "write_jsonl",
]
