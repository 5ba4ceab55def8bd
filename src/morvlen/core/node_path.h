#pragma once
// A node's path in its tree ("MainTree/root/Fetch#2"), stored as its last segment
// and a link to the parent's path: memory stays linear in the number of nodes
// however deep they nest. The text is put together when asked for.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace morvlen::bt {

class NodePath {
public:
    NodePath() = default;  // the empty path
    // The path of a top-level segment (a tree ID).
    static NodePath root(std::string segment);
    // This path followed by "/" and `segment`.
    NodePath child(std::string segment) const;

    std::string str() const;
    bool empty() const noexcept { return !link_; }
    // A hash of str(), computed one segment at a time: equal paths hash equally.
    std::uint64_t hash() const noexcept;
    // child(segment).hash(), without making the child.
    std::uint64_t child_hash(std::string_view segment) const noexcept;

private:
    struct Link {
        std::shared_ptr<const Link> parent;
        std::string segment;
        std::uint64_t hash;
        std::size_t length;  // of the whole path text
    };
    explicit NodePath(std::shared_ptr<const Link> link) : link_(std::move(link)) {}

    std::shared_ptr<const Link> link_;
};

}  // namespace morvlen::bt
