#pragma once
// Node statuses and node kinds of the behavior-tree runtime.

#include <optional>
#include <string_view>

namespace morvlen::bt {

enum class NodeStatus : int { IDLE = 0, RUNNING = 1, SUCCESS = 2, FAILURE = 3, SKIPPED = 4 };

enum class NodeKind { Action, Condition, Control, Decorator, SubTree };

constexpr bool is_completed(NodeStatus s) noexcept {
    return s == NodeStatus::SUCCESS || s == NodeStatus::FAILURE;
}

std::string_view to_string(NodeStatus status) noexcept;
std::string_view to_string(NodeKind kind) noexcept;
// Parses "SUCCESS", "FAILURE", "RUNNING", "SKIPPED", "IDLE" (upper, lower or capitalised).
std::optional<NodeStatus> parse_status(std::string_view text) noexcept;

}  // namespace morvlen::bt
