"""The behavior-tree runtime: statuses, node handles, factory, trees and blackboards."""

from morvlen._runtime import (  # noqa: F401
    BehaviorTreeError,
    BehaviorTreeFactory,
    Blackboard,
    NodeLogicError,
    NodeStatus,
    PortError,
    TickLoopCancelled,
    Tree,
    TreeBuildError,
    TreeNode,
    XmlParseError,
)

__all__ = [
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "Blackboard",
    "NodeLogicError",
    "NodeStatus",
    "PortError",
    "TickLoopCancelled",
    "Tree",
    "TreeBuildError",
    "TreeNode",
    "XmlParseError",
]
