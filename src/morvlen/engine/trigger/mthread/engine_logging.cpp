#include "morvlen/engine/trigger/mthread/engine_logging.h"

namespace morvlen::mthread {

namespace {

bool log_at(const CallContext& ctx, PyObject* level, PyObject* message) {
    const Ref logger = ctx.global<"logger">();
    return logger && call_method(logger.get(), level, {message});
}

}  // namespace

bool log_info(const CallContext& ctx, PyObject* message) { return log_at(ctx, interned<"info">(), message); }

bool log_error(const CallContext& ctx, PyObject* message) { return log_at(ctx, interned<"error">(), message); }

PyObject* raise_logged(const CallContext& ctx, PyObject* exc_type, const Ref& message) {
    if (!message || !log_error(ctx, message.get())) return nullptr;
    PyErr_SetObject(exc_type, message.get());
    return nullptr;
}

}  // namespace morvlen::mthread
