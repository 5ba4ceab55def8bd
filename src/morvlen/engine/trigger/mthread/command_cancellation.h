#pragma once
// Ending the command a tree's worker is carrying out, when its tick loop would
// otherwise keep the tree's turn: a stop, or a caller that gave up waiting,
// cancels the loop through the worker's runtime engine (its `cancel(reason)`,
// used only when the engine has one). The loop halts the tree and fails the
// command, whose error answer then names the reason.

#include "morvlen/engine/trigger/mthread/tree_channel.h"

namespace morvlen::mthread {

// For stop_tree, while it waits for the turn: cancels the loop of the command in
// flight, if any, with a reason saying the tree was stopped. Called again and
// again while the turn is busy, so a loop that had not started yet at one call
// is caught by the next. Never leaves an exception set.
void cancel_for_stop(TreeChannel& channel, PyObject* tree_id);

// For a caller whose wait was interrupted, holding the condition (so the command
// cannot end meanwhile): marks the command abandoned (its answer is dropped) and
// cancels its loop. Never leaves an exception set.
void abandon_command(TreeChannel& channel, PyObject* tree_id);

// The worker's side: the failure of the command it carries out on this thread.
struct CommandFailure {
    Ref message;
    Ref cause;
};
// While one lives, _process_command on this thread keeps the message of its error
// answer and the exception behind it (remember_failure) for take(); elsewhere (a
// direct call of _process_command) nothing is kept. Needs the GIL throughout.
class FailureCollector {
public:
    FailureCollector() noexcept;
    ~FailureCollector();
    FailureCollector(const FailureCollector&) = delete;
    FailureCollector& operator=(const FailureCollector&) = delete;
    CommandFailure take();

private:
    CommandFailure failure_;
    CommandFailure* outer_;  // the collector this one hides, if any
};
void remember_failure(const Ref& message, const Ref& cause);

// The caller's side: when `message` is the answer of the channel's last failure,
// sets that exception as __cause__ of the exception being raised.
void attach_cause(TreeChannel& channel, PyObject* message);

}  // namespace morvlen::mthread
