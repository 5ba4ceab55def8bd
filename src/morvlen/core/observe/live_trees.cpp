// The registry of named live trees.
#include "morvlen/core/observe/live_trees.h"

#include <algorithm>
#include <mutex>

namespace morvlen::bt::observe {
namespace {

struct Entry {
    std::weak_ptr<Tree> tree;
    const Tree* address;  // for finding the entry, never dereferenced
    std::uintptr_t owner;
    std::string name;
};

struct Registry {
    std::mutex mutex;
    std::vector<Entry> entries;

    void prune() {
        std::erase_if(entries, [](const Entry& entry) { return entry.tree.expired(); });
    }
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

void name_tree(const std::shared_ptr<Tree>& tree, std::uintptr_t owner, std::string name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.prune();
    const auto found = std::ranges::find(r.entries, tree.get(), &Entry::address);
    if (found != r.entries.end()) {
        found->owner = owner;
        found->name = std::move(name);
        return;
    }
    r.entries.push_back({tree, tree.get(), owner, std::move(name)});
}

std::vector<LiveTree> live_trees(std::uintptr_t owner) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.prune();
    std::vector<LiveTree> result;
    for (const Entry& entry : r.entries) {
        if (owner != 0 && entry.owner != owner) continue;
        if (auto tree = entry.tree.lock()) result.push_back({std::move(tree), entry.owner, entry.name});
    }
    return result;
}

std::string name_of(const Tree& tree) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto found = std::ranges::find(r.entries, &tree, &Entry::address);
    return found != r.entries.end() && !found->tree.expired() ? found->name : tree.id();
}

}  // namespace morvlen::bt::observe
