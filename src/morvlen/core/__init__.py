"""The behavior-tree runtime: statuses, node handles, factory, trees and blackboards."""

from morvlen._runtime import (  # noqa: F401
    BehaviorTreeFactory,
    NodeStatus,
    TreeNode,
)
