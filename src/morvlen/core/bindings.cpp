// The module morvlen._runtime and the bindings of morvlen.core.
#include "morvlen/core/bindings.h"

#include <filesystem>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "morvlen/core/factory.h"
#include "morvlen/core/node_handle.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

template <class Error> nb::object bind_error(nb::module_& m, const char* name, nb::handle base, const char* doc) {
    nb::object type = nb::exception<Error>(m, name, base);
    type.attr("__doc__") = doc;
    return type;
}

void bind_errors(nb::module_& m) {
    const nb::object base = bind_error<BehaviorTreeError>(
        m, "BehaviorTreeError", PyExc_RuntimeError,
        "Base of every error the behavior-tree runtime raises itself. A RuntimeError.");
    bind_error<XmlParseError>(m, "XmlParseError", base,
                              "The document is not well-formed XML (message gives line and column), or not a version 4 "
                              "behavior-tree document (wrong root element, BTCPP_format other than \"4\", tree without ID).");
    bind_error<TreeBuildError>(m, "TreeBuildError", base,
                               "The document describes no valid tree: unknown node id, wrong number of children, unknown "
                               "port attribute, missing or ambiguous main tree, unknown or recursive SubTree, script "
                               "syntax error, missing required port, literal that does not convert. The message names the tree, element and line.");
    bind_error<PortError>(m, "PortError", base,
                          "A port could not be read or written while ticking: not set, entry never written, value that "
                          "does not convert to the port's type, output not mapped to a blackboard entry.");
    bind_error<NodeLogicError>(m, "NodeLogicError", base,
                               "A node broke the tick contract, e.g. a tick function returned something other than "
                               "NodeStatus.SUCCESS, FAILURE or RUNNING.");
    bind_error<TickLoopCancelled>(m, "TickLoopCancelled", base,
                                  "A tick loop was cancelled while it ran (SequentialEngine.cancel): the message is the "
                                  "reason given. The tree was halted first, so nothing is left RUNNING.");
}

void bind_status(nb::module_& m) {
    nb::enum_<NodeStatus> status(m, "NodeStatus", "The status of a node after a tick (IDLE: not started or reset).");
    status.value("IDLE", NodeStatus::IDLE, "Not started, or finished and reset.")
        .value("RUNNING", NodeStatus::RUNNING, "Started and not finished: ticked again on the next tick.")
        .value("SUCCESS", NodeStatus::SUCCESS, "Finished successfully.")
        .value("FAILURE", NodeStatus::FAILURE, "Finished unsuccessfully.")
        .value("SKIPPED", NodeStatus::SKIPPED, "Not executed; parents pass over it.");
}

void bind_node_handle(nb::module_& m) {
    nb::class_<NodeHandle> handle(m, "TreeNode",
                                  "The node a tick function is called with: its ports, name and status. Safe to keep: "
                                  "once its tree is gone every method raises BehaviorTreeError. A node's functions get "
                                  "the same handle on every call, so attributes set on it (node.attempts = 0) are that "
                                  "node's own state, apart from other nodes and other trees built from the same XML.",
                                  nb::dynamic_attr());
    handle
        .def(
            "getInputString",
            [](const NodeHandle& self, const std::string& name) { return self.lock()->get_input<std::string>(name); },
            "name"_a,
            "The input's value as text: a literal as written, a blackboard entry as str(value). PortError when the "
            "port is not set or its entry was never written.")
        .def(
            "getInputObject",
            [](const NodeHandle& self, const std::string& name) -> AnyObject {
                return self.lock()->try_get_input<nb::object>(name).value_or(nb::none());
            },
            "name"_a,
            "The input's value as it is: the blackboard object itself (no copy), or a literal converted by the port's "
            "type. None when the port is not set or its entry was never written.")
        .def(
            "getInput",
            [](const NodeHandle& self, const std::string& name) -> AnyObject { return self.lock()->get_input<nb::object>(name); },
            "name"_a,
            "The input's value converted by the port's declared type (\"int\" -> int, \"double\" -> float, \"bool\" -> "
            "bool, \"string\"/\"object\" -> str for literals; a str entry read through a typed port is converted too). "
            "PortError when the port is not set, its entry was never written or the value does not convert.")
        .def(
            "setOutput",
            [](const NodeHandle& self, const std::string& name, nb::object value) {
                self.lock()->set_output(name, std::move(value));
            },
            "name"_a, "value"_a.none(),
            "Writes value (the object itself) to the blackboard entry the output port is mapped to (\"{key}\"). "
            "PortError when the port is an input or is not mapped to an entry.")
        .def(
            "name", [](const NodeHandle& self) { return self.lock()->name(); },
            "The instance name: the name attribute, or the registration id.")
        .def(
            "registrationName", [](const NodeHandle& self) { return self.lock()->registration_name(); },
            "The id the node type was registered under.")
        .def(
            "fullPath", [](const NodeHandle& self) { return self.lock()->full_path(); },
            "The node's path in its tree, unique within it, e.g. \"MainTree/root_sequence/Fetch\".")
        .def(
            "status", [](const NodeHandle& self) { return self.lock()->status(); },
            "The node's status before this tick: IDLE when the tick starts the node, RUNNING when it continues it.")
        .def(
            "wake", [](const NodeHandle& self) { self.lock()->wake_signal()->wake(); },
            "Wakes the node's tree if a tick loop is waiting on it, so that it ticks again now. Callable from any "
            "thread; an action that stays RUNNING until some other thread's work is done calls it when that work ends.");
}

