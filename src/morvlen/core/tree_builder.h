#pragma once
// From behavior-tree documents to a Tree: the document checks (root, format
// version, tree definitions, includes, SubTree model defaults) and the
// instantiation of the main tree with its SubTrees.

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "morvlen/core/tree.h"
#include "morvlen/core/xml_document.h"

namespace morvlen::bt {

// The <BehaviorTree> definitions of a document and of the documents it includes.
class TreeLibrary {
public:
    // Includes are read by `reader`, within its limits; it must outlive the library.
    explicit TreeLibrary(const XmlReader& reader) : reader_(reader) {}

    // Reads a document's trees, SubTree models and includes. `base_dir` resolves
    // relative include paths. Does not need the GIL.
    void add_document(XmlDocument document, const std::filesystem::path& base_dir);

    // The tree named `main_tree`, or the document's main_tree_to_execute, or the
    // only tree defined; TreeBuildError when it is over the reader's limits with its
    // SubTrees expanded. Does not need the GIL.
    std::string checked_main_tree(const std::optional<std::string>& main_tree) const;
    // Builds the tree `checked_main_tree` chose. Does not need the GIL: takes it only
    // where Python objects are made (SubTree literals written to blackboards). Node
    // builders are called without it.
    std::shared_ptr<Tree> build(const NodeRegistry& registry, const std::string& main_tree_id) const;

    std::vector<std::string> tree_ids() const { return order_; }

private:
    struct Definition {
        const XmlElement* element;
        std::string source;
    };
    void add_tree(const XmlElement& element, const std::string& source);
    void add_subtree_models(const XmlElement& model);
    void add_include(const XmlElement& include, const std::string& source, const std::filesystem::path& base_dir);
    std::string main_tree_id(const std::optional<std::string>& requested) const;
    // Defined in tree_expansion.cpp.
    void check_expansion(const std::string& main_tree_id) const;

    friend class TreeInstantiator;
    friend class TreeExpansion;
    const XmlReader& reader_;
    std::deque<XmlDocument> documents_;  // a deque: definitions point into it
    std::map<std::string, Definition, std::less<>> trees_;
    std::vector<std::string> order_;
    std::map<std::string, std::map<std::string, std::string>, std::less<>> subtree_defaults_;
    std::optional<std::string> main_tree_;
    std::vector<std::filesystem::path> include_stack_;
    std::int64_t included_bytes_ = 0;
};

}  // namespace morvlen::bt
