// Driving one tree: ticks, status reports, blackboard access.
#include "morvlen/engine/sequential_engine/sequential_engine.h"

#include <nanobind/stl/string.h>

#include "morvlen/core/bindings.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// Lets Ctrl+C (and other signal handlers) interrupt a long tick_n_times.
void check_signals() {
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

}  // namespace

std::shared_ptr<Tree> SequentialEngine::tree() const {
    if (!tree_) {
        throw BehaviorTreeError("no tree has been built yet: call create_tree_from_text() or create_tree_from_file() first");
    }
    return tree_;
}

// The tree's functions are the factory's: counted together, they are shown once,
// when nothing outside the engine holds them.
int SequentialEngine::traverse(visitproc visit, void* arg) const {
    ExclusiveHolders holders;
    factory_.add_held_to(holders);
    if (tree_) holders.add_tree(*tree_, tree_.use_count());
    return holders.traverse(visit, arg);
}

void SequentialEngine::register_action_behavior(const std::string& action_id, TickFunction tick_functor, PortRecords ports_list) {
    register_python_action(factory_, action_id, std::move(tick_functor), ports_list);
}

std::string SequentialEngine::register_action_class(nb::handle cls, const std::optional<std::string>& action_id) {
    return register_python_action_class(factory_, cls, action_id);
}

void SequentialEngine::create_tree_from_text(std::string_view xml_text, TextEncoding encoding,
                                             const std::optional<std::string>& main_tree) {
    tree_ = factory_.create_tree_from_text(xml_text, encoding, main_tree);
}

void SequentialEngine::create_tree_from_file(const std::string& path, const std::optional<std::string>& main_tree) {
    tree_ = factory_.create_tree_from_file(path, main_tree);
}

void SequentialEngine::clear() noexcept {
    tree_.reset();
    factory_.release_held();
}

// The tree is released (possibly its last owner) with the GIL held again.
NodeStatus SequentialEngine::tick_once() {
    const std::shared_ptr<Tree> current = tree();
    nb::gil_scoped_release release;
    return current->tick_once();
}

LoopOutcome SequentialEngine::run_loop(const std::function<bool(NodeStatus)>& done, const LoopLimits& limits) {
    const std::shared_ptr<Tree> current = tree();
    nb::gil_scoped_release release;
    return run_tick_loop(*current, done, limits, poll_interval(), loops_);
}

std::int64_t SequentialEngine::tick_until(NodeStatus wanted) {
    return run_loop([wanted](NodeStatus status) { return status == wanted; }, {}).ticks;
}

NodeStatus SequentialEngine::tick_while_running(const LoopLimits& limits) {
    if (limits.max_ticks && *limits.max_ticks < 1) {
        throw nb::value_error(("max_ticks must be at least 1 (or None for no limit), got " +
                               std::to_string(*limits.max_ticks)).c_str());
    }
    return run_loop([](NodeStatus status) { return status != NodeStatus::RUNNING; }, limits).last;
}

void SequentialEngine::set_poll_interval(Clock::duration interval) {
    if (interval < Clock::duration::zero()) throw nb::value_error("poll_interval must be >= 0 seconds (0: tick back to back)");
    poll_interval_ = interval.count();
}

std::vector<NodeStatus> SequentialEngine::tick_n_times(std::int64_t n) {
    const std::shared_ptr<Tree> current = tree();
    nb::gil_scoped_release release;
    std::vector<NodeStatus> statuses;
    for (std::int64_t i = 0; i < n; ++i) {
        statuses.push_back(current->tick_once());
        check_signals();
    }
    return statuses;
}

void SequentialEngine::reset_tree() {
    const std::shared_ptr<Tree> current = tree();
    nb::gil_scoped_release release;
    current->reset();
}

AnyDict SequentialEngine::get_tree_status() const { return tree_status_dict(*tree()); }

AnyObject SequentialEngine::get_blackboard_data(const std::string& key) const {
    return tree()->blackboard()->get(key).value_or(nb::none());
}

void SequentialEngine::set_blackboard_data(const std::string& key, nb::object value) {
    const std::shared_ptr<Tree> current = tree();
    current->blackboard()->set(key, std::move(value));
    current->wake_signal()->wake();  // a waiting tree may be waiting for this entry
}

AnyDict SequentialEngine::get_all_blackboard_data() const { return blackboard_dict(*tree()->blackboard()); }

}  // namespace morvlen::bt
