// AlwaysSuccess, AlwaysFailure, SetBlackboard, UnsetBlackboard and Sleep.
#include <string>

#include <nanobind/nanobind.h>

#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/nodes/deadline.h"

namespace nb = nanobind;

namespace morvlen::bt::nodes {
namespace {

class ConstantLeaf final : public LeafNode {
public:
    ConstantLeaf(NodeConfig config, NodeStatus result) : LeafNode(std::move(config)), result_(result) {}

protected:
    NodeStatus tick() override { return result_; }

private:
    NodeStatus result_;
};

class SetBlackboard final : public LeafNode {
public:
    using LeafNode::LeafNode;

protected:
    NodeStatus tick() override {
        const std::string key = target_key();
        nb::gil_scoped_acquire gil;
        nb::object value = get_input<nb::object>("value");
        config().blackboard->set(key, std::move(value));
        return NodeStatus::SUCCESS;
    }

private:
    // output_key names the entry either as "{key}" or as the bare key.
    std::string target_key() const {
        if (auto key = port_key("output_key")) return *key;
        const auto& ports = config().ports;
        const auto text = ports.find("output_key");
        if (text == ports.end() || text->second.empty()) {
            throw PortError(error_prefix(*this) + "output_key is not set (name the entry to write, e.g. \"{key}\")");
        }
        return text->second;
    }
};

class UnsetBlackboard final : public LeafNode {
public:
    using LeafNode::LeafNode;

protected:
    // Removing an entry that does not exist is not an error: the entry is absent either way.
    NodeStatus tick() override {
        config().blackboard->unset(get_input<std::string>("key"));
        return NodeStatus::SUCCESS;
    }
};

class Sleep final : public LeafNode {
public:
    using LeafNode::LeafNode;

protected:
    NodeStatus tick() override {
        if (!deadline_.started()) {
            deadline_.start(read_msec(*this, "msec"), *this);
            return NodeStatus::RUNNING;
        }
        if (!deadline_.passed(*this)) return NodeStatus::RUNNING;
        deadline_.clear();
        return NodeStatus::SUCCESS;
    }
    void halt() override { deadline_.clear(); }
    bool wakes_tree() const noexcept override { return true; }  // through its deadline

private:
    Deadline deadline_;
};

}  // namespace

void register_leaf_nodes(NodeRegistry& registry) {
    for (const auto& [id, result] : {std::pair{"AlwaysSuccess", NodeStatus::SUCCESS}, std::pair{"AlwaysFailure", NodeStatus::FAILURE}}) {
        registry.add(action_manifest(id, std::string("Returns ") + std::string(to_string(result)) + " on every tick."),
                     [result](NodeConfig config) { return std::make_unique<ConstantLeaf>(std::move(config), result); });
    }
    registry.add<SetBlackboard>(action_manifest(
        "SetBlackboard",
        "Writes value into the blackboard entry named by output_key (given as \"{key}\" or as the bare key) and "
        "returns SUCCESS. A literal value is stored as a string; a value given as \"{other}\" copies that entry's "
        "object as it is.",
        {required(input_port("value", PortType::Object, std::nullopt, "the value to store: a literal or {key}")),
         required(inout_port("output_key", PortType::Object, "the entry to write"))}));
    registry.add<UnsetBlackboard>(action_manifest(
        "UnsetBlackboard",
        "Removes the blackboard entry named by key and returns SUCCESS, also when there was no such entry.",
        {required(input_port("key", PortType::String, std::nullopt, "name of the entry to remove"))}));
    registry.add<Sleep>(action_manifest(
        "Sleep",
        "Returns RUNNING until msec milliseconds have passed since its first tick, then SUCCESS. The first tick always "
        "returns RUNNING, even with 0. The time is checked on each tick (nothing sleeps); halting cancels the wait.",
        {required(input_port("msec", PortType::Int, std::nullopt, "milliseconds to wait"))}));
}

}  // namespace morvlen::bt::nodes
