// Driving one tree: ticks, status reports, blackboard access.
#include "morvlen/engine/sequential_engine/sequential_engine.h"

#include <nanobind/stl/string.h>

#include "morvlen/core/bindings.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// Lets Ctrl+C (and other signal handlers) interrupt a tick loop that never ends.
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

std::int64_t SequentialEngine::tick_until(NodeStatus wanted) {
    const std::shared_ptr<Tree> current = tree();
    nb::gil_scoped_release release;
    for (std::int64_t ticks = 1;; ++ticks) {
        if (current->tick_once() == wanted) return ticks;
        check_signals();
    }
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
    tree()->blackboard()->set(key, std::move(value));
}

AnyDict SequentialEngine::get_all_blackboard_data() const { return blackboard_dict(*tree()->blackboard()); }

}  // namespace morvlen::bt
