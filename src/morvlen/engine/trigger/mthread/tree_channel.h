#pragma once
// Engine-private state of one tree's command channel, kept beside the tree's
// record (never inside it) and found through the record's condition object:
//  - a turn that admits one caller (or one stop) at a time, so a second caller
//    waits instead of overwriting a pending command or taking another's result;
//  - whether the tree's worker is running and on which thread, so a command sent
//    from the worker itself is refused and a caller is answered when the worker
//    has ended instead of waiting for ever;
//  - the tick loop command the worker is carrying out: the worker lets go of the
//    condition meanwhile, so that a caller interrupted in its wait gets the condition back
//    at once; a caller then waits while `processing`, and the answer of a command
//    whose caller gave up (`abandoned`) is dropped;
//  - the worker's runtime engine, so that a stop or an interrupted caller can
//    cancel the tick loop the command runs (see command_cancellation.h);
//  - the exception behind the last error answer, handed to its caller as the
//    RuntimeError's __cause__;
//  - whether a stop has ended the tree, so a caller that waited for the turn
//    behind that stop is told the tree is gone instead of acting on it;
//  - which tree the worker is waiting on, so a command that would close a cycle
//    of workers waiting on each other is refused (wait_cycles.h).
// Every field is read and written with the GIL held; the turn itself is taken
// with the GIL released.

#include <Python.h>

#include <functional>
#include <memory>
#include <mutex>

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread {

struct TreeChannel {
    std::timed_mutex turn;
    unsigned long worker_thread = 0;
    bool worker_running = false;
    bool worker_ended = false;
    bool caller_waiting = false;
    bool processing = false;
    bool abandoned = false;
    Ref engine;
    Ref failure_message;  // the message of the error answer in the result slot...
    Ref failure_cause;    // ...and the exception it reports
    bool stopped = false;
    PyObject* worker_tree_id = nullptr;  // borrowed from the running worker's arguments
    const TreeChannel* waiting_on = nullptr;  // set by the worker while it waits on another tree

    bool called_from_worker() const {
        return worker_running && worker_thread == PyThread_get_thread_ident();
    }
};

// The channel state of one tree, for a holder of a reference to the tree's
// condition. The shared state lives as long as the condition does, so holding
// the condition is enough to keep it: it is borrowed, without reference
// counting on every command. A condition that cannot be weakly referenced gets
// a private, unshared state owned here (the plain protocol then applies).
class ChannelRef {
public:
    TreeChannel* operator->() const { return channel_; }
    TreeChannel& operator*() const { return *channel_; }

private:
    friend ChannelRef channel_of(PyObject* cond);
    explicit ChannelRef(TreeChannel* shared) : channel_(shared) {}
    explicit ChannelRef(std::unique_ptr<TreeChannel> own) : channel_(own.get()), owned_(std::move(own)) {}

    TreeChannel* channel_;
    std::unique_ptr<TreeChannel> owned_;
};

// The channel state of the tree whose condition is `cond`, made on first use and
// dropped when the condition is reclaimed. The caller keeps `cond` alive while
// it uses the result.
ChannelRef channel_of(PyObject* cond);

// Holds a tree's turn for the lifetime of the guard; waits for it without the GIL.
// While it waits, `meanwhile` (if given) is called with the GIL every few
// milliseconds (a stop cancels the loop of the command in flight).
class TurnGuard {
public:
    explicit TurnGuard(TreeChannel& channel, const std::function<void()>& meanwhile = {});
    ~TurnGuard();
    TurnGuard(const TurnGuard&) = delete;
    TurnGuard& operator=(const TurnGuard&) = delete;

private:
    TreeChannel& channel_;
};

}  // namespace morvlen::mthread
