// Names of statuses and node kinds.
#include "morvlen/core/status.h"

#include <array>
#include <utility>

namespace morvlen::bt {

std::string_view to_string(NodeStatus status) noexcept {
    switch (status) {
        case NodeStatus::IDLE: return "IDLE";
        case NodeStatus::RUNNING: return "RUNNING";
        case NodeStatus::SUCCESS: return "SUCCESS";
        case NodeStatus::FAILURE: return "FAILURE";
        case NodeStatus::SKIPPED: return "SKIPPED";
    }
    return "?";
}

std::string_view to_string(NodeKind kind) noexcept {
    switch (kind) {
        case NodeKind::Action: return "Action";
        case NodeKind::Condition: return "Condition";
        case NodeKind::Control: return "Control";
        case NodeKind::Decorator: return "Decorator";
        case NodeKind::SubTree: return "SubTree";
    }
    return "?";
}

std::optional<NodeStatus> parse_status(std::string_view text) noexcept {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> spellings{{
        {"IDLE", "Idle"}, {"RUNNING", "Running"}, {"SUCCESS", "Success"}, {"FAILURE", "Failure"}, {"SKIPPED", "Skipped"},
    }};
    for (int i = 0; i < static_cast<int>(spellings.size()); ++i) {
        const auto& [upper, capitalised] = spellings[i];
        bool lower = text.size() == upper.size();
        for (size_t c = 0; lower && c < text.size(); ++c) {
            lower = text[c] == static_cast<char>(upper[c] - 'A' + 'a');
        }
        if (text == upper || text == capitalised || lower) return static_cast<NodeStatus>(i);
    }
    return std::nullopt;
}

}  // namespace morvlen::bt
