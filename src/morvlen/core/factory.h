#pragma once
// The factory: the node types a program knows (built-ins and registered actions)
// and the building of trees from XML text or files.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvlen/core/document_limits.h"
#include "morvlen/core/exclusive_holders.h"
#include "morvlen/core/python_ref.h"
#include "morvlen/core/tree.h"
#include "morvlen/core/xml_document.h"

namespace morvlen::bt {

class BehaviorTreeFactory {
public:
    BehaviorTreeFactory() = default;  // knows every built-in node
    BehaviorTreeFactory(const BehaviorTreeFactory&) = delete;
    BehaviorTreeFactory& operator=(const BehaviorTreeFactory&) = delete;

    // For registrations. Builds read the registry without the GIL: while one runs,
    // on any thread, this raises BehaviorTreeError rather than change it under it.
    NodeRegistry& registry();
    const NodeRegistry& registry() const noexcept { return registry_; }

    // Build the main tree of a document (`main_tree`, else main_tree_to_execute,
    // else its only tree), within the document limits. Need the GIL, and release it
    // while the document is read and checked. Relative includes resolve against the
    // include directory or else the working directory for text, against the file's
    // directory for files. A file that cannot be opened raises the interpreter's
    // OSError (FileNotFoundError, ...).
    std::shared_ptr<Tree> create_tree_from_text(std::string_view xml_text, TextEncoding encoding,
                                                const std::optional<std::string>& main_tree = {}) const;
    std::shared_ptr<Tree> create_tree_from_file(const std::string& path, const std::optional<std::string>& main_tree = {}) const;

    DocumentLimits& document_limits() noexcept { return limits_; }

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
    DocumentLimits limits_;
    mutable std::atomic<int> builds_{0};  // changed with the GIL held
    std::vector<PyRef> held_;
};

}  // namespace morvlen::bt
