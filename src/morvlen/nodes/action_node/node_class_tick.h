#pragma once
// The `tick` of StatefulActionNode and ConditionNode subclasses. A registration
// receives only a class's tick (the thread engine registers (name, cls.tick,
// cls.ports)), so the tick carries its class: the runtime sees which kind of node
// to make, and for a stateful class which class to instantiate per node.
//
// The base classes hold a descriptor that makes the tick of the class it is read
// from, so no class holds its own tick: a class and its tick form no reference
// cycle, and go as soon as nothing uses them. A condition subclass's own tick
// function is kept under __condition_tick__.

#include <nanobind/nanobind.h>

namespace morvlen::bt {

enum class ClassKind { Stateful, Condition };

struct NodeClassTick {
    ClassKind kind = ClassKind::Stateful;
    nanobind::object cls;       // the subclass the tick belongs to
    nanobind::object function;  // a condition's own tick(node); None for a stateful class

    // Calls a condition's function (so that cls.tick(node) still works in a
    // caller's own tests); TypeError for a stateful class, ticked only by the runtime.
    nanobind::object operator()(nanobind::handle node) const;
    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;
};

// Binds NodeClassTick and the descriptor type; gives `base` (StatefulActionNode or
// ConditionNode) the descriptor as `tick`, and the hook that checks each new
// subclass (and moves a condition's own tick aside).
void bind_node_class_tick(nanobind::module_& m);
void install_class_tick(nanobind::handle base, ClassKind kind);

}  // namespace morvlen::bt
