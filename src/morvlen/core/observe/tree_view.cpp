// Views of a tree for observers.
#include "morvlen/core/observe/tree_view.h"

#include <functional>

namespace morvlen::bt::observe {

TreeView view_of(const Tree& tree) {
    TreeView view{tree.id(), tree.tick_count(), {}};
    const TreeRecorder* recorder = tree.recorder();
    // The same order as Tree::nodes(), which is the recorder's numbering.
    std::function<void(const TreeNode&, int, int)> visit = [&](const TreeNode& node, int depth, int parent) {
        const auto index = static_cast<std::uint32_t>(view.nodes.size());
        NodeView& entry = view.nodes.emplace_back();
        entry.path = node.full_path();
        entry.name = node.name();
        entry.registration_id = node.registration_name();
        entry.kind = node.kind();
        entry.depth = depth;
        entry.parent = parent;
        entry.status = node.status();
        if (recorder && index < recorder->node_count()) entry.statistics = recorder->statistics(index);
        for (const TreeNode* child : node.children()) visit(*child, depth + 1, static_cast<int>(index));
    };
    const auto all = tree.nodes();
    if (!all.empty()) visit(*all.front(), 0, -1);
    return view;
}

void apply_statuses(TreeView& view, const std::map<std::string, NodeStatus, std::less<>>& statuses) {
    for (NodeView& node : view.nodes) {
        const auto found = statuses.find(node.path);
        node.status = found != statuses.end() ? found->second : NodeStatus::IDLE;
    }
}

}  // namespace morvlen::bt::observe
