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
#include "morvlen/nodes/action_node/python_node.h"

namespace morvlen::bt {

// A plain tick function: called on every tick. Its optional halt hook (the
// function's attribute `on_halted`, read when the node is built) is called with the node
// handle when the node is halted while RUNNING.
class PythonActionNode final : public PythonNode {
public:
    // Needs the GIL (reads the halt hook).
    PythonActionNode(NodeConfig config, PyRef tick_function);

protected:
    // Calls the tick function with the node's handle, holding the GIL. A Python
    // exception passes on with a note naming the node; a result other than SUCCESS,
    // FAILURE or RUNNING (IDLE and SKIPPED included) raises NodeLogicError naming
    // the node and the value.
    NodeStatus tick() override;
    void halt() override;
};

std::unique_ptr<TreeNode> make_plain_action(NodeConfig config, PyRef tick_function);

// The ports of an action, from Python port records: mappings with "name", "type",
// "direction", optional "description" and "default". Raises TypeError/ValueError
// naming the action, the record and the field.
PortList ports_from_records(nanobind::handle records, const std::string& action_id);

// The manifest and builder of a Python action, of the kind the tick object tells
// (see node_kinds.h). Without a description, the docstring of the class or the
// Python function describes the action.
void register_python_action(BehaviorTreeFactory& factory, const std::string& action_id, nanobind::object tick_function,
                            nanobind::handle port_records, std::string description = {});

// Registers a SimpleActionNode subclass: its tick (a static tick(node), or the tick
// StatefulActionNode and ConditionNode subclasses get) and its class attribute
// ports, under `action_id` or the class name, described by the class docstring
// (else tick's). TypeError for anything else.
std::string register_python_action_class(BehaviorTreeFactory& factory, nanobind::handle cls,
                                         const std::optional<std::string>& action_id);

// The C++ side of the Python class SimpleActionNode (bound by bind_action_node),
// only a base class: action classes are never instantiated, their static tick and
// their ports are what a registration reads.
struct SimpleActionNode {};
// type[SimpleActionNode]
using ActionClass = nanobind::typed<nanobind::handle, nanobind::type_object_t<SimpleActionNode>>;

}  // namespace morvlen::bt
