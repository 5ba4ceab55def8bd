"""The behavior-tree runtime: statuses, node handles, factory, trees and blackboards."""

from morvlen._runtime import (  # noqa: F401
    BehaviorTreeError,
    BehaviorTreeFactory,
    Blackboard,
    DocumentLimits,
    NodeLogicError,
    NodeStatus,
    PortError,
    Tree,
    TreeBuildError,
    TreeNode,
    XmlParseError,
)

__all__ = [
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "Blackboard",
    "DocumentLimits",
    "NodeLogicError",
    "NodeStatus",
    "PortError",
    "Tree",
    "TreeBuildError",
    "TreeNode",
    "XmlParseError",
]
