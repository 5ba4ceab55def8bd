// The binding of morvlen.engine.sequential_engine.SequentialEngine.
#include <chrono>
#include <cmath>
#include <filesystem>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/variant.h>

#include "morvlen/core/bindings.h"
#include "morvlen/core/observe/live_trees.h"
#include "morvlen/engine/sequential_engine/sequential_engine.h"
#include "morvlen/nodes/action_node/python_action.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

// Seconds given from Python, as a duration; ValueError naming `what` for a negative
// or NaN value. Infinity, or anything beyond 30 years, stands for "no limit" (nullopt).
std::optional<Clock::duration> seconds(double value, const char* what) {
    if (std::isnan(value) || value < 0) {
        throw nb::value_error((std::string(what) + " must be a number of seconds >= 0, got " + std::to_string(value)).c_str());
    }
    if (value > 1e9) return std::nullopt;  // also keeps time points from overflowing
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

double in_seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

NodeStatus tick_while_running(SequentialEngine& self, std::optional<std::int64_t> max_ticks, std::optional<double> timeout) {
    LoopLimits limits{max_ticks, std::nullopt};
    if (timeout) {
        if (const auto span = seconds(*timeout, "timeout")) limits.until = Clock::now() + *span;
    }
    return self.tick_while_running(limits);
}

constexpr const char* waiting_doc =
    " Between ticks the loop sleeps, without the GIL, until the tree has a reason to tick again: a node wakes it "
    "(an async action completing, TreeNode.wake()), a deadline of a Sleep, Delay or Timeout passes, "
    "set_blackboard_data is called, the loop is cancelled, or, while a plain action stays RUNNING or after the "
    "tree completed with the other status, the poll interval passes (see poll_interval). cancel() ends it: the tree is halted and TickLoopCancelled raised. "
    "Ctrl+C interrupts it on the main thread (the tree is halted first).";

std::string with_waiting(const char* doc) { return std::string(doc) + waiting_doc; }

}  // namespace

