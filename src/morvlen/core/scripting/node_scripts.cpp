// Compiling a node's scripts, and the pre- and post-condition rules.
#include "morvlen/core/scripting/node_scripts.h"

#include <algorithm>

#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/evaluator.h"
#include "morvlen/core/scripting/parser.h"
#include "morvlen/core/scripting/script_errors.h"
#include "morvlen/core/tree_node.h"
#include "morvlen/core/xml_document.h"

namespace morvlen::bt::scripting {
namespace {

ScriptPtr compile_attribute(std::string_view attribute, const std::string& text, const std::string& where) {
    try {
        return compile(text);
    } catch (const SyntaxFault& fault) {
        // The script on a line of its own, a caret under the offending token.
        throw ScriptSyntaxError("syntax error in " + std::string(attribute) + where + " at position " +
                                std::to_string(fault.position + 1) + ": " + fault.what() + "\n    " + text + "\n    " +
                                std::string(fault.position, ' ') + "^");
    }
}

}  // namespace

bool is_condition_attribute(std::string_view attribute) {
    return std::ranges::find(condition_attributes, attribute) != condition_attributes.end();
}

std::shared_ptr<const NodeScripts> compile_node_scripts(const XmlElement& element, const NodeManifest& manifest,
                                                        const std::string& where) {
    auto scripts = std::make_shared<NodeScripts>();
    bool any = false;
    for (std::size_t i = 0; i < condition_attributes.size(); ++i) {
        if (const auto* text = element.attribute(condition_attributes[i])) {
            scripts->conditions_[i] = compile_attribute("attribute " + std::string(condition_attributes[i]), *text, where);
            scripts->has_conditions_ = any = true;
        }
    }
    for (const PortInfo& port : manifest.ports) {
        const auto* text = element.attribute(port.name);
        if (port.type != PortType::Script || !text) continue;
        if (pointer_key(*text, port.name)) {
            throw ScriptSyntaxError("port '" + port.name + "' of " + manifest.id + " takes the script itself, not a "
                                    "blackboard entry (\"" + *text + "\")" + where);
        }
        scripts->ports_.emplace(port.name, compile_attribute("port '" + port.name + "'", *text, where));
        any = true;
    }
    return any ? scripts : nullptr;
}

const Script& NodeScripts::port(std::string_view port) const {
    const auto found = ports_.find(port);
    if (found == ports_.end()) throw BehaviorTreeError("no script compiled for port '" + std::string(port) + "'");
    return *found->second;
}

namespace {

// Evaluates the script and hands its value to `use`; a run-time fault becomes a
// ScriptError naming the node, where the script stands and its text.
template <class Use> auto evaluated(const TreeNode& node, std::string_view what, const Script& script, Use use) {
    Blackboard& board = node.kind() == NodeKind::SubTree ? *node.config().blackboard->parent()
                                                         : *node.config().blackboard;
    try {
        return use(evaluate(script, board));
    } catch (const EvaluationFault& fault) {
        throw ScriptError(node.registration_name() + " '" + node.full_path() + "' " + std::string(what) + "=\"" +
                          script.source + "\": " + fault.what());
    }
}

}  // namespace

Value run_script(const TreeNode& node, std::string_view what, const Script& script) {
    return evaluated(node, what, script, [](Value value) { return value; });
}

bool test_script(const TreeNode& node, std::string_view what, const Script& script) {
    return evaluated(node, what, script, [](const Value& value) { return truth(value); });
}

void NodeScripts::run(const TreeNode& node, Condition condition) const {
    const auto index = static_cast<std::size_t>(condition);
    if (const ScriptPtr& script = conditions_[index]) run_script(node, condition_attributes[index], *script);
}

bool NodeScripts::holds(const TreeNode& node, Condition condition) const {
    const auto index = static_cast<std::size_t>(condition);
    return test_script(node, condition_attributes[index], *conditions_[index]);
}

std::optional<NodeStatus> NodeScripts::check_pre(TreeNode& node) const {
    const auto set = [this](Condition c) { return conditions_[static_cast<std::size_t>(c)] != nullptr; };
    if (node.status() != NodeStatus::RUNNING) {
        if (set(Condition::FailureIf) && holds(node, Condition::FailureIf)) return NodeStatus::FAILURE;
        if (set(Condition::SuccessIf) && holds(node, Condition::SuccessIf)) return NodeStatus::SUCCESS;
        if (set(Condition::SkipIf) && holds(node, Condition::SkipIf)) return NodeStatus::SKIPPED;
        if (set(Condition::While) && !holds(node, Condition::While)) return NodeStatus::SKIPPED;
        return std::nullopt;
    }
    if (set(Condition::While) && !holds(node, Condition::While)) {
        node.halt_node();
        return NodeStatus::SKIPPED;
    }
    return std::nullopt;
}

void NodeScripts::run_post(const TreeNode& node, NodeStatus result) const {
    if (!is_completed(result)) return;
    run(node, result == NodeStatus::SUCCESS ? Condition::OnSuccess : Condition::OnFailure);
    run(node, Condition::Post);
}

void NodeScripts::run_halted(const TreeNode& node) const { run(node, Condition::OnHalted); }

}  // namespace morvlen::bt::scripting
