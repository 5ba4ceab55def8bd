// Python action nodes and their registration.
#include "morvlen/nodes/action_node/python_action.h"

#include <algorithm>
#include <array>

#include <nanobind/stl/string.h>

#include "morvlen/core/node_handle.h"
#include "morvlen/core/port_values.h"
#include "morvlen/nodes/action_node/node_kinds.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// Tags with a meaning of their own in the document format.
constexpr std::array<std::string_view, 10> reserved_ids{
    "root", "BehaviorTree", "TreeNodesModel", "include", "SubTree", "Action", "Condition", "Control", "Decorator", ""};

std::string check_action_id(const std::string& action_id) {
    if (std::ranges::find(reserved_ids, action_id) != reserved_ids.end()) {
        throw nb::value_error(("action id '" + action_id + "' is empty or a reserved name of the format").c_str());
    }
    return action_id;
}

}  // namespace

PythonActionNode::PythonActionNode(NodeConfig config, PyRef tick_function)
    : PythonNode(std::move(config), std::move(tick_function)) {
    own_object_ = nb::getattr(registered(), "on_halted", nb::none());  // the halt hook, or None
}

NodeStatus PythonActionNode::tick() {
    nb::gil_scoped_acquire gil;
    return checked_status(call(registered(), "the tick function"), "the tick function");
}

void PythonActionNode::halt() {
    if (!nb::is_alive()) return;
    nb::gil_scoped_acquire gil;
    if (!own_object_.is_none()) call(own_object_, "the halt hook");
}

std::unique_ptr<TreeNode> make_plain_action(NodeConfig config, PyRef tick_function) {
    return std::make_unique<PythonActionNode>(std::move(config), std::move(tick_function));
}

void register_python_action(BehaviorTreeFactory& factory, const std::string& action_id, nb::object tick_function,
                            nb::handle port_records, std::string description) {
    check_action_id(action_id);
    const PythonNodeKind kind = python_node_kind(tick_function, action_id);
    PortList ports = ports_from_records(port_records, action_id);
    if (description.empty()) description = kind.description;
    NodeRegistry& registry = factory.registry();
    if (registry.manifest(action_id)) {
        throw nb::value_error(("action id '" + action_id + "' is already registered").c_str());
    }
    const PyRef tick = make_py_ref(std::move(tick_function));
    factory.hold(tick);
    // The factory owns the function (and shows it to the garbage collector); trees
    // built from it share it.
    const std::weak_ptr<const nb::object> registered = tick;
    registry.add(NodeManifest{action_id, kind.kind, std::move(ports), std::move(description), 0, 0},
                 [registered, action_id, make = kind.make](NodeConfig config) {
                     PyRef function = registered.lock();
                     if (!function) throw BehaviorTreeError("the registration of '" + action_id + "' was released");
                     // Trees are built without the GIL; Python nodes read their function's attributes.
                     nb::gil_scoped_acquire gil;
                     return make(std::move(config), std::move(function));
                 });
}

std::string register_python_action_class(BehaviorTreeFactory& factory, nb::handle cls, const std::optional<std::string>& action_id) {
    if (!nb::isinstance<nb::type_object>(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                                                   reinterpret_cast<PyTypeObject*>(nb::type<SimpleActionNode>().ptr()))) {
        throw nb::type_error(("register_action_class expects a subclass of SimpleActionNode, got " + describe(cls)).c_str());
    }
    const std::string id = action_id ? *action_id : nb::cast<std::string>(cls.attr("__name__"));
    if (!nb::hasattr(cls, "tick")) {
        throw nb::type_error(("action class " + describe(cls) + " defines no tick(node) function").c_str());
    }
    register_python_action(factory, id, cls.attr("tick"), nb::getattr(cls, "ports", nb::list()), cleaned_doc(cls));
    return id;
}

}  // namespace morvlen::bt