void bind_blackboard(nb::module_& m) {
    nb::class_<Blackboard> board(m, "Blackboard",
                                 "Named entries holding any Python object; values are kept as they are (identity kept, "
                                 "no copies). Safe to use from any thread.",
                                 nb::type_slots(gc_slots<Blackboard>()));
    board.def(nb::new_([] { return Blackboard::create(); }), "An empty blackboard.")
        .def(
            "get", [](const Blackboard& self, const std::string& key) -> AnyObject { return self.get(key).value_or(nb::none()); },
            "key"_a, "The entry's value, or None when it was never written.")
        .def("set", &Blackboard::set, "key"_a, "value"_a.none(), "Writes the entry (\"@key\": the root blackboard's entry).")
        .def("unset", &Blackboard::unset, "key"_a, "Removes the entry; returns whether it existed.")
        .def(
            "__contains__", [](const Blackboard& self, const std::string& key) { return self.get(key).has_value(); },
            "key"_a)
        .def("to_dict", &blackboard_dict, "A new dict of the entries stored in this blackboard.");
}

void bind_tree(nb::module_& m) {
    nb::class_<Tree> tree(m, "Tree",
                          "A built tree. Driven by one thread at a time: a concurrent tick or reset raises "
                          "BehaviorTreeError.",
                          nb::type_slots(tree_owner_slots<Tree>()));
    tree.def("tick_once", &Tree::tick_once, nb::call_guard<nb::gil_scoped_release>(),
             "Ticks the root once and returns its status. If the tick raises, running nodes are halted and the "
             "exception passes on unchanged.")
        .def("reset", &Tree::reset, nb::call_guard<nb::gil_scoped_release>(),
             "Halts every running node and sets every node to IDLE; the blackboard is kept.")
        .def_prop_ro("id", &Tree::id, "The ID of the <BehaviorTree> this tree was built from.")
        .def_prop_ro("status", &Tree::status, "The root's status.")
        .def_prop_ro("tick_count", &Tree::tick_count, "Ticks since the tree was built or last reset.")
        .def_prop_ro("blackboard", &Tree::blackboard, "The tree's root blackboard.")
        .def("status_report", &tree_status_dict,
             "A new dict {\"status\", \"tick_count\", \"nodes\": [{\"path\", \"name\", \"registration_id\", \"status\"}]}.");
}

