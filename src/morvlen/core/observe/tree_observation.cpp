// Turning observation of a tree on and off.
#include "morvlen/core/tree.h"

namespace morvlen::bt {

observe::TreeRecorder& Tree::start_observing(std::size_t capacity) {
    std::lock_guard lock(observe_mutex_);
    const auto all = walk();
    if (all.size() > observe::TreeRecorder::kMaxNodes) {
        throw BehaviorTreeError("tree '" + id_ + "' has " + std::to_string(all.size()) + " nodes, more than can be observed");
    }
    if (!recorder_storage_) recorder_storage_ = std::make_unique<observe::TreeRecorder>(all.size(), capacity);
    for (std::uint32_t i = 0; i < all.size(); ++i) all[i]->attach_probe(&recorder_storage_->probe(i));
    recorder_.store(recorder_storage_.get(), std::memory_order_release);
    observed_.store(true);
    return *recorder_storage_;
}

void Tree::mark_observed_time() noexcept {
    // The recorder stays after a stop, for reading; its clock is read only while observed.
    if (!observed()) return;
    if (observe::TreeRecorder* recorder = this->recorder()) recorder->mark_time(tick_count_.load());
}

void Tree::stop_observing() noexcept {
    std::lock_guard lock(observe_mutex_);
    observed_.store(false);
    for (TreeNode* node : walk()) node->attach_probe(nullptr);
}

}  // namespace morvlen::bt
