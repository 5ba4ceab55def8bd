#pragma once
// The scripts of one node: its condition attributes (_skipIf, _onSuccess, ...) and
// its script ports (Script's code, Precondition's if), compiled when the tree is
// built, and the pre- and post-condition rules TreeNode applies around a tick.

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "morvlen/core/scripting/compiled_script.h"
#include "morvlen/core/status.h"

namespace morvlen::bt {

class TreeNode;
struct XmlElement;
struct NodeManifest;

namespace scripting {

// Pre-conditions first, in the order they are checked.
enum class Condition : std::uint8_t { FailureIf, SuccessIf, SkipIf, While, OnSuccess, OnFailure, Post, OnHalted };
inline constexpr std::array<std::string_view, 8> condition_attributes{
    "_failureIf", "_successIf", "_skipIf", "_while", "_onSuccess", "_onFailure", "_post", "_onHalted"};

bool is_condition_attribute(std::string_view attribute);

class NodeScripts {
public:
    // The status that decides this tick without ticking the node, when a
    // pre-condition fires. _failureIf, _successIf and _skipIf are checked when the
    // node starts (its status is not RUNNING); _while also on every tick while it
    // runs, and a false _while halts a running node. Either way: SKIPPED.
    std::optional<NodeStatus> check_pre(TreeNode& node) const;
    // _onSuccess or _onFailure, then _post, after a tick that completed the node.
    void run_post(const TreeNode& node, NodeStatus result) const;
    // _onHalted, after a RUNNING node was halted.
    void run_halted(const TreeNode& node) const;

    bool has_conditions() const noexcept { return has_conditions_; }
    // The compiled script port `port`; BehaviorTreeError when there is none.
    const Script& port(std::string_view port) const;

private:
    friend std::shared_ptr<const NodeScripts> compile_node_scripts(const XmlElement&, const NodeManifest&,
                                                                   const std::string&);
    void run(const TreeNode& node, Condition condition) const;
    bool holds(const TreeNode& node, Condition condition) const;

    std::array<ScriptPtr, condition_attributes.size()> conditions_;
    bool has_conditions_ = false;
    std::map<std::string, ScriptPtr, std::less<>> ports_;
};

// Compiles the element's condition attributes and the literal texts of its ports
// of type script; nullptr when it has neither. ScriptSyntaxError naming the
// attribute, `where` (tree, element, line) and the position in the script.
std::shared_ptr<const NodeScripts> compile_node_scripts(const XmlElement& element, const NodeManifest& manifest,
                                                        const std::string& where);

// Runs one of `node`'s scripts (`what`: the attribute or port holding it) on the
// node's blackboard (a SubTree's conditions: on the blackboard it stands in).
// ScriptError naming the node path, `what` and the script text.
Value run_script(const TreeNode& node, std::string_view what, const Script& script);
// As run_script, the value taken as a condition (see truth()).
bool test_script(const TreeNode& node, std::string_view what, const Script& script);

}  // namespace scripting
}  // namespace morvlen::bt
