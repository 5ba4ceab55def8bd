#pragma once
// Printed trees: as text for terminals and logs, as Graphviz DOT, and as SVG
// laid out here (no Graphviz needed). Each shows the statuses of the view.

#include <string>
#include <string_view>

#include "morvlen/core/observe/tree_view.h"

namespace morvlen::bt::observe {

// The mark of a status in printed text: "[ ]" IDLE, "[>]" RUNNING, "[+]" SUCCESS,
// "[x]" FAILURE, "[-]" SKIPPED.
std::string_view status_mark(NodeStatus status) noexcept;
// The fill colour of a status in drawings.
std::string_view status_colour(NodeStatus status) noexcept;

// One line per node, indented with tree branches, after a heading line.
std::string render_text(const TreeView& view);
std::string render_dot(const TreeView& view);
// Each node is a <g class="node" id="node-N"> holding its box and labels.
std::string render_svg(const TreeView& view);

}  // namespace morvlen::bt::observe
