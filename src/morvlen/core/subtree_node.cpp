// The SubTree node.
#include "morvlen/core/subtree_node.h"

namespace morvlen::bt {

const std::shared_ptr<const NodeManifest>& SubTreeNode::manifest() {
    static const auto subtree = std::make_shared<const NodeManifest>(NodeManifest{
        "SubTree", NodeKind::SubTree, {},
        "Runs another <BehaviorTree> (named by ID) with a blackboard of its own. Attributes remap its entries: "
        "port=\"{key}\" shares the parent's entry key, port=\"text\" stores the text; _autoremap=\"true\" shares "
        "every other non-private entry by name.",
        0, 0});
    return subtree;
}

NodeStatus SubTreeNode::tick() {
    set_status(NodeStatus::RUNNING);  // as any parent, while the subtree's root ticks
    const NodeStatus status = child().execute_tick();
    // The subtree starts afresh next time, like the child of any decorator.
    if (is_completed(status)) halt_child();
    return status;
}

}  // namespace morvlen::bt
