"""The behavior-tree runtime: statuses, node handles, factory, trees and blackboards."""

from morvlen._runtime import (  # noqa: F401
    BehaviorTreeError,
    BehaviorTreeFactory,
    Blackboard,
    DocumentLimits,
    NodeLogicError,
    NodeStatus,
    PortError,
    ScriptError,
    ScriptSyntaxError,
    Tree,
    TreeBuildError,
    TreeNode,
    XmlParseError,
    register_enum,
    register_enums,
    registered_enums,
)

__all__ = [
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "Blackboard",
    "DocumentLimits",
    "NodeLogicError",
    "NodeStatus",
    "PortError",
    "ScriptError",
    "ScriptSyntaxError",
    "Tree",
    "TreeBuildError",
    "TreeNode",
    "XmlParseError",
    "register_enum",
    "register_enums",
    "registered_enums",
]
