// Sizing a tree with its SubTrees expanded before building it. The node count and
// depth of a tree follow from those of the trees its SubTrees name, each worked
// out once, so a document whose SubTrees multiply is refused at once, before a
// node is allocated.
#include <map>

#include "morvlen/core/errors.h"
#include "morvlen/core/tree_builder.h"

namespace morvlen::bt {

class TreeExpansion {
public:
    explicit TreeExpansion(const TreeLibrary& library) : library_(library), limits_(library.reader_.limits()) {}

    void check(const std::string& tree_id) { extent_of(tree_id, 0); }

private:
    struct Extent {
        std::int64_t nodes = 0;
        std::int64_t depth = 0;  // levels, the tree's root node being the first
    };

    // The extent of tree `id` placed `above` levels below the main tree's top.
    Extent extent_of(const std::string& id, std::int64_t above) {
        const auto definition = library_.trees_.find(id);
        if (definition == library_.trees_.end()) return {};  // refused when built, with its place
        if (const auto known = known_.find(id); known != known_.end()) {
            // Unknown while being worked out: a recursive SubTree, refused when built.
            const Extent extent = known->second.value_or(Extent{});
            check_depth(id, above + extent.depth);
            return extent;
        }
        known_.emplace(id, std::nullopt);
        Extent extent;
        add(definition->second.element->children.front(), 1, above, id, extent);
        known_.insert_or_assign(id, extent);
        return extent;
    }

    void add(const XmlElement& element, std::int64_t level, std::int64_t above, const std::string& tree_id, Extent& extent) {
        check_depth(tree_id, above + level);
        extent.depth = std::max(extent.depth, level);
        extent.nodes += 1;
        if (element.tag == "SubTree") {
            if (const auto* id = element.attribute("ID")) {
                const Extent inner = extent_of(*id, above + level);
                extent.depth = std::max(extent.depth, level + inner.depth);
                extent.nodes += inner.nodes;
            }
        }
        for (const XmlElement& child : element.children) add(child, level + 1, above, tree_id, extent);
        if (extent.nodes > limits_.max_nodes) {
            throw TreeBuildError("tree '" + tree_id + "' holds " + over_limit("max_nodes", limits_.max_nodes) +
                                 " nodes once its SubTrees are expanded");
        }
    }

    void check_depth(const std::string& tree_id, std::int64_t depth) const {
        if (depth <= limits_.max_depth) return;
        throw TreeBuildError("nodes nest " + over_limit("max_depth", limits_.max_depth) +
                             " levels deep once the SubTrees are expanded (in tree '" + tree_id + "')");
    }

    const TreeLibrary& library_;
    const DocumentLimits& limits_;
    std::map<std::string, std::optional<Extent>, std::less<>> known_;
};

void TreeLibrary::check_expansion(const std::string& main_tree_id) const { TreeExpansion(*this).check(main_tree_id); }

}  // namespace morvlen::bt
