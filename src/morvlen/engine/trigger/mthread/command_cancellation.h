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

// The worker's side: the failure of the command just carried out, taken from
// the thread that ran _process_command (see remember_failure).
struct CommandFailure {
    Ref message;
    Ref cause;
};
// Called by _process_command when a command fails: the message of its error
// answer and the exception behind it, kept for this thread's next take_failure.
void remember_failure(const Ref& message, const Ref& cause);
CommandFailure take_failure();

// The caller's side: when `message` is the answer of the channel's last failure,
// sets that exception as __cause__ of the exception being raised.
void attach_cause(TreeChannel& channel, PyObject* message);

}  // namespace morvlen::mthread
