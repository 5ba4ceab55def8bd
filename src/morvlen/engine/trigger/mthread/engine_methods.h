#pragma once
// The bodies of ThreadEngine's methods. Each takes the bound call and returns a
// new reference, or null with a Python exception set.

#include "morvlen/engine/trigger/mthread/method_table.h"

namespace morvlen::mthread {

// engine_registry.cpp
PyObject* engine_init(const CallContext& ctx);
PyObject* check_tree_exists(const CallContext& ctx);
PyObject* get_tree_ids(const CallContext& ctx);
// The unknown-id refusal of _check_tree_exists, for a tree found gone later on
// (stopped by another thread while this one waited for its turn).
PyObject* raise_tree_missing(const CallContext& ctx, PyObject* tree_id);
// action_registration.cpp
PyObject* register_action_behavior(const CallContext& ctx);
PyObject* register_action_class(const CallContext& ctx);
// tree_worker.cpp
PyObject* run_tree(const CallContext& ctx);
// command_execution.cpp
PyObject* process_command(const CallContext& ctx);
// command_channel.cpp
PyObject* send_command(const CallContext& ctx);
// tree_operations.cpp: the nine public operations, one body driven by the table
PyObject* tree_operation(const CallContext& ctx);
// tree_creation.cpp
PyObject* create_tree_from_text(const CallContext& ctx);
PyObject* create_tree_from_file(const CallContext& ctx);
// tree_stopping.cpp
PyObject* stop_tree(const CallContext& ctx);
PyObject* stop_all_trees(const CallContext& ctx);
PyObject* finalize_engine(const CallContext& ctx);

}  // namespace morvlen::mthread
