#pragma once
// One behavior tree and its blackboard, driven from the calling thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/annotated_types.h"
#include "morvlen/core/factory.h"

namespace morvlen::bt {

class SequentialEngine {
public:
    SequentialEngine() = default;
    SequentialEngine(const SequentialEngine&) = delete;
    SequentialEngine& operator=(const SequentialEngine&) = delete;

    // Registrations: before the tree is built (later ones apply to later builds).
    void register_action_behavior(const std::string& action_id, TickFunction tick_functor, PortRecords ports_list);
    std::string register_action_class(nanobind::handle cls, const std::optional<std::string>& action_id);

    // Building replaces any tree built before; `main_tree` chooses the tree of a
    // document with several. Need the GIL.
    void create_tree_from_text(std::string_view xml_text, TextEncoding encoding,
                               const std::optional<std::string>& main_tree = {});
    void create_tree_from_file(const std::string& path, const std::optional<std::string>& main_tree = {});
    DocumentLimits& document_limits() noexcept { return factory_.document_limits(); }

    // Ticking: call with the GIL; it is released while the tree runs, and the tree
    // is kept alive meanwhile, even if another thread builds a new one. The loops
    // check for signals (Ctrl+C) between ticks so they can be interrupted.
    NodeStatus tick_once();
    std::int64_t tick_until(NodeStatus wanted);
    std::vector<NodeStatus> tick_n_times(std::int64_t n);
    void reset_tree();

    // Need the GIL.
    AnyDict get_tree_status() const;
    AnyObject get_blackboard_data(const std::string& key) const;
    void set_blackboard_data(const std::string& key, nanobind::object value);
    AnyDict get_all_blackboard_data() const;

    // The current tree, shared so that it outlives its replacement by a new build
    // while in use; BehaviorTreeError when none has been built yet. Needs the GIL.
    std::shared_ptr<Tree> tree() const;

    // For the garbage collector: the registered tick functions and the tree's
    // blackboard entries, and dropping the tree and those functions to break a
    // reference cycle.
    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;

private:
    BehaviorTreeFactory factory_;
    std::shared_ptr<Tree> tree_;
};

}  // namespace morvlen::bt
