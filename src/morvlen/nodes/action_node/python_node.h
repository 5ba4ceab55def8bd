#pragma once
// What every leaf node backed by Python shares: the registered object, the node
// handle its functions are called with (which also holds the node's own state), and
// the calls into Python that mark an exception with the node it came from.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nanobind/nanobind.h>

#include "morvlen/core/python_ref.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt {

// Releases `object` from any thread: takes the GIL for it, and once the interpreter
// is finalising lets it go without releasing it (it is gone with the process).
void drop_python_object(nanobind::object& object) noexcept;

class PythonNode : public LeafNode, public TreeBound {
public:
    PythonNode(NodeConfig config, PyRef registered);
    ~PythonNode() override;
    void bind_tree(const std::weak_ptr<const Tree>& tree) override;
    const PyRef* python_function() const noexcept override { return &registered_; }
    int traverse_own(visitproc visit, void* arg) const override;

protected:
    const nanobind::object& registered() const noexcept { return *registered_; }
    // The node's handle, made on first use and kept: attributes set on it stay with
    // this node of this tree. Needs the GIL.
    const nanobind::object& handle();
    // Runs body(); a Python exception passes on with a note naming the tree, the
    // node and its `role` ("the tick function", "on_start", ...). Needs the GIL.
    template <class Body> auto with_note(std::string_view role, Body&& body) const -> decltype(body()) {
        try {
            return body();
        } catch (nanobind::python_error& error) {
            add_note(error.value(), role);
            throw;
        }
    }
    // function(handle), with_note. Needs the GIL.
    nanobind::object call(nanobind::handle function, std::string_view role) {
        return with_note(role, [&] { return function(handle()); });
    }
    // The one Python object a kind keeps for each node (a stateful node's instance,
    // a plain action's halt hook); released and shown to the garbage collector here.
    nanobind::object own_object_;
    // `result` as a status: SUCCESS, FAILURE or RUNNING (RUNNING only when
    // `running_allowed`); NodeLogicError naming the node, the role and the value otherwise.
    NodeStatus checked_status(nanobind::handle result, std::string_view role, bool running_allowed = true) const;

private:
    void add_note(nanobind::handle error, std::string_view role) const;

    PyRef registered_;
    std::weak_ptr<const Tree> tree_;
    std::string tree_id_;  // kept for notes made while the tree is being destroyed
    std::uint64_t tree_serial_ = 0;
    nanobind::object handle_;
};

}  // namespace morvlen::bt
