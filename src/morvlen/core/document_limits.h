#pragma once
// The bounds a behavior-tree document is read and built within: one place that
// knows every limit, its default and how an overrun is worded. A document over a
// limit is refused before the memory it would take is allocated.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace morvlen::bt {

struct DocumentLimits {
    // Building, ticking, halting and tearing down a tree recurse once per level of
    // nesting; the ceiling keeps the deepest allowed tree well within a thread's stack.
    static constexpr std::int64_t default_max_depth = 1'000;
    static constexpr std::int64_t depth_ceiling = 5'000;
    static constexpr std::int64_t default_max_nodes = 1'000'000;
    static constexpr std::int64_t default_max_file_bytes = std::int64_t{64} << 20;

    // Nesting of elements in a document, and of nodes in a tree with its SubTrees expanded.
    std::int64_t max_depth = default_max_depth;
    // Nodes of a built tree, every SubTree expanded; elements of a document.
    std::int64_t max_nodes = default_max_nodes;
    // Size of a document file, the one built from and each one included, and of
    // the included ones together.
    std::int64_t max_file_bytes = default_max_file_bytes;
    // When set, includes must lie inside this directory (symbolic links resolved),
    // and relative includes of a document given as text resolve against it.
    std::optional<std::filesystem::path> include_dir;

    // Throws std::invalid_argument naming the limit when a value is out of range.
    static std::int64_t checked_depth(std::int64_t value);
    static std::int64_t checked_positive(std::int64_t value, std::string_view name);
};

// "more than max_depth=1000": the overrun part of a refusal, naming the limit.
std::string over_limit(std::string_view name, std::int64_t value);

}  // namespace morvlen::bt
