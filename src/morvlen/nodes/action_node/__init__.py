"""The base classes of node classes: plain, stateful and condition nodes."""

from morvlen._runtime import ConditionNode, NodeClassTick, SimpleActionNode, StatefulActionNode  # noqa: F401

__all__ = ["SimpleActionNode", "StatefulActionNode", "ConditionNode", "NodeClassTick"]
