#pragma once
// One behavior tree and its blackboard, driven from the calling thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/annotated_types.h"
#include "morvlen/core/factory.h"
#include "morvlen/engine/sequential_engine/tick_loop.h"

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
    // (tick_until, tick_while_running) sleep between ticks until the tree has a
    // reason to tick again (see tick_loop.h), check for signals (Ctrl+C) and can be
    // cancelled; tick_once and tick_n_times never wait.
    NodeStatus tick_once();
    std::int64_t tick_until(NodeStatus wanted);
    NodeStatus tick_while_running(const LoopLimits& limits);
    std::vector<NodeStatus> tick_n_times(std::int64_t n);
    void reset_tree();
    // Cancels the loops under way (from any thread); false when none runs.
    bool cancel(const std::string& reason) { return loops_.cancel(reason); }
    // The longest a loop waits for a RUNNING tree that does not wake it; zero ticks
    // back to back.
    Clock::duration poll_interval() const noexcept { return Clock::duration(poll_interval_.load()); }
    void set_poll_interval(Clock::duration interval);

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
    void finalize() const noexcept {
        if (tree_.use_count() == 1) tree_->halt_at_end();
    }

private:
    LoopOutcome run_loop(const std::function<bool(NodeStatus)>& done, const LoopLimits& limits);

    BehaviorTreeFactory factory_;
    std::shared_ptr<Tree> tree_;
    LoopCancellation loops_;
    // Each poll wakes a thread and takes the GIL (some 20 µs of CPU): 20 ms keeps 100 polled
    // trees near a tenth of a core, and a plain action's end is still seen within 20 ms.
    std::atomic<Clock::duration::rep> poll_interval_{std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(20)).count()};
};

}  // namespace morvlen::bt
