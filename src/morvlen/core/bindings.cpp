// Placeholder bindings: replaced by the runtime.
#include <nanobind/nanobind.h>
namespace nb = nanobind;
NB_MODULE(_runtime, m) {
    struct Placeholder {};
    nb::class_<Placeholder>(m, "BehaviorTreeFactory").def(nb::init<>());
    m.attr("NodeStatus") = nb::none();
    m.attr("TreeNode") = nb::none();
    m.attr("SequentialEngine") = nb::none();
    m.attr("SimpleActionNode") = nb::none();
}
