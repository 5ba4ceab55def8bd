#pragma once
// Async actions: a tick function that is a coroutine function. The tick that starts
// the node starts the coroutine on the runtime's event loop and returns RUNNING; the
// node stays RUNNING while the coroutine runs and wakes its tree when it finishes.
// The tick after that gives the coroutine's result as the status, or raises its
// exception (with its traceback). Halting the node cancels the coroutine and waits,
// bounded, for the cancellation to finish.

#include <chrono>
#include <memory>

#include "morvlen/nodes/action_node/event_loop.h"
#include "morvlen/nodes/action_node/python_node.h"

namespace morvlen::bt {

class AsyncRun;

class PythonAsyncNode final : public PythonNode {
public:
    // How long a halt waits for a cancelled coroutine to finish.
    static constexpr std::chrono::seconds cancel_bound{5};

    // Needs the GIL (takes hold of the event loop).
    PythonAsyncNode(NodeConfig config, PyRef tick_function);
    ~PythonAsyncNode() override;
    bool wakes_tree() const noexcept override { return true; }
    int traverse_own(visitproc visit, void* arg) const override;

protected:
    NodeStatus tick() override;
    void halt() override;

private:
    void start();
    NodeStatus finish();

    std::shared_ptr<EventLoop> loop_;
    std::shared_ptr<AsyncRun> run_;  // the coroutine under way; null when none
};

std::unique_ptr<TreeNode> make_async_node(NodeConfig config, PyRef tick_function);

}  // namespace morvlen::bt
