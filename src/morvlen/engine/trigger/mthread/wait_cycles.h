#pragma once
// Workers of different trees may send each other commands, but a worker that
// waits on a tree whose worker waits, directly or through other trees, on the
// first worker's tree would wait for ever. Each worker notes the tree it waits
// on; a command that would close such a cycle is refused before it waits.
// Guarded by the GIL, like the channel state it lives in.

#include <vector>

#include "morvlen/engine/trigger/mthread/py_ref.h"
#include "morvlen/engine/trigger/mthread/tree_channel.h"

namespace morvlen::mthread {

// Marks the calling thread as the worker of `channel`'s tree for the seat's
// lifetime, and publishes the tree's id for the refusal message.
class WorkerSeat {
public:
    WorkerSeat(TreeChannel& channel, PyObject* tree_id);
    ~WorkerSeat();
    WorkerSeat(const WorkerSeat&) = delete;
    WorkerSeat& operator=(const WorkerSeat&) = delete;

private:
    TreeChannel& channel_;
    TreeChannel* outer_;
};

// While alive, records that the calling thread, when it is a tree's worker,
// waits on `target`'s tree. Built only after `wait_cycle` found no cycle.
class WaitingOn {
public:
    explicit WaitingOn(const TreeChannel& target);
    ~WaitingOn();
    WaitingOn(const WaitingOn&) = delete;
    WaitingOn& operator=(const WaitingOn&) = delete;

private:
    TreeChannel* waiter_;
};

// The ids of the trees whose workers would wait on each other if the calling
// thread waited on `target`: the caller's tree first and last. Empty when there
// is no such cycle (or the caller is no tree's worker). Borrowed references.
std::vector<PyObject*> wait_cycle(const TreeChannel& target);

// "行为树 a → b → a 的线程将互相等待而死锁" for a cycle from `wait_cycle`.
Ref describe_wait_cycle(const std::vector<PyObject*>& cycle);

}  // namespace morvlen::mthread
