// A tree as indented text with status marks.
#include "morvlen/core/observe/render.h"

#include <vector>

namespace morvlen::bt::observe {

std::string_view status_mark(NodeStatus status) noexcept {
    switch (status) {
        case NodeStatus::IDLE: return "[ ]";
        case NodeStatus::RUNNING: return "[>]";
        case NodeStatus::SUCCESS: return "[+]";
        case NodeStatus::FAILURE: return "[x]";
        case NodeStatus::SKIPPED: return "[-]";
    }
    return "[?]";
}

std::string_view status_colour(NodeStatus status) noexcept {
    switch (status) {
        case NodeStatus::IDLE: return "#e8e8e8";
        case NodeStatus::RUNNING: return "#ffd54f";
        case NodeStatus::SUCCESS: return "#81c784";
        case NodeStatus::FAILURE: return "#e57373";
        case NodeStatus::SKIPPED: return "#b0bec5";
    }
    return "#ffffff";
}

namespace {

// Whether each node is the last child of its parent.
std::vector<bool> last_children(const TreeView& view) {
    std::vector<bool> last(view.nodes.size(), true);
    std::vector<int> latest_child(view.nodes.size(), -1);
    for (std::size_t i = 0; i < view.nodes.size(); ++i) {
        const int parent = view.nodes[i].parent;
        if (parent < 0) continue;
        if (latest_child[parent] >= 0) last[latest_child[parent]] = false;
        latest_child[parent] = static_cast<int>(i);
    }
    return last;
}

}  // namespace

std::string render_text(const TreeView& view) {
    std::string out = view.tree_id + " (tick " + std::to_string(view.tick_count) + ")\n";
    const std::vector<bool> last = last_children(view);
    // continues[d]: whether the current ancestor at depth d has a sibling below it,
    // which draws a branch through the lines of its descendants.
    std::vector<bool> continues;
    for (std::size_t i = 0; i < view.nodes.size(); ++i) {
        const NodeView& node = view.nodes[i];
        continues.resize(node.depth + 1);
        continues[node.depth] = !last[i];
        for (int d = 1; d < node.depth; ++d) out += continues[d] ? "│   " : "    ";
        if (node.depth > 0) out += last[i] ? "└── " : "├── ";
        out += status_mark(node.status);
        out += ' ';
        out += node.name;
        if (node.name != node.registration_id) out += " (" + node.registration_id + ")";
        out += '\n';
    }
    return out;
}

}  // namespace morvlen::bt::observe
