#pragma once
// Python parameter and result types of the bound functions that name what they
// hold: each accepts exactly what its plain handle or object accepts (the
// functions keep their own checks and messages), and gives signatures, help() and
// the generated type stubs precise annotations.

#include <nanobind/nanobind.h>

#include "morvlen/core/node_handle.h"
#include "morvlen/core/status.h"

namespace morvlen::bt {

// typing.Any
using AnyObject = nanobind::typed<nanobind::object, nanobind::any>;
// dict[str, typing.Any]
using AnyDict = nanobind::typed<nanobind::dict, nanobind::str, nanobind::any>;
// Callable[[TreeNode], NodeStatus]
using TickFunction = nanobind::typed<nanobind::object, nanobind::typed<nanobind::callable, NodeStatus(NodeHandle)>>;
// Sequence[Mapping[str, Any]]: port records
using PortRecords = nanobind::typed<nanobind::handle,
                                    nanobind::typed<nanobind::sequence, nanobind::typed<nanobind::mapping, nanobind::str, nanobind::any>>>;

}  // namespace morvlen::bt
