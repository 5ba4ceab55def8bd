"""Small builders shared by the runtime tests."""

from __future__ import annotations

from morvlen.core import NodeStatus
from morvlen.engine.sequential_engine import SequentialEngine


def port(name: str, type_: str = "object", direction: str = "input", **extra) -> dict:
    return {"name": name, "type": type_, "direction": direction, "description": "", **extra}


def document(*trees: str, main: str | None = None, extra: str = "") -> str:
    main_attr = f' main_tree_to_execute="{main}"' if main else ""
    return f'<root BTCPP_format="4"{main_attr}>{"".join(trees)}{extra}</root>'


def tree(tree_id: str, body: str) -> str:
    return f'<BehaviorTree ID="{tree_id}">{body}</BehaviorTree>'


def engine_with(actions: dict, xml: str | None = None) -> SequentialEngine:
    """An engine with actions {id: (tick, ports)}, and the tree built when xml is given."""
    engine = SequentialEngine()
    for action_id, (tick, ports) in actions.items():
        engine.register_action_behavior(action_id, tick, ports)
    if xml is not None:
        engine.create_tree_from_text(xml)
    return engine


def returning(status: NodeStatus, seen: list | None = None):
    """A tick function returning `status`, recording the node's path in `seen`."""

    def tick(node):
        if seen is not None:
            seen.append(node.fullPath())
        return status

    return tick
