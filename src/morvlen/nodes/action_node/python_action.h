#pragma once
// Action nodes whose tick is a Python function: registration from a tick function
// and a list of port records, or from a SimpleActionNode subclass.

#include <optional>
#include <string>

#include <nanobind/nanobind.h>

#include "morvlen/core/annotated_types.h"
#include "morvlen/core/factory.h"
#include "morvlen/core/python_ref.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt {

class PythonActionNode final : public LeafNode, public TreeBound {
public:
    PythonActionNode(NodeConfig config, PyRef tick_function);
    ~PythonActionNode() override;
    void bind_tree(const std::weak_ptr<const Tree>& tree) override { tree_ = tree; }
    const PyRef* python_function() const noexcept override { return &tick_function_; }

protected:
    // Calls the tick function with the node's handle, holding the GIL. A Python
    // exception passes on unchanged; a result other than SUCCESS, FAILURE or RUNNING
    // (IDLE and SKIPPED included) raises NodeLogicError naming the node and the value.
    NodeStatus tick() override;

private:
    PyRef tick_function_;
    std::weak_ptr<const Tree> tree_;
    nanobind::object handle_;  // made on the first tick, reused afterwards
};

// The ports of an action, from Python port records: mappings with "name", "type",
// "direction", optional "description" and "default". Raises TypeError/ValueError
// naming the action, the record and the field.
PortList ports_from_records(nanobind::handle records, const std::string& action_id);

// The manifest and builder of a Python action. Without a description, a Python
// function's docstring describes the action.
void register_python_action(BehaviorTreeFactory& factory, const std::string& action_id, nanobind::object tick_function,
                            nanobind::handle port_records, std::string description = {});

// Registers a SimpleActionNode subclass: its static tick(node) and its class
// attribute ports, under `action_id` or the class name, described by the class
// docstring (else tick's). TypeError for anything else.
std::string register_python_action_class(BehaviorTreeFactory& factory, nanobind::handle cls,
                                         const std::optional<std::string>& action_id);

// The C++ side of the Python class SimpleActionNode (bound by bind_action_node),
// only a base class: action classes are never instantiated, their static tick and
// their ports are what a registration reads.
struct SimpleActionNode {};
// type[SimpleActionNode]
using ActionClass = nanobind::typed<nanobind::handle, nanobind::type_object_t<SimpleActionNode>>;

}  // namespace morvlen::bt
