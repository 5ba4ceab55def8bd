// A tree as a Graphviz DOT digraph.
#include "morvlen/core/observe/render.h"

namespace morvlen::bt::observe {
namespace {

// A DOT double-quoted string.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + '"';
}

std::string label_of(const NodeView& node) {
    std::string label = node.name;
    if (node.name != node.registration_id) label += "\n" + node.registration_id;
    return label;
}

}  // namespace

std::string render_dot(const TreeView& view) {
    std::string out = "digraph " + quoted(view.tree_id) + " {\n";
    out += "  node [shape=box, style=\"rounded,filled\", fontname=\"Helvetica\"];\n";
    for (std::size_t i = 0; i < view.nodes.size(); ++i) {
        const NodeView& node = view.nodes[i];
        out += "  n" + std::to_string(i) + " [label=" + quoted(label_of(node)) + ", tooltip=" + quoted(node.path) +
               ", fillcolor=" + quoted(status_colour(node.status)) + ", status=" + quoted(to_string(node.status)) + "];\n";
    }
    for (std::size_t i = 0; i < view.nodes.size(); ++i) {
        if (const int parent = view.nodes[i].parent; parent >= 0) {
            out += "  n" + std::to_string(parent) + " -> n" + std::to_string(i) + ";\n";
        }
    }
    return out + "}\n";
}

}  // namespace morvlen::bt::observe
