#pragma once
// The factory: the node types a program knows (built-ins and registered actions)
// and the building of trees from XML text or files.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvlen/core/exclusive_holders.h"
#include "morvlen/core/python_ref.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt {

class BehaviorTreeFactory {
public:
    BehaviorTreeFactory() = default;  // knows every built-in node
    BehaviorTreeFactory(const BehaviorTreeFactory&) = delete;
    BehaviorTreeFactory& operator=(const BehaviorTreeFactory&) = delete;

    NodeRegistry& registry() noexcept { return registry_; }
    const NodeRegistry& registry() const noexcept { return registry_; }

    // Build the main tree of a document (`main_tree`, else main_tree_to_execute,
    // else its only tree). Need the GIL. Relative includes resolve against the
    // working directory for text, against the file's directory for files.
    std::shared_ptr<Tree> create_tree_from_text(std::string_view xml_text, const std::optional<std::string>& main_tree = {}) const;
    std::shared_ptr<Tree> create_tree_from_file(const std::string& path, const std::optional<std::string>& main_tree = {}) const;

    std::vector<std::string> registered_ids() const { return registry_.ids(); }
    // A <root BTCPP_format="4"><TreeNodesModel> document describing every
    // registered node type and its ports. A node's description is the text of a
    // <description> child placed before its ports (port descriptions are the ports'
    // text): an element rather than an attribute keeps multi-line texts readable,
    // and readers of the model take ports by their tags. Needs the GIL.
    std::string tree_nodes_model(bool include_builtins = false) const;

    // Python objects held by registrations (tick functions), so that the garbage
    // collector can see them: a tick function often refers back to the owner.
    void hold(PyRef object) { held_.push_back(std::move(object)); }
    // Counts them as held by the owner of this factory (see ExclusiveHolders).
    void add_held_to(ExclusiveHolders& holders) const;
    int traverse(visitproc visit, void* arg) const;
    // Drops them (garbage collection of a cycle); their node types can no longer be built.
    void release_held() noexcept { held_.clear(); }
    void clear() noexcept { release_held(); }

private:
    NodeRegistry registry_{&NodeRegistry::builtins()};  // holds only the registered actions
    std::vector<PyRef> held_;
};

}  // namespace morvlen::bt
