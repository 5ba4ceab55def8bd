// The shared tick of sequences and fallbacks.
#include "morvlen/core/nodes/ordered_controls.h"

namespace morvlen::bt::nodes {

NodeStatus OrderedControl::tick() {
    set_status(NodeStatus::RUNNING);
    while (current_ < child_count()) {
        const NodeStatus status = child(current_).execute_tick();
        if (status == NodeStatus::RUNNING) {
            return status;  // resumed at this child next tick; earlier ones keep their status
        }
        if (status == NodeStatus::SKIPPED) {
            ++skipped_;
        } else if (status != policy_.proceed_on) {
            if (!policy_.resume_after_stop) {
                return finish(status);
            }
            // Children are reset but the index survives, so the stopping child is
            // ticked again first. Only a halt while RUNNING forgets the index.
            halt_children();
            return status;
        }
        ++current_;
    }
    return finish(skipped_ == child_count() ? NodeStatus::SKIPPED : policy_.proceed_on);
}

NodeStatus OrderedControl::finish(NodeStatus result) {
    halt_children();
    forget_progress();
    return result;
}

void OrderedControl::forget_progress() noexcept {
    current_ = 0;
    skipped_ = 0;
}

void OrderedControl::halt() {
    forget_progress();
    ControlNode::halt();
}

NodeStatus ReactiveControl::tick() {
    set_status(NodeStatus::RUNNING);
    std::size_t skipped = 0;
    for (std::size_t i = 0; i < child_count(); ++i) {
        const NodeStatus status = child(i).execute_tick();
        if (status == NodeStatus::RUNNING) {
            // Earlier children are evaluated afresh next tick; only one child may be
            // running, so one left running by an earlier tick is stopped.
            for (std::size_t earlier = 0; earlier < i; ++earlier) {
                halt_child(earlier);
            }
            halt_children(i + 1);
            return status;
        }
        if (status == NodeStatus::SKIPPED) {
            ++skipped;
        } else if (status != proceed_on_) {
            halt_children();
            return status;
        }
    }
    halt_children();
    return skipped == child_count() ? NodeStatus::SKIPPED : proceed_on_;
}

}  // namespace morvlen::bt::nodes
