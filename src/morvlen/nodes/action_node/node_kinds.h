#pragma once
// Which node a registered tick object makes. The registration calls take a tick
// function only, so the object itself tells the kind:
//  - the tick of a StatefulActionNode subclass (a NodeClassTick): stateful actions;
//  - the tick of a ConditionNode subclass (a NodeClassTick): conditions;
//  - a coroutine function (async def): async actions;
//  - any other callable: plain actions (with an optional halt hook, `on_halted`).

#include <memory>
#include <string>

#include <nanobind/nanobind.h>

#include "morvlen/core/python_ref.h"
#include "morvlen/core/tree_node.h"

namespace morvlen::bt {

struct PythonNodeKind {
    NodeKind kind = NodeKind::Action;  // as the manifest shows it
    std::string description;           // the class's docstring, else the function's
    std::unique_ptr<TreeNode> (*make)(NodeConfig config, PyRef registered) = nullptr;
};

// TypeError naming the action for an object that makes no node.
PythonNodeKind python_node_kind(nanobind::handle tick, const std::string& action_id);

// A docstring, cleaned of its indentation; empty when there is none.
std::string cleaned_doc(nanobind::handle documented);

}  // namespace morvlen::bt
