// IfThenElse, WhileDoElse and Switch2..Switch6: controls that pick one child to run.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include <nanobind/nanobind.h>

#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/enum_registry.h"

namespace nb = nanobind;

namespace morvlen::bt::nodes {
namespace {

constexpr std::size_t kNoBranch = static_cast<std::size_t>(-1);

// Condition decided once, then the chosen branch runs to completion.
class IfThenElse final : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    NodeStatus tick() override {
        set_status(NodeStatus::RUNNING);
        if (branch_ == kNoBranch) {
            const NodeStatus condition = child(0).execute_tick();
            if (condition == NodeStatus::RUNNING) return condition;
            // A skipped condition skips the whole node: neither branch applies.
            if (condition == NodeStatus::SKIPPED) return finish(condition);
            if (condition == NodeStatus::FAILURE && child_count() < 3) return finish(condition);
            branch_ = condition == NodeStatus::SUCCESS ? 1 : 2;
        }
        const NodeStatus status = child(branch_).execute_tick();
        return status == NodeStatus::RUNNING ? status : finish(status);
    }
    void halt() override {
        branch_ = kNoBranch;
        ControlNode::halt();
    }

private:
    NodeStatus finish(NodeStatus result) {
        halt_children();
        branch_ = kNoBranch;
        return result;
    }
    std::size_t branch_ = kNoBranch;
};

// The condition is ticked on every tick and may switch the running branch.
class WhileDoElse final : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    NodeStatus tick() override {
        set_status(NodeStatus::RUNNING);
        const NodeStatus condition = child(0).execute_tick();
        // A condition that is still running leaves the branches as they are.
        if (condition == NodeStatus::RUNNING) return condition;
        halt_child(0);  // evaluated afresh on the next tick
        if (condition == NodeStatus::SKIPPED) return finish(condition);
        const std::size_t chosen = condition == NodeStatus::SUCCESS ? 1 : 2;
        const std::size_t other = chosen == 1 ? 2 : 1;
        if (other < child_count()) halt_child(other);
        if (chosen >= child_count()) return finish(NodeStatus::FAILURE);
        const NodeStatus status = child(chosen).execute_tick();
        return status == NodeStatus::RUNNING ? status : finish(status);
    }

private:
    NodeStatus finish(NodeStatus result) {
        halt_children();
        return result;
    }
};

// A value as SwitchN compares it: numbers by value (a registered script enum's name
// stands for its number), booleans by truth, the rest as text.
struct CaseValue {
    std::string text;
    std::optional<double> number;
    std::optional<bool> boolean;

    static CaseValue of(const nb::handle& value) {
        if (nb::isinstance<nb::bool_>(value)) {
            const bool truth = nb::cast<bool>(value);
            return {truth ? "true" : "false", std::nullopt, truth};
        }
        std::string text = nb::str(value).c_str();
        if (nb::isinstance<nb::int_>(value) || nb::isinstance<nb::float_>(value)) {
            return {text, PyFloat_AsDouble(value.ptr()), std::nullopt};
        }
        auto number = parse_double(text);
        if (const auto enumerated = number ? std::nullopt : scripting::enum_value(text)) number = static_cast<double>(*enumerated);
        return {std::move(text), number, std::nullopt};
    }

    bool matches(const CaseValue& other) const {
        if (boolean || other.boolean) {
            const auto mine = boolean ? boolean : parse_bool(text);
            const auto theirs = other.boolean ? other.boolean : parse_bool(other.text);
            return mine && theirs && *mine == *theirs;
        }
        if (number && other.number) return *number == *other.number;
        return text == other.text;
    }
};

template <std::size_t N> class Switch final : public ControlNode {
public:
    using ControlNode::ControlNode;

protected:
    NodeStatus tick() override {
        const std::size_t selected = select();
        set_status(NodeStatus::RUNNING);
        if (running_ != kNoBranch && running_ != selected) halt_child(running_);
        running_ = kNoBranch;
        const NodeStatus status = child(selected).execute_tick();
        if (status == NodeStatus::RUNNING) {
            running_ = selected;
            return status;
        }
        halt_children();
        return status;
    }
    void halt() override {
        running_ = kNoBranch;
        ControlNode::halt();
    }

private:
    // Index of the first case equal to the variable; the default child (index N)
    // when none is, when the variable's entry was never written, or for unset cases.
    std::size_t select() const {
        nb::gil_scoped_acquire gil;
        const auto variable = try_get_input<nb::object>("variable");
        if (!variable) return N;
        const CaseValue value = CaseValue::of(*variable);
        for (std::size_t i = 0; i < N; ++i) {
            const auto case_value = try_get_input<nb::object>("case_" + std::to_string(i + 1));
            if (case_value && value.matches(CaseValue::of(*case_value))) return i;
        }
        return N;
    }

    std::size_t running_ = kNoBranch;
};

template <std::size_t N> NodeManifest switch_manifest() {
    PortList ports{required(input_port("variable", PortType::Object, std::nullopt, "the value compared with the cases, usually {key}"))};
    for (std::size_t i = 1; i <= N; ++i) {
        ports.push_back(input_port("case_" + std::to_string(i), PortType::Object, std::nullopt,
                                   "selects child " + std::to_string(i) + " when equal to the variable"));
    }
    return control_manifest(
        "Switch" + std::to_string(N),
        "Has exactly " + std::to_string(N + 1) +
            " children. On each tick compares variable with case_1, case_2, ... in order and ticks the child of the "
            "first equal case, or the last child (the default) when none is equal; returns that child's status. "
            "Numbers compare by value (\"2\" equals 2.0; the name of a registered script enum stands for its value), "
            "booleans by truth, anything else as text. A variable whose "
            "entry was never written, and a case that is not set, match nothing. When the selected child changes "
            "while another child is RUNNING, the running one is halted first.",
        std::move(ports), static_cast<int>(N + 1), static_cast<int>(N + 1));
}

template <std::size_t... Ns> void register_switches(NodeRegistry& registry, std::index_sequence<Ns...>) {
    (registry.add<Switch<Ns + 2>>(switch_manifest<Ns + 2>()), ...);
}

}  // namespace

void register_branch_nodes(NodeRegistry& registry) {
    registry.add<IfThenElse>(control_manifest(
        "IfThenElse",
        "Has two or three children: a condition, a then-branch and an optional else-branch. Ticks the condition "
        "(again on later ticks while it is RUNNING); on SUCCESS ticks the then-branch, on FAILURE the else-branch, "
        "or returns FAILURE when there is none. Once a branch is chosen it is ticked until it completes without "
        "re-evaluating the condition, and its status is returned. A SKIPPED condition makes the node SKIPPED.",
        {}, 2, 3));
    registry.add<WhileDoElse>(control_manifest(
        "WhileDoElse",
        "Has two or three children: a condition, a do-branch and an optional else-branch. The condition is ticked on "
        "every tick: on SUCCESS the else-branch is halted and the do-branch ticked, on FAILURE the do-branch is "
        "halted and the else-branch ticked (with no else-branch the node returns FAILURE). Returns the ticked "
        "branch's status. A RUNNING condition returns RUNNING and leaves the branches as they are; a SKIPPED "
        "condition halts the branches and makes the node SKIPPED.",
        {}, 2, 3));
    register_switches(registry, std::make_index_sequence<5>{});
}

}  // namespace morvlen::bt::nodes
