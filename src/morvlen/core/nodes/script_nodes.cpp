// Script, ScriptCondition and Precondition: the nodes that run scripts.
#include "morvlen/core/nodes/builtin_nodes.h"
#include "morvlen/core/scripting/node_scripts.h"

namespace morvlen::bt::nodes {
namespace {

// A node running the script compiled for one of its ports, looked up once when the
// node is built.
template <class Base> class ScriptedNode : public Base {
public:
    ScriptedNode(NodeConfig config, std::string_view port)
        : Base(std::move(config)), port_(port), script_(this->config().scripts->port(port)) {}

protected:
    scripting::Value run() const { return scripting::run_script(*this, port_, script_); }
    bool test() const { return scripting::test_script(*this, port_, script_); }

private:
    std::string_view port_;
    const scripting::Script& script_;  // owned by config().scripts
};

class Script final : public ScriptedNode<LeafNode> {
public:
    explicit Script(NodeConfig config) : ScriptedNode(std::move(config), "code") {}

protected:
    NodeStatus tick() override {
        run();
        return NodeStatus::SUCCESS;
    }
};

class ScriptCondition final : public ScriptedNode<LeafNode> {
public:
    explicit ScriptCondition(NodeConfig config) : ScriptedNode(std::move(config), "code") {}

protected:
    NodeStatus tick() override { return test() ? NodeStatus::SUCCESS : NodeStatus::FAILURE; }
};

class Precondition final : public ScriptedNode<DecoratorNode> {
public:
    explicit Precondition(NodeConfig config) : ScriptedNode(std::move(config), "if") {}

protected:
    NodeStatus tick() override {
        if (!test()) {
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
