#include "morvlen/engine/trigger/mthread/tree_channel.h"

#include <chrono>
#include <unordered_map>

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread {

namespace {

struct Entry {
    std::unique_ptr<TreeChannel> channel;
    Ref weakref;  // keeps the cleanup callback registered on the condition
};

// Keyed by the condition's address; the weak reference's callback removes the
// entry before the address can be reused. Guarded by the GIL.
std::unordered_map<const PyObject*, Entry>& channels() {
    static auto* table = new std::unordered_map<const PyObject*, Entry>();  // lives as long as the process
    return *table;
}

PyObject* forget_channel(PyObject* key, PyObject* /*weakref*/) {
    channels().erase(static_cast<const PyObject*>(PyLong_AsVoidPtr(key)));
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"_forget_tree_channel", forget_channel, METH_O, nullptr};

}  // namespace

ChannelRef channel_of(PyObject* cond) {
    auto& table = channels();
    if (const auto found = table.find(cond); found != table.end()) return ChannelRef(found->second.channel.get());
    auto channel = std::make_unique<TreeChannel>();
    const Ref key = Ref::steal(PyLong_FromVoidPtr(cond));
    const Ref callback = key ? Ref::steal(PyCFunction_New(&forget_def, key.get())) : Ref{};
    Ref weakref = callback ? Ref::steal(PyWeakref_NewRef(cond, callback.get())) : Ref{};
    if (!weakref) {
        // Not weakly referenceable (or out of memory): this call gets its own state.
        PyErr_Clear();
        return ChannelRef(std::move(channel));
    }
    TreeChannel* shared = channel.get();
    table.emplace(cond, Entry{std::move(channel), std::move(weakref)});
    return ChannelRef(shared);
}

TurnGuard::TurnGuard(TreeChannel& channel, const std::function<void()>& meanwhile) : channel_(channel) {
    if (channel_.turn.try_lock()) return;
    if (!meanwhile) {
        Py_BEGIN_ALLOW_THREADS
        channel_.turn.lock();
        Py_END_ALLOW_THREADS
        return;
    }
    for (;;) {
        meanwhile();
        bool taken = false;
        Py_BEGIN_ALLOW_THREADS
        taken = channel_.turn.try_lock_for(std::chrono::milliseconds(5));
        Py_END_ALLOW_THREADS
        if (taken) return;
    }
}

TurnGuard::~TurnGuard() { channel_.turn.unlock(); }

}  // namespace morvlen::mthread
