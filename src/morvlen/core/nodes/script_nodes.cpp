// Script, ScriptCondition and Precondition: the nodes that run scripts.
#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/scripting/node_scripts.h"

namespace morvlen::bt::nodes {
namespace {

const scripting::Script& script_port(const TreeNode& node, std::string_view port) {
    return node.config().scripts->port(port);
}

class Script final : public LeafNode {
public:
    using LeafNode::LeafNode;

protected:
    NodeStatus tick() override {
        scripting::run_script(*this, "code", script_port(*this, "code"));
        return NodeStatus::SUCCESS;
    }
};

class ScriptCondition final : public LeafNode {
public:
    using LeafNode::LeafNode;

protected:
    NodeStatus tick() override {
        return scripting::test_script(*this, "code", script_port(*this, "code")) ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
    }
};

class Precondition final : public DecoratorNode {
public:
    using DecoratorNode::DecoratorNode;

protected:
    NodeStatus tick() override {
        if (!scripting::test_script(*this, "if", script_port(*this, "if"))) {
            halt_child();  // a running child is stopped; a completed one reset
            return get_input<NodeStatus>("else");
        }
        set_status(NodeStatus::RUNNING);
        const NodeStatus status = child().execute_tick();
        if (status != NodeStatus::RUNNING) halt_child();
        return status;
    }
};

}  // namespace

void register_script_nodes(NodeRegistry& registry) {
    registry.add<Script>(action_manifest(
        "Script",
        "Runs the script in code (statements separated by ';') and returns SUCCESS. A run-time error in the script "
        "(unknown variable, wrong operand types, division by zero) raises ScriptError out of the tick.",
        {required(input_port("code", PortType::Script, std::nullopt, "the script to run"))}));
    registry.add<ScriptCondition>(NodeManifest{
        "ScriptCondition", NodeKind::Condition,
        {required(input_port("code", PortType::Script, std::nullopt, "the condition: the value of its last statement"))},
        "Runs the script in code and returns SUCCESS when the value of its last statement is true (a non-zero "
        "number, true, or a string holding true or 1), else FAILURE. Other strings raise ScriptError.",
        0, 0});
    registry.add<Precondition>(decorator_manifest(
        "Precondition",
        "Evaluates the script in if on every tick, also while its child is RUNNING. True: ticks the child and returns "
        "its status. False: halts the child if it is RUNNING and returns the else status (default FAILURE; RUNNING "
        "waits, SKIPPED passes the node over).",
        {required(input_port("if", PortType::Script, std::nullopt, "the condition, evaluated on every tick")),
         input_port("else", PortType::Status, "FAILURE", "the status returned while the condition is false")}));
}

}  // namespace morvlen::bt::nodes
