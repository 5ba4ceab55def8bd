#include "morvlen/engine/trigger/mthread/wait_cycles.h"

#include <cstddef>
#include <utility>

namespace morvlen::mthread {

namespace {

// The channel of the tree whose worker the calling thread is, if any.
thread_local TreeChannel* current_worker = nullptr;

// A cycle never holds more trees than there are running workers; this bound
// only guards the walk against a chain left inconsistent by a fault elsewhere.
constexpr std::size_t kLongestChain = 1 << 20;

}  // namespace

WorkerSeat::WorkerSeat(TreeChannel& channel, PyObject* tree_id)
    : channel_(channel), outer_(std::exchange(current_worker, &channel)) {
    channel_.worker_tree_id = tree_id;
    channel_.waiting_on = nullptr;
}

WorkerSeat::~WorkerSeat() {
    channel_.worker_tree_id = nullptr;
    channel_.waiting_on = nullptr;
    current_worker = outer_;
}

WaitingOn::WaitingOn(const TreeChannel& target) : waiter_(current_worker) {
    if (waiter_) waiter_->waiting_on = &target;
}

WaitingOn::~WaitingOn() {
    if (waiter_) waiter_->waiting_on = nullptr;
}

std::vector<PyObject*> wait_cycle(const TreeChannel& target) {
    const TreeChannel* self = current_worker;
    if (!self || !self->worker_tree_id) return {};
    std::vector<PyObject*> chain{self->worker_tree_id};
    for (const TreeChannel* at = &target; at && at->worker_tree_id; at = at->waiting_on) {
        chain.push_back(at->worker_tree_id);
        if (at == self) return chain;
        if (chain.size() > kLongestChain) break;
    }
    return {};
}

Ref describe_wait_cycle(const std::vector<PyObject*>& cycle) {
    MessageBuilder message;
    message.text("行为树 ");
    for (std::size_t i = 0; i < cycle.size(); ++i) {
        if (i > 0) message.text(" → ");
        message.value(cycle[i]);
    }
    return message.text(" 的线程将互相等待而死锁").build();
}

}  // namespace morvlen::mthread
