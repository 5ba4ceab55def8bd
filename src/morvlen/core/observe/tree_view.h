#pragma once
// A tree as observers see it: its nodes in order with their place in the tree,
// status and statistics, taken from any thread without waiting for a tick.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "morvlen/core/observe/recorder.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt::observe {

struct NodeView {
    std::string path;
    std::string name;
    std::string registration_id;
    NodeKind kind = NodeKind::Action;
    int depth = 0;
    int parent = -1;  // index in TreeView::nodes, -1 for the root
    NodeStatus status = NodeStatus::IDLE;
    std::optional<NodeStatistics> statistics;  // while observed
};

struct TreeView {
    std::string tree_id;
    std::int64_t tick_count = 0;
    std::vector<NodeView> nodes;  // depth first, parents first: the recorder's indices
};

// Node index -> position and kind, plus the statuses and statistics of now.
TreeView view_of(const Tree& tree);
// Replaces the view's statuses by those given by path; nodes absent are IDLE.
void apply_statuses(TreeView& view, const std::map<std::string, NodeStatus, std::less<>>& statuses);

}  // namespace morvlen::bt::observe
