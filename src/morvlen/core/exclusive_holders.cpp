// Counting the holders of shared blackboards and functions inside one owner.
#include "morvlen/core/exclusive_holders.h"

#include <set>

namespace morvlen::bt {

void ExclusiveHolders::add_board(Blackboard& board, long uses) {
    auto [count, first] = boards_.try_emplace(&board);
    ++count->second.found;
    count->second.uses = uses;
    if (first) add_board(board.parent_ptr());
}

void ExclusiveHolders::add_function(const PyRef& function) {
    if (!function) return;
    Count& count = functions_[function.get()];
    ++count.found;
    count.uses = function.use_count();
}

void ExclusiveHolders::add_tree(const Tree& tree, long uses) {
    if (uses != 1) return;
    add_board(tree.blackboard());
    for (const TreeNode* node : tree.nodes()) {
        add_board(node->config().blackboard);
        if (const PyRef* function = node->python_function()) add_function(*function);
        nodes_.push_back(node);
    }
}

std::vector<Blackboard*> ExclusiveHolders::exclusive_boards() const {
    // A board held from outside keeps its ancestors alive for that holder too.
    std::set<const Blackboard*> shared;
    for (const auto& [board, count] : boards_) {
        if (count.exclusive()) continue;
        for (const Blackboard* held = board; held && shared.insert(held).second; held = held->parent()) {
        }
    }
    std::vector<Blackboard*> result;
    for (const auto& [board, count] : boards_) {
        if (!shared.contains(board)) result.push_back(board);
    }
    return result;
}

int ExclusiveHolders::traverse(visitproc visit, void* arg) const {
    for (const Blackboard* board : exclusive_boards()) {
        if (const int found = board->visit_entries(visit, arg)) return found;
    }
    for (const auto& [function, count] : functions_) {
        if (count.exclusive()) Py_VISIT(function->ptr());
    }
    for (const TreeNode* node : nodes_) {
        if (const int found = node->traverse_own(visit, arg)) return found;
    }
    return 0;
}

void ExclusiveHolders::clear_boards() const {
    for (Blackboard* board : exclusive_boards()) board->clear_entries();
}

}  // namespace morvlen::bt
