// A tree as SVG: parents centred above their children, boxes coloured by status.
#include "morvlen/core/observe/render.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace morvlen::bt::observe {
namespace {

constexpr double kCharWidth = 7.3;  // 12px monospace
constexpr double kBoxHeight = 38;
constexpr double kRowHeight = 70;
constexpr double kGap = 14;
constexpr double kMargin = 10;

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

// Columns taken by UTF-8 text: East Asian characters take two.
double text_width(std::string_view text) {
    double columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        columns += length >= 3 ? 2 : 1;
        i += length;
    }
    return columns * kCharWidth;
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

struct Layout {
    std::vector<double> box_width, span, centre;
    std::vector<std::vector<std::size_t>> children;
};

// Spans bottom-up (a subtree is as wide as its box or its children side by side),
// then centres top-down.
Layout lay_out(const TreeView& view) {
    const std::size_t n = view.nodes.size();
    Layout layout{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n), std::vector<std::vector<std::size_t>>(n)};
    for (std::size_t i = 0; i < n; ++i) {
        const NodeView& node = view.nodes[i];
        layout.box_width[i] = std::max(text_width(node.name), text_width(node.registration_id)) + 16;
        if (node.parent >= 0) layout.children[node.parent].push_back(i);
    }
    const auto children_span = [&](std::size_t i) {
        double total = 0;
        for (const std::size_t child : layout.children[i]) total += layout.span[child];
        return total;
    };
    // Children come after their parent, so a backward pass sees them first.
    for (std::size_t i = n; i-- > 0;) layout.span[i] = std::max(layout.box_width[i] + kGap, children_span(i));
    std::vector<double> left(n, kMargin);
    for (std::size_t i = 0; i < n; ++i) {
        layout.centre[i] = left[i] + layout.span[i] / 2;
        double x = left[i] + (layout.span[i] - children_span(i)) / 2;
        for (const std::size_t child : layout.children[i]) {
            left[child] = x;
            x += layout.span[child];
        }
    }
    return layout;
}

}  // namespace

std::string render_svg(const TreeView& view) {
    const Layout layout = lay_out(view);
    int depth = 0;
    for (const NodeView& node : view.nodes) depth = std::max(depth, node.depth);
    const double width = (view.nodes.empty() ? 0 : layout.span[0]) + 2 * kMargin;
    const double height = depth * kRowHeight + kBoxHeight + 2 * kMargin;
    const auto top = [&](std::size_t i) { return kMargin + view.nodes[i].depth * kRowHeight; };

    std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width) + "\" height=\"" + number(height) +
                      "\" viewBox=\"0 0 " + number(width) + " " + number(height) +
                      "\" font-family=\"monospace\" font-size=\"12\">\n<title>" + escaped(view.tree_id) + "</title>\n";
    for (std::size_t i = 0; i < view.nodes.size(); ++i) {
        if (const int parent = view.nodes[i].parent; parent >= 0) {
            out += "<line class=\"edge\" x1=\"" + number(layout.centre[parent]) + "\" y1=\"" + number(top(parent) + kBoxHeight) +
                   "\" x2=\"" + number(layout.centre[i]) + "\" y2=\"" + number(top(i)) + "\" stroke=\"#888\"/>\n";
        }
    }
    for (std::size_t i = 0; i < view.nodes.size(); ++i) {
        const NodeView& node = view.nodes[i];
        const double x = layout.centre[i] - layout.box_width[i] / 2;
        out += "<g class=\"node\" id=\"node-" + std::to_string(i) + "\" data-status=\"" + std::string(to_string(node.status)) +
               "\"><title>" + escaped(node.path) + "</title><rect x=\"" + number(x) + "\" y=\"" + number(top(i)) +
               "\" width=\"" + number(layout.box_width[i]) + "\" height=\"" + number(kBoxHeight) + "\" rx=\"6\" fill=\"" +
               std::string(status_colour(node.status)) + "\" stroke=\"#555\"/><text x=\"" + number(layout.centre[i]) +
               "\" y=\"" + number(top(i) + 16) + "\" text-anchor=\"middle\">" + escaped(node.name) + "</text><text x=\"" +
               number(layout.centre[i]) + "\" y=\"" + number(top(i) + 31) + "\" text-anchor=\"middle\" fill=\"#555\">" +
               escaped(node.registration_id) + "</text></g>\n";
    }
    return out + "</svg>\n";
}

}  // namespace morvlen::bt::observe
