#pragma once
// Internal to the built-in node library: one registration function per source
// file, each registering the nodes that file defines, plus small shared helpers.

#include <string>
#include <string_view>

#include "morvlen/core/tree_node.h"

namespace morvlen::bt::nodes {

void register_sequence_nodes(NodeRegistry& registry);
void register_fallback_nodes(NodeRegistry& registry);
void register_parallel_nodes(NodeRegistry& registry);
void register_branch_nodes(NodeRegistry& registry);
void register_decorator_nodes(NodeRegistry& registry);
void register_timed_decorator_nodes(NodeRegistry& registry);
void register_loop_nodes(NodeRegistry& registry);
void register_leaf_nodes(NodeRegistry& registry);
void register_script_nodes(NodeRegistry& registry);

// Controls take one child or more unless they say otherwise.
inline NodeManifest control_manifest(std::string id, std::string description, PortList ports = {},
                                     int min_children = 1, int max_children = -1) {
    return {std::move(id), NodeKind::Control, std::move(ports), std::move(description), min_children, max_children};
}
inline NodeManifest decorator_manifest(std::string id, std::string description, PortList ports = {}) {
    return {std::move(id), NodeKind::Decorator, std::move(ports), std::move(description), 1, 1};
}
inline NodeManifest action_manifest(std::string id, std::string description, PortList ports = {}) {
    return {std::move(id), NodeKind::Action, std::move(ports), std::move(description), 0, 0};
}

// "Sequence 'MainTree/root/Sequence#1': " - the start of every error a built-in node raises.
inline std::string error_prefix(const TreeNode& node) {
    return node.registration_name() + " '" + node.full_path() + "': ";
}

// SUCCESS <-> FAILURE; other statuses unchanged.
constexpr NodeStatus opposite(NodeStatus status) noexcept {
    if (status == NodeStatus::SUCCESS) return NodeStatus::FAILURE;
    if (status == NodeStatus::FAILURE) return NodeStatus::SUCCESS;
    return status;
}

// RUNNING between two rounds of a child that completed: a waiting tick loop ticks
// again at once, as nothing else would wake it.
inline NodeStatus next_round_of(const TreeNode& node) noexcept {
    node.wake_signal()->wake();
    return NodeStatus::RUNNING;
}

}  // namespace morvlen::bt::nodes
