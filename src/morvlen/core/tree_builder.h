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
    // Reads a document's trees, SubTree models and includes. `base_dir` resolves
    // relative include paths. Needs the GIL (includes are parsed).
    void add_document(XmlDocument document, const std::filesystem::path& base_dir);

    // Builds the tree named `main_tree`, or the document's main_tree_to_execute, or
    // the only tree defined. Needs the GIL (SubTree literals go to blackboards).
    std::shared_ptr<Tree> build(const NodeRegistry& registry, const std::optional<std::string>& main_tree = {}) const;

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

    friend class TreeInstantiator;
    std::deque<XmlDocument> documents_;  // a deque: definitions point into it
    std::map<std::string, Definition, std::less<>> trees_;
    std::vector<std::string> order_;
    std::map<std::string, std::map<std::string, std::string>, std::less<>> subtree_defaults_;
    std::optional<std::string> main_tree_;
    std::vector<std::filesystem::path> include_stack_;
};

}  // namespace morvlen::bt
