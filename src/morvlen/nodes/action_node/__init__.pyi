"""The base class of action node classes."""

from typing import Any, ClassVar, Mapping, Sequence

class SimpleActionNode:
    """Base of action classes: a static tick(node) -> NodeStatus and a class attribute ports."""
    ports: ClassVar[Sequence[Mapping[str, Any]]]

__all__ = ["SimpleActionNode"]
