#pragma once
// The process's trees that their runners named for observers, held weakly: a
// monitor finds them here without asking their runners for anything.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "morvlen/core/tree.h"

namespace morvlen::bt::observe {

struct LiveTree {
    std::shared_ptr<Tree> tree;
    std::uintptr_t owner = 0;  // identity of the object running it (not a reference)
    std::string name;          // the runner's name for the tree
};

// Names `tree` for observers until it is destroyed; naming it again replaces the name.
void name_tree(const std::shared_ptr<Tree>& tree, std::uintptr_t owner, std::string name);
// Trees still alive, in the order they were named; only those of `owner` unless 0.
std::vector<LiveTree> live_trees(std::uintptr_t owner = 0);
// The name given to `tree`, else its ID.
std::string name_of(const Tree& tree);

}  // namespace morvlen::bt::observe
