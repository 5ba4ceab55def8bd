// Python action nodes and their registration.
#include "morvlen/nodes/action_node/python_action.h"

#include <algorithm>
#include <array>

#include <nanobind/stl/string.h>

#include "morvlen/core/node_handle.h"
#include "morvlen/core/port_values.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// Tags with a meaning of their own in the document format.
constexpr std::array<std::string_view, 10> reserved_ids{
    "root", "BehaviorTree", "TreeNodesModel", "include", "SubTree", "Action", "Condition", "Control", "Decorator", ""};

// A docstring, cleaned of its indentation; empty when there is none.
std::string cleaned_doc(nb::handle documented) {
    const nb::object doc = nb::getattr(documented, "__doc__", nb::none());
    if (!nb::isinstance<nb::str>(doc)) return {};
    return nb::cast<std::string>(nb::module_::import_("inspect").attr("cleandoc")(doc));
}

// Only functions describe themselves: any other callable's __doc__ is usually its
// type's (functools.partial, builtins, instances of callable classes).
std::string function_doc(nb::handle function) {
    const nb::module_ inspect = nb::module_::import_("inspect");
    const bool own = nb::cast<bool>(inspect.attr("isfunction")(function)) || nb::cast<bool>(inspect.attr("ismethod")(function));
    return own ? cleaned_doc(function) : std::string();
}

std::string check_action_id(const std::string& action_id) {
    if (std::ranges::find(reserved_ids, action_id) != reserved_ids.end()) {
        throw nb::value_error(("action id '" + action_id + "' is empty or a reserved name of the format").c_str());
    }
    return action_id;
}

// A tick function is called with the node alone. The usual slip is a class whose
// tick is an instance method (def tick(self, node)): refused here, with the fix.
void check_tick_signature(nb::handle function, const std::string& action_id) {
    const nb::module_ inspect = nb::module_::import_("inspect");
    nb::object signature;
    try {
        signature = inspect.attr("signature")(function);
    } catch (const nb::python_error&) {
        return;  // no signature to read (some builtins): the call will tell
    }
    try {
        signature.attr("bind")(nb::none());
    } catch (const nb::python_error& error) {
        if (!error.matches(PyExc_TypeError)) throw;
        const nb::object names = nb::module_::import_("builtins").attr("list")(signature.attr("parameters"));
        const bool method = nb::len(names) > 0 && nb::cast<std::string>(names[0]) == "self";
        throw nb::type_error(("action '" + action_id + "': the tick function " + describe(function) + " takes " +
                              nb::cast<std::string>(nb::str(signature)) + ", but is called with the node alone" +
                              (method ? "; make tick a @staticmethod taking only node" : "")).c_str());
    }
}

}  // namespace

PythonActionNode::PythonActionNode(NodeConfig config, PyRef tick_function)
    : LeafNode(std::move(config)), tick_function_(std::move(tick_function)) {}

PythonActionNode::~PythonActionNode() {
    if (!handle_.is_valid()) return;
    if (!nanobind::is_alive()) {
        handle_.release();
        return;
    }
    nb::gil_scoped_acquire gil;
    handle_.reset();
}

NodeStatus PythonActionNode::tick() {
    nb::gil_scoped_acquire gil;
    if (!handle_.is_valid()) handle_ = nb::cast(NodeHandle(tree_, this));
    const nb::object result = (*tick_function_)(handle_);
    if (result.type().is(nb::type<NodeStatus>())) {
        const auto status = nb::cast<NodeStatus>(result);
        if (status != NodeStatus::IDLE && status != NodeStatus::SKIPPED) return status;
    }
    throw NodeLogicError(registration_name() + " '" + full_path() + "': the tick function returned " + describe(result) +
                         "; it must return NodeStatus.SUCCESS, NodeStatus.FAILURE or NodeStatus.RUNNING");
}

void register_python_action(BehaviorTreeFactory& factory, const std::string& action_id, nb::object tick_function,
                            nb::handle port_records, std::string description) {
    check_action_id(action_id);
    if (!PyCallable_Check(tick_function.ptr())) {
        throw nb::type_error(("action '" + action_id + "': the tick function " + describe(tick_function) +
                              " is not callable").c_str());
    }
    check_tick_signature(tick_function, action_id);
    PortList ports = ports_from_records(port_records, action_id);
    if (description.empty()) description = function_doc(tick_function);
    NodeRegistry& registry = factory.registry();
    if (registry.manifest(action_id)) {
        throw nb::value_error(("action id '" + action_id + "' is already registered").c_str());
    }
    const PyRef tick = make_py_ref(std::move(tick_function));
    factory.hold(tick);
    // The factory owns the function (and shows it to the garbage collector); trees
    // built from it share it.
    const std::weak_ptr<const nb::object> registered = tick;
    registry.add(NodeManifest{action_id, NodeKind::Action, std::move(ports), std::move(description), 0, 0},
                 [registered, action_id](NodeConfig config) {
                     PyRef function = registered.lock();
                     if (!function) throw BehaviorTreeError("the registration of '" + action_id + "' was released");
                     return std::make_unique<PythonActionNode>(std::move(config), std::move(function));
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
