// Node paths as linked segments.
#include "morvlen/core/node_path.h"

#include <string_view>

namespace morvlen::bt {
namespace {

// FNV-1a, continued from `state`: the hash of a path extends its parent's.
constexpr std::uint64_t fnv_offset = 14695981039346656037ull;
constexpr std::uint64_t fnv_prime = 1099511628211ull;

std::uint64_t continued(std::uint64_t state, std::string_view text) noexcept {
    for (const char c : text) state = (state ^ static_cast<unsigned char>(c)) * fnv_prime;
    return state;
}

}  // namespace

NodePath NodePath::root(std::string segment) {
    const std::uint64_t hash = continued(fnv_offset, segment);
    const std::size_t length = segment.size();
    return NodePath(std::make_shared<const Link>(Link{nullptr, std::move(segment), hash, length}));
}

NodePath NodePath::child(std::string segment) const {
    if (!link_) return root(std::move(segment));
    const std::uint64_t hash = child_hash(segment);
    const std::size_t length = link_->length + 1 + segment.size();
    return NodePath(std::make_shared<const Link>(Link{link_, std::move(segment), hash, length}));
}

std::string NodePath::str() const {
    if (!link_) return {};
    std::string text(link_->length, '/');
    std::size_t end = text.size();
    for (const Link* link = link_.get(); link; link = link->parent.get()) {
        end -= link->segment.size();
        text.replace(end, link->segment.size(), link->segment);
        if (end > 0) --end;  // the "/" before it
    }
    return text;
}

std::uint64_t NodePath::hash() const noexcept { return link_ ? link_->hash : fnv_offset; }

std::uint64_t NodePath::child_hash(std::string_view segment) const noexcept {
    return link_ ? continued(continued(link_->hash, "/"), segment) : continued(fnv_offset, segment);
}

}  // namespace morvlen::bt
