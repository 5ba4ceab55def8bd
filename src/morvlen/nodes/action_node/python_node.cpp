// The shared part of Python-backed leaf nodes: handle, calls, notes, statuses.
#include "morvlen/nodes/action_node/python_node.h"

#include <nanobind/stl/string.h>

#include "morvlen/core/node_handle.h"
#include "morvlen/core/port_values.h"

namespace nb = nanobind;

namespace morvlen::bt {

PythonNode::PythonNode(NodeConfig config, PyRef registered) : LeafNode(std::move(config)), registered_(std::move(registered)) {}

void drop_python_object(nb::object& object) noexcept {
    if (!object.is_valid()) return;
    if (!nb::is_alive()) {
        object.release();
        return;
    }
    nb::gil_scoped_acquire gil;
    object.reset();
}

PythonNode::~PythonNode() {
    drop_python_object(own_object_);
    drop_python_object(handle_);
}

void PythonNode::bind_tree(const std::weak_ptr<const Tree>& tree) {
    tree_ = tree;
    if (const auto alive = tree.lock()) {
        tree_id_ = alive->id();
        tree_serial_ = alive->serial();
    }
}

int PythonNode::traverse_own(visitproc visit, void* arg) const {
    Py_VISIT(handle_.ptr());
    Py_VISIT(own_object_.ptr());
    return 0;
}

const nb::object& PythonNode::handle() {
    if (!handle_.is_valid()) handle_ = nb::cast(NodeHandle(tree_, this, tree_serial_));
    return handle_;
}

void PythonNode::add_note(nb::handle error, std::string_view role) const {
    // A note, not a new message: the exception keeps its type and text, and the
    // reader learns which node of which tree raised it.
    error.attr("add_note")("raised by " + std::string(role) + " of " + registration_name() + " node '" + full_path() +
                           "' in behavior tree '" + tree_id_ + "'");
}

NodeStatus PythonNode::checked_status(nb::handle result, std::string_view role, bool running_allowed) const {
    if (result.type().is(nb::type<NodeStatus>())) {
        const auto status = nb::cast<NodeStatus>(result);
        if (status == NodeStatus::SUCCESS || status == NodeStatus::FAILURE || (running_allowed && status == NodeStatus::RUNNING)) {
            return status;
        }
    }
    throw NodeLogicError(registration_name() + " '" + full_path() + "': " + std::string(role) + " returned " + describe(result) +
                         "; it must return NodeStatus.SUCCESS" +
                         (running_allowed ? ", NodeStatus.FAILURE or NodeStatus.RUNNING" : " or NodeStatus.FAILURE"));
}

}  // namespace morvlen::bt
