#pragma once
// The engine's log lines: one text per call to the module's `logger`, looked up
// when the line is written.

#include "morvlen/engine/trigger/mthread/method_table.h"

namespace morvlen::mthread {

bool log_info(const CallContext& ctx, PyObject* message);
bool log_error(const CallContext& ctx, PyObject* message);

// A refusal the engine detects itself: logs `message` at error level and raises
// `exc_type` with the same text. Always returns null.
PyObject* raise_logged(const CallContext& ctx, PyObject* exc_type, const Ref& message);

}  // namespace morvlen::mthread
