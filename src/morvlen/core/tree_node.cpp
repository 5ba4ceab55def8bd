// Node base classes: ticking, halting and port access; the node registry.
#include "morvlen/core/tree_node.h"

#include <algorithm>
#include <iterator>

#include <nanobind/stl/string.h>

#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/node_scripts.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// "Sequence 'MainTree/root/Sequence#1' port 'x': "
std::string port_prefix(const TreeNode& node, std::string_view port) {
    return node.registration_name() + " '" + node.full_path() + "' port '" + std::string(port) + "': ";
}

const PortInfo* find_port(const NodeManifest& manifest, std::string_view port) {
    const auto found = std::ranges::find(manifest.ports, port, &PortInfo::name);
    return found == manifest.ports.end() ? nullptr : &*found;
}

template <class T> constexpr std::string_view wanted_name() {
    if constexpr (std::is_same_v<T, std::int64_t>) return "an int";
    else if constexpr (std::is_same_v<T, double>) return "a double";
    else if constexpr (std::is_same_v<T, bool>) return "a bool (true/false/1/0)";
    else if constexpr (std::is_same_v<T, NodeStatus>) return "a status (SUCCESS, FAILURE, RUNNING, SKIPPED, IDLE)";
    else if constexpr (std::is_same_v<T, std::vector<std::string>>) return "a queue (\"a;b;c\", list or tuple)";
    else return "convertible";
}

// What an entry read as T had to be: an object is converted by the port's declared
// type, so that type is named.
template <class T> std::string wanted(const PortInfo& info) {
    if constexpr (std::is_same_v<T, nb::object>) {
        if (info.type != PortType::Object) return "a valid " + std::string(to_string(info.type));
    }
    return std::string(wanted_name<T>());
}

// Leaves are where a tree waits; controls and decorators are RUNNING because of them.
constexpr bool is_leaf_kind(NodeKind kind) noexcept { return kind == NodeKind::Action || kind == NodeKind::Condition; }

}  // namespace

TreeNode::TreeNode(NodeConfig config) : config_(std::move(config)) {
    if (!config_.wake_signal) config_.wake_signal = std::make_shared<WakeSignal>();
    // A node with script ports only runs them itself; conditions wrap every tick.
    if (config_.scripts && config_.scripts->has_conditions()) hooks_.store(kConditions, std::memory_order_relaxed);
}

TreeNode::~TreeNode() = default;

void TreeNode::attach_probe(observe::NodeProbe* probe) noexcept {
    // The probe lives as long as the tree, so a tick under way may go on
    // recording through it after a detach.
    probe_.store(probe, std::memory_order_release);
    settled_out_of_line_.store(probe ? NodeStatus::SKIPPED : NodeStatus::RUNNING, std::memory_order_relaxed);
    if (probe) hooks_.fetch_or(kObserved, std::memory_order_release);
    else hooks_.fetch_and(static_cast<std::uint8_t>(~kObserved), std::memory_order_release);
}

void TreeNode::refuse_idle_result() const {
    throw NodeLogicError(registration_name() + " '" + full_path() + "': tick returned IDLE, which is never a result");
}

// The rare steps are kept out of line (noinline), so that the small functions that
// call them (settle_result, halt_node_hooked) reach them by a jump and save no registers.
[[gnu::noinline]] NodeStatus TreeNode::settle_unfinished(NodeStatus result) {
    if (result == NodeStatus::IDLE) refuse_idle_result();
    change_status<observe::Change::Tick>(result);
    if (is_leaf_kind(kind()) && !wakes_tree()) config_.wake_signal->request_poll();
    return result;
}

// Out of line and small, so that the common case saves no registers.
NodeStatus TreeNode::settle_result(NodeStatus result) {
    if (result <= NodeStatus::RUNNING) [[unlikely]] return settle_unfinished(result);
    change_status<observe::Change::Tick>(result);
    return result;
}

[[gnu::noinline]] NodeStatus TreeNode::execute_tick_with_conditions() {
    const scripting::NodeScripts& scripts = *config_.scripts;
    if (const auto decided = scripts.check_pre(*this)) {
        change_status<observe::Change::Tick>(*decided);
        return *decided;
    }
    const NodeStatus result = settle_result(tick());
    scripts.run_post(*this, result);
    return result;
}

void TreeNode::halt_node_hooked() {
    if (status() == NodeStatus::RUNNING) [[unlikely]] {
        halt_running();
        return;
    }
    change_status<observe::Change::Halt>(NodeStatus::IDLE);
}

[[gnu::noinline]] void TreeNode::halt_running() {
    {
        // IDLE afterwards even when halt() raises, so that nothing halts the node twice.
        struct Idle {
            TreeNode& node;
            ~Idle() { node.change_status<observe::Change::Halt>(NodeStatus::IDLE); }
        } idle{*this};
        halt();
    }
    if (hooks_.load(std::memory_order_relaxed) & kConditions) config_.scripts->run_halted(*this);
}

std::optional<std::string> TreeNode::port_key(std::string_view port) const {
    const auto text = config_.ports.find(port);
    if (text == config_.ports.end()) return std::nullopt;
    return pointer_key(text->second, port);
}