void bind_factory(nb::module_& m) {
    nb::class_<BehaviorTreeFactory> factory(m, "BehaviorTreeFactory",
                                            "Knows the node types (built-ins and registered actions) and builds trees "
                                            "from version 4 XML.",
                                            nb::type_slots(gc_slots<BehaviorTreeFactory>()));
    factory.def(nb::init<>(), "A factory knowing every built-in node.")
        .def(
            "register_action",
            [](BehaviorTreeFactory& self, const std::string& action_id, TickFunction tick_functor, PortRecords ports_list) {
                register_python_action(self, action_id, std::move(tick_functor), ports_list);
            },
            "action_id"_a, "tick_functor"_a, "ports_list"_a = nb::none(),
            "Registers an action: XML elements named action_id call tick_functor(node) on each tick. ports_list: port "
            "records {\"name\", \"type\", \"direction\", \"description\"[, \"default\"]}. The docstring of a "
            "Python function tick_functor is the action's description.")
        .def(
            "register_action_class",
            [](BehaviorTreeFactory& self, ActionClass cls, const std::optional<std::string>& action_id) {
                return register_python_action_class(self, cls, action_id);
            },
            "cls"_a, "action_id"_a = nb::none(),
            "Registers a SimpleActionNode subclass (its static tick(node) and its ports) under action_id, by default "
            "the class name. The class docstring, else that of tick, is the action's description. Returns the id.")
        .def(
            "create_tree_from_text",
            [](const BehaviorTreeFactory& self, const DocumentArgument& xml_text, const std::optional<std::string>& main_tree) {
                const DocumentText text = document_text(xml_text);
                return self.create_tree_from_text(text.data, text.encoding, main_tree);
            },
            "xml_text"_a, "main_tree"_a = nb::none(),
            "Builds the main tree of a document: main_tree, else main_tree_to_execute, else its only tree. bytes are "
            "decoded as the document's XML declaration says. Other Python threads run while the document is read.")
        .def(
            "create_tree_from_file",
            [](const BehaviorTreeFactory& self, const std::filesystem::path& path, const std::optional<std::string>& main_tree) {
                return self.create_tree_from_file(path.string(), main_tree);
            },
            "path"_a, "main_tree"_a = nb::none(), "As create_tree_from_text, reading the document from a file.")
        .def_prop_rw(
            "document_limits", [](BehaviorTreeFactory& self) -> DocumentLimits& { return self.document_limits(); },
            [](BehaviorTreeFactory& self, const DocumentLimits& limits) { self.document_limits() = limits; },
            "The DocumentLimits of the trees this factory builds (changing its fields changes them).")
        .def("registered_node_ids", &BehaviorTreeFactory::registered_ids,
             "Every registered node id, built-ins first, in registration order.")
        .def("tree_nodes_model", &BehaviorTreeFactory::tree_nodes_model, "include_builtins"_a = false,
             "A <root BTCPP_format=\"4\"><TreeNodesModel> document of the registered actions (and of the built-ins "
             "with include_builtins) and their ports. Each node element holds first a <description> element with the "
             "node's description, when it has one, then one <input_port>, <output_port> or <inout_port> per port "
             "(attributes name, type and default; the port's description as text).");
}

// Binds a public package's types into a module object named after the package, so
// that the types and their methods record it as their __module__ (signatures,
// help() and the generated type stubs then place them there), and re-exports them
// from the runtime module, which the package imports them from.
void bind_package(nb::module_& runtime, const char* package, void (*bind)(nb::module_&)) {
    nb::module_ scope = nb::steal<nb::module_>(PyModule_New(package));
    if (!scope.is_valid()) throw nb::python_error();
    bind(scope);
    for (const auto& [name, value] : nb::borrow<nb::dict>(scope.attr("__dict__"))) {
        if (!nb::cast<std::string_view>(name).starts_with("__")) runtime.attr(name) = value;
    }
}

}  // namespace

AnyDict tree_status_dict(const Tree& tree) {
    nb::list nodes;
    for (const NodeSnapshot& node : tree.snapshot()) {
        nb::dict entry;
        entry["path"] = node.path;
        entry["name"] = node.name;
        entry["registration_id"] = node.registration_id;
        entry["status"] = node.status;
        nodes.append(entry);
    }
    nb::dict status;
    status["status"] = tree.status();
    status["tick_count"] = tree.tick_count();
    status["nodes"] = nodes;
    return status;
}

AnyDict blackboard_dict(const Blackboard& blackboard) {
    nb::dict data;
    for (auto& [key, value] : blackboard.local_entries()) data[key.c_str()] = value;
    return data;
}

void bind_core(nb::module_& m) {
    bind_errors(m);
    bind_scripting(m);
    bind_status(m);
    bind_node_handle(m);
    bind_blackboard(m);
    bind_tree(m);
    bind_document_limits(m);
    bind_factory(m);
}

}  // namespace morvlen::bt

NB_MODULE(_runtime, m) {
    m.doc() = "The behavior-tree runtime; use it through morvlen.core, morvlen.engine.sequential_engine and "
              "morvlen.nodes.action_node.";
    using namespace morvlen::bt;
    bind_package(m, "morvlen.core", bind_core);
    bind_package(m, "morvlen.nodes.action_node", bind_action_node);
    bind_package(m, "morvlen.engine.sequential_engine", bind_sequential_engine);
    // Functions with common names: kept in a module object of their own, which
    // the package morvlen.core.observe takes them from.
    nb::module_ observe = nb::steal<nb::module_>(PyModule_New("morvlen.core.observe"));
    if (!observe.is_valid()) throw nb::python_error();
    bind_observe_package(observe);
    m.attr("observe") = observe;
}
