#pragma once
// The parts of the morvlen._runtime module, one bind function per package, and the
// Python views shared by several of them.

#include <nanobind/nanobind.h>

#include "morvlen/core/tree.h"

namespace morvlen::bt {

void bind_core(nanobind::module_& m);
void bind_action_node(nanobind::module_& m);
void bind_sequential_engine(nanobind::module_& m);

// Makes a bound type present itself as a member of its public package.
void set_public_module(nanobind::handle type, const char* module);

// {"status": NodeStatus, "tick_count": int, "nodes": [{"path", "name",
// "registration_id", "status"}, ...]}, a new dict. Needs the GIL.
nanobind::dict tree_status_dict(const Tree& tree);
// The entries of a blackboard (those stored in it, not forwarded), a new dict.
nanobind::dict blackboard_dict(const Blackboard& blackboard);

}  // namespace morvlen::bt
