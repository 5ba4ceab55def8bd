// Stateful actions: one instance per node, told when the node starts, runs and is halted.
#include "morvlen/nodes/action_node/stateful_action.h"

#include <string>

#include <nanobind/stl/string.h>

namespace nb = nanobind;

namespace morvlen::bt {

void check_stateful_class(const NodeClassTick& tick) {
    for (const char* method : {"on_start", "on_running", "on_halted"}) {
        if (!PyCallable_Check(nb::getattr(tick.cls, method, nb::none()).ptr())) {
            throw nb::type_error((nb::cast<std::string>(tick.cls.attr("__qualname__")) + " defines no " + method +
                                  "(self, node) method; a StatefulActionNode needs on_start and on_running")
                                     .c_str());
        }
    }
}

PythonStatefulNode::PythonStatefulNode(NodeConfig config, PyRef class_tick) : PythonNode(std::move(config), std::move(class_tick)) {
    own_object_ = nb::cast<const NodeClassTick&>(registered()).cls();  // the instance
}

NodeStatus PythonStatefulNode::tick() {
    nb::gil_scoped_acquire gil;
    // IDLE: this tick starts the node; RUNNING: it continues it.
    const char* method = status() == NodeStatus::RUNNING ? "on_running" : "on_start";
    return checked_status(call(own_object_.attr(method), method), method);
}

void PythonStatefulNode::halt() {
    if (!nb::is_alive()) return;
    nb::gil_scoped_acquire gil;
    call(own_object_.attr("on_halted"), "on_halted");
}

std::unique_ptr<TreeNode> make_stateful_node(NodeConfig config, PyRef class_tick) {
    return std::make_unique<PythonStatefulNode>(std::move(config), std::move(class_tick));
}

}  // namespace morvlen::bt