void bind_sequential_engine(nb::module_& m) {
    nb::class_<SequentialEngine> engine(
        m, "SequentialEngine",
        "One behavior tree and its blackboard, ticked on the calling thread.\n\n"
        "Register actions first, then build the tree; every other call raises BehaviorTreeError before a tree is "
        "built. The tree is driven by one thread at a time: a tick or reset while another thread ticks raises "
        "BehaviorTreeError. Ticking releases the GIL (Python actions take it for their tick function), so other "
        "Python threads run meanwhile.",
        nb::type_slots(tree_owner_slots<SequentialEngine>()));
    engine.def(nb::init<>(), "An engine with no tree, knowing every built-in node.")
        .def("register_action_behavior", &SequentialEngine::register_action_behavior, "action_id"_a, "tick_functor"_a,
             "ports_list"_a,
             "Registers an action: XML elements named action_id (or <Action ID=action_id>) call tick_functor(node) with "
             "the node's TreeNode handle on each tick. The function returns NodeStatus.SUCCESS, FAILURE or RUNNING "
             "(ticked again next tick; node.status() tells a continuation from a start); anything else raises "
             "NodeLogicError naming the node and the value. ports_list: a list of port records {\"name\", \"type\" "
             "(string, object, int, double, bool), \"direction\" (input, output, inout), \"description\"[, \"default\"]}. TypeError or "
             "ValueError for a bad record; ValueError when the id is already registered. The docstring of a Python "
             "function tick_functor is the action's description in BehaviorTreeFactory.tree_nodes_model.")
        .def(
            "register_action_class",
            [](SequentialEngine& self, ActionClass cls, const std::optional<std::string>& action_id) {
                return self.register_action_class(cls, action_id);
            },
            "cls"_a, "action_id"_a = nb::none(),
            "Registers a SimpleActionNode subclass: its static tick(node) and its class attribute ports, under "
            "action_id or else the class name; the class docstring, else that of tick, describes it. Returns the id.")
        .def(
            "create_tree_from_text",
            [](SequentialEngine& self, const DocumentArgument& xml_text, const std::optional<std::string>& main_tree) {
                const DocumentText text = document_text(xml_text);
                self.create_tree_from_text(text.data, text.encoding, main_tree);
            },
            "xml_text"_a, "main_tree"_a = nb::none(),
            "Builds the tree main_tree, else the document's main_tree_to_execute, else its only <BehaviorTree>, "
            "replacing any tree built before; bytes are decoded as the document's XML declaration says. Raises "
            "XmlParseError or TreeBuildError saying what is wrong and where.")
        .def_prop_rw(
            "document_limits", [](SequentialEngine& self) -> DocumentLimits& { return self.document_limits(); },
            [](SequentialEngine& self, const DocumentLimits& limits) { self.document_limits() = limits; },
            "The DocumentLimits of the trees this engine builds (changing its fields changes them).")
        .def(
            "create_tree_from_file",
            [](SequentialEngine& self, const std::filesystem::path& path, const std::optional<std::string>& main_tree) {
                self.create_tree_from_file(path.string(), main_tree);
            },
            "path"_a, "main_tree"_a = nb::none(),
            "As create_tree_from_text, reading the XML from a file (relative includes resolve against its folder).")
        .def("tick_once", &SequentialEngine::tick_once,
             "Ticks the tree once and returns the root's status. An exception raised by a tick function passes on "
             "unchanged, after every running node was halted.")
        .def(
            "tick_until_success", [](SequentialEngine& self) { return self.tick_until(NodeStatus::SUCCESS); },
            with_waiting("Ticks until the root returns SUCCESS; returns the number of ticks, the one that succeeded "
                         "included. Does not return while the tree never succeeds.")
                .c_str())
        .def(
            "tick_until_failure", [](SequentialEngine& self) { return self.tick_until(NodeStatus::FAILURE); },
            with_waiting("Ticks until the root returns FAILURE; returns the number of ticks, the one that failed "
                         "included.")
                .c_str())
        .def("tick_while_running", &tick_while_running, "max_ticks"_a = nb::none(), "timeout"_a = nb::none(),
             with_waiting("Ticks while the root returns RUNNING, at most max_ticks ticks (>= 1) and for at most "
                          "timeout seconds (no tick starts after it; at least one tick is run); returns the root's "
                          "last status, RUNNING when a limit was reached (the tree is left running, to be continued). "
                          "None: no limit.")
                 .c_str())
        .def("cancel", &SequentialEngine::cancel, "reason"_a,
             "Cancels the tick loops under way on this engine (tick_until_success, tick_until_failure, "
             "tick_while_running) from any thread: each ends at its next wait, or after the tick under way, halts "
             "the tree and raises TickLoopCancelled(reason). Returns False when no loop was running: a cancel "
             "never reaches a loop started after it.")
        .def_prop_rw(
            "poll_interval", [](const SequentialEngine& self) { return in_seconds(self.poll_interval()); },
            [](SequentialEngine& self, double value) {
                const auto interval = seconds(value, "poll_interval");
                if (!interval || *interval > std::chrono::minutes(1)) {
                    throw nb::value_error("poll_interval must be at most 60 seconds");
                }
                self.set_poll_interval(*interval);
            },
            "The longest, in seconds, a tick loop waits before ticking again a tree whose action stays RUNNING "
            "without waking it (default 0.02). The first wait is 100 microseconds, doubled after each poll up to "
            "this value. 0 ticks back to back, never waiting.")
        .def("tick_n_times", &SequentialEngine::tick_n_times, "n"_a,
             "Ticks n times; returns the root's status after each tick ([] for n <= 0).")
        .def("get_tree_status", &SequentialEngine::get_tree_status,
             "A new dict {\"status\": root NodeStatus, \"tick_count\": ticks since the tree was built or reset, "
             "\"nodes\": [{\"path\", \"name\", \"registration_id\", \"status\"}, ...]} with every node, parents first.")
        .def("get_blackboard_data", &SequentialEngine::get_blackboard_data, "key"_a,
             "The value of the root blackboard's entry (the object itself), or None when it was never written.")
        .def("set_blackboard_data", &SequentialEngine::set_blackboard_data, "key"_a, "value"_a.none(),
             "Writes the entry of the root blackboard; the object is stored as it is, not copied. Wakes a tick loop "
             "waiting on the tree.")
        .def("get_all_blackboard_data", &SequentialEngine::get_all_blackboard_data,
             "A new dict of every entry of the root blackboard.")
        .def("reset_tree", &SequentialEngine::reset_tree,
             "Halts what is running and sets every node back to IDLE; the blackboard is kept, the tick count restarts.")
        .def(
            "name_tree",
            [](const SequentialEngine& self, nb::handle owner, std::string name) {
                observe::name_tree(self.tree(), reinterpret_cast<std::uintptr_t>(owner.ptr()), std::move(name));
            },
            "owner"_a, "name"_a,
            "Names the tree built last for observers (morvlen.core.observe.live_trees) while it lives; owner is "
            "the object running the engine.");
}

}  // namespace morvlen::bt