template <class T> std::optional<T> TreeNode::try_get_input(std::string_view port) const {
    const PortInfo* info = find_port(*config_.manifest, port);
    if (!info) throw PortError(port_prefix(*this, port) + "no such port");
    if (info->direction == PortDirection::Output) throw PortError(port_prefix(*this, port) + "is an output port, it cannot be read");
    const auto text = config_.ports.find(port);
    if (text == config_.ports.end()) return std::nullopt;

    if (const auto key = pointer_key(text->second, port)) {
        nb::gil_scoped_acquire gil;
        const auto value = config_.blackboard->get(*key);
        if (!value) return std::nullopt;
        std::optional<T> converted;
        if constexpr (std::is_same_v<T, nb::object>) {
            // A str entry read through a scalar-typed port is converted like a literal
            // (SubTree literals arrive as text); a queue entry is handed over as it is.
            const bool typed = info->type != PortType::String && info->type != PortType::Object && info->type != PortType::Queue;
            converted = typed && nb::isinstance<nb::str>(*value)
                            ? object_from_text(nb::cast<std::string>(*value), info->type)
                            : value;
        } else {
            converted = value_from_object<T>(*value);
        }
        if (!converted) {
            throw PortError(port_prefix(*this, port) + "blackboard entry '" + *key + "' holds " + describe(*value) +
                            ", which is not " + wanted<T>(*info));
        }
        return converted;
    }

    std::optional<T> converted;
    if constexpr (std::is_same_v<T, nb::object>) {
        nb::gil_scoped_acquire gil;
        converted = object_from_text(text->second, info->type);
    } else {
        converted = value_from_text<T>(text->second);
    }
    if (!converted) {
        throw PortError(port_prefix(*this, port) + "\"" + text->second + "\" is not " +
                        std::string(info->type == PortType::Object ? wanted_name<T>() : "a valid " + std::string(to_string(info->type))));
    }
    return converted;
}

template <class T> T TreeNode::get_input(std::string_view port) const {
    if (auto value = try_get_input<T>(port)) return std::move(*value);
    const auto key = port_key(port);
    if (!key) throw PortError(port_prefix(*this, port) + "not set (no attribute and no default)");
    throw PortError(port_prefix(*this, port) + "blackboard entry '" + *key + "' was never written");
}

void TreeNode::set_output(std::string_view port, nb::object value) {
    const PortInfo* info = find_port(*config_.manifest, port);
    if (!info) throw PortError(port_prefix(*this, port) + "no such port");
    if (info->direction == PortDirection::Input) throw PortError(port_prefix(*this, port) + "is an input port, it cannot be written");
    const auto key = port_key(port);
    if (!key) {
        throw PortError(port_prefix(*this, port) + "not mapped to a blackboard entry (write the attribute as \"{key}\")");
    }
    config_.blackboard->set(*key, std::move(value));
}

#define MORVLEN_PORT_READERS(T)                                                  \
    template T TreeNode::get_input<T>(std::string_view) const;                   \
    template std::optional<T> TreeNode::try_get_input<T>(std::string_view) const;
MORVLEN_PORT_READERS(std::string)
MORVLEN_PORT_READERS(std::int64_t)
MORVLEN_PORT_READERS(double)
MORVLEN_PORT_READERS(bool)
MORVLEN_PORT_READERS(NodeStatus)
MORVLEN_PORT_READERS(nb::object)
MORVLEN_PORT_READERS(std::vector<std::string>)
#undef MORVLEN_PORT_READERS

std::vector<TreeNode*> ControlNode::children() const {
    std::vector<TreeNode*> result;
    result.reserve(children_.size());
    for (const auto& child : children_) result.push_back(child.get());
    return result;
}

void ControlNode::halt_children(size_t first) {
    for (size_t i = first; i < children_.size(); ++i) children_[i]->halt_node();
}

std::vector<TreeNode*> DecoratorNode::children() const {
    if (!child_) return {};
    return {child_.get()};
}

void NodeRegistry::add(NodeManifest manifest, NodeBuilder builder) {
    if (find(manifest.id)) throw TreeBuildError("node id '" + manifest.id + "' is already registered");
    std::string id = manifest.id;
    auto shared = std::make_shared<const NodeManifest>(std::move(manifest));
    order_.push_back(shared.get());
    entries_.emplace(std::move(id), Entry{std::move(shared), std::move(builder)});
}

const NodeRegistry::Entry* NodeRegistry::find(std::string_view id) const {
    if (const auto found = entries_.find(id); found != entries_.end()) return &found->second;
    return base_ ? base_->find(id) : nullptr;
}

const NodeManifest* NodeRegistry::manifest(std::string_view id) const {
    const Entry* entry = find(id);
    return entry ? entry->manifest.get() : nullptr;
}

std::unique_ptr<TreeNode> NodeRegistry::build(std::string_view id, NodeConfig config) const {
    const Entry* entry = find(id);
    if (!entry) throw TreeBuildError("unknown node id '" + std::string(id) + "'");
    config.manifest = entry->manifest;
    return entry->builder(std::move(config));
}

std::vector<std::string> NodeRegistry::ids() const {
    std::vector<std::string> result = base_ ? base_->ids() : std::vector<std::string>{};
    std::ranges::move(own_ids(), std::back_inserter(result));
    return result;
}

std::vector<std::string> NodeRegistry::own_ids() const {
    std::vector<std::string> result;
    std::ranges::transform(order_, std::back_inserter(result), &NodeManifest::id);
    return result;
}

}  // namespace morvlen::bt
