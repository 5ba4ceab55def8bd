#pragma once
// The runtime's exception hierarchy. Bound to Python in morvlen.core as
// BehaviorTreeError(RuntimeError) and its subclasses of the same names.

#include <stdexcept>
#include <string>

namespace morvlen::bt {

// Base of every error the runtime raises itself.
struct BehaviorTreeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The document is not well-formed XML, or not a version 4 behavior-tree document.
struct XmlParseError : BehaviorTreeError {
    using BehaviorTreeError::BehaviorTreeError;
};

// The document is well-formed but describes no valid tree: unknown node id, wrong
// number of children, unknown port, missing or ambiguous main tree, recursive SubTree,
// script syntax error, missing required port, literal that does not convert.
struct TreeBuildError : BehaviorTreeError {
    using BehaviorTreeError::BehaviorTreeError;
};

// A port could not be read or written while ticking: missing value, text that does
// not convert to the port's type, literal on an output port.
struct PortError : BehaviorTreeError {
    using BehaviorTreeError::BehaviorTreeError;
};

// A node broke the tick contract (returned IDLE, a tick function returned something
// that is not a status, a condition returned RUNNING).
struct NodeLogicError : BehaviorTreeError {
    using BehaviorTreeError::BehaviorTreeError;
};

// A tick loop was cancelled (SequentialEngine.cancel, or a tree stopped while one
// of its loops ran); the message is the reason given. The tree was halted.
struct TickLoopCancelled : BehaviorTreeError {
    using BehaviorTreeError::BehaviorTreeError;
};

}  // namespace morvlen::bt
