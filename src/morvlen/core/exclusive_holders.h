#pragma once
// What an owner of trees, blackboards and registered functions may show to Python's
// garbage collector, and clear to break a reference cycle.
//
// Trees, factories and their Python objects share blackboards and tick functions
// through shared_ptr, while each holds the Python objects inside them only once.
// The rule: the Python references of a shared C++ object (a blackboard's entries, a
// tick function) are visited by tp_traverse, and dropped by tp_clear, only by an
// owner that holds every shared_ptr to that object itself, directly or through
// what it alone owns: the object's use_count equals the holders found inside the
// owner. So each reference is visited by at most one Python object, and clearing
// never empties a blackboard that an owner still alive uses. A cycle through two
// Python objects sharing one blackboard is not seen (it stays uncollected); no live
// object is ever reclaimed. Counts change only with the GIL held (ticks copy no
// shared_ptr), so every pass of a collection sees the same answer.
//
// Dropping one's own shared_ptr copies (a factory's registrations, an engine's
// tree) is always safe and needs none of this.

#include <map>
#include <vector>

#include <nanobind/nanobind.h>

#include "morvlen/core/python_ref.h"
#include "morvlen/core/tree.h"

namespace morvlen::bt {

class ExclusiveHolders {
public:
    // One holder of `board`, which has `uses` owners; the board's own pointer to
    // its parent is one holder of the parent.
    void add_board(Blackboard& board, long uses);
    void add_board(const Blackboard::Ptr& board) {
        if (board) add_board(*board, board.use_count());
    }
    void add_function(const PyRef& function);
    // One holder of `tree`, which has `uses` owners: what the tree holds counts
    // only when that holder is its only owner (then so do what its nodes alone hold).
    void add_tree(const Tree& tree, long uses);

    // Visits the entries of the boards and the functions held only here. Needs the GIL.
    int traverse(visitproc visit, void* arg) const;
    // Empties the boards held only here. Needs the GIL.
    void clear_boards() const;

private:
    struct Count {
        long found = 0;
        long uses = 0;
        bool exclusive() const noexcept { return found == uses; }
    };
    std::vector<Blackboard*> exclusive_boards() const;

    std::map<Blackboard*, Count> boards_;
    std::map<const nanobind::object*, Count> functions_;
    std::vector<const TreeNode*> nodes_;  // of trees held only here
};

}  // namespace morvlen::bt
