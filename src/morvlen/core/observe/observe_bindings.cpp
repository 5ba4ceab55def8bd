// The bindings of morvlen.core.observe: observation switched per tree, the
// transition log and statistics, snapshots, printed trees and the named live trees.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "morvlen/core/bindings.h"
#include "morvlen/core/observe/live_trees.h"
#include "morvlen/core/observe/render.h"
#include "morvlen/engine/sequential_engine/sequential_engine.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

using observe::Transition;
using observe::TreeView;
// Mapping[str, NodeStatus | str] | None: statuses by node path.
using StatusMap = std::optional<nb::typed<nb::mapping, nb::str, nb::any>>;
// list[dict[str, Any]]
using RecordList = nb::typed<nb::list, AnyDict>;

// What the functions observe: a tree, or the tree an engine built last. Taking the
// engine itself keeps Python from holding a second owner of its tree.
using Source = std::variant<Tree*, SequentialEngine*>;

std::shared_ptr<Tree> tree_of(const Source& source) {
    if (Tree* const* tree = std::get_if<Tree*>(&source)) return (*tree)->shared_from_this();
    return std::get<SequentialEngine*>(source)->tree();
}

// The tree's recorder; BehaviorTreeError when it was never observed.
template <class T> auto& recorder_of(T& tree) {
    auto* recorder = tree.recorder();
    if (!recorder) throw BehaviorTreeError("tree '" + tree.id() + "' was never observed (call morvlen.core.observe.start first)");
    return *recorder;
}

nb::dict transition_dict(const Transition& change, const std::string& tree_name, const TreeView& view) {
    nb::dict record;
    record["time"] = change.time_ns < 0 ? nb::none() : nb::cast(observe::unix_seconds(change.time_ns));
    record["tick"] = change.tick;
    record["tree"] = tree_name;
    record["path"] = change.node < view.nodes.size() ? view.nodes[change.node].path : std::string("?");
    record["from"] = to_string(change.from);
    record["to"] = to_string(change.to);
    return record;
}

RecordList transition_list(const Tree& tree, const std::vector<Transition>& changes) {
    const TreeView view = observe::view_of(tree);
    const std::string name = observe::name_of(tree);
    nb::list records;
    for (const Transition& change : changes) records.append(transition_dict(change, name, view));
    return nb::borrow<RecordList>(records);
}

// A JSON string: quotes, backslashes and control characters escaped.
std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

std::size_t write_jsonl(const Source& source, const std::filesystem::path& path) {
    const auto owner = tree_of(source);
    Tree& tree = *owner;
    // Drained only once the file is open, so that a bad path loses nothing.
    std::ofstream file(path, std::ios::app);
    if (!file) throw nb::value_error(("cannot open '" + path.string() + "' for appending").c_str());
    const auto changes = recorder_of(tree).drain();
    const TreeView view = observe::view_of(tree);
    const std::string name = json_string(observe::name_of(tree));
    for (const Transition& change : changes) {
        char time[32] = "null";
        if (change.time_ns >= 0) std::snprintf(time, sizeof time, "%.6f", observe::unix_seconds(change.time_ns));
        file << "{\"time\": " << time << ", \"tick\": " << change.tick << ", \"tree\": " << name
             << ", \"path\": " << json_string(view.nodes.at(change.node).path) << ", \"from\": \"" << to_string(change.from)
             << "\", \"to\": \"" << to_string(change.to) << "\"}\n";
    }
    file.flush();
    if (!file) throw nb::value_error(("writing '" + path.string() + "' failed").c_str());
    return changes.size();
}

nb::dict statistics_dict(const observe::NodeStatistics& s) {
    nb::dict d;
    d["ticks"] = s.ticks;
    d["successes"] = s.successes;
    d["failures"] = s.failures;
    d["skips"] = s.skips;
    d["halts"] = s.halts;
    d["running_total"] = static_cast<double>(s.running_total_ns) / 1e9;
    d["running_last"] = static_cast<double>(s.running_last_ns) / 1e9;
    d["last_result"] = to_string(s.last_result);
    return d;
}

// The first `limit` characters of repr(value), with an ellipsis when cut.
std::string short_text(nb::handle value, std::size_t limit) {
    std::string text;
    try {
        text = nb::cast<std::string>(nb::repr(value));
    } catch (const nb::python_error& error) {
        text = "<repr failed: " + std::string(error.what()) + ">";
    }
    // Cut on a character boundary.
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "…";
}

AnyDict snapshot_dict(const Source& source, std::size_t value_chars) {
    const auto owner = tree_of(source);
    const Tree& tree = *owner;
    const TreeView view = observe::view_of(tree);
    nb::list nodes;
    for (const observe::NodeView& node : view.nodes) {
        nb::dict entry;
        entry["path"] = node.path;
        entry["name"] = node.name;
        entry["registration_id"] = node.registration_id;
        entry["kind"] = to_string(node.kind);
        entry["depth"] = node.depth;
        entry["parent"] = node.parent;
        entry["status"] = to_string(node.status);
        entry["statistics"] = node.statistics ? nb::object(statistics_dict(*node.statistics)) : nb::none();
        nodes.append(entry);
    }
    nb::dict board;
    for (const auto& [key, value] : tree.blackboard()->local_entries()) board[key.c_str()] = short_text(value, value_chars);
    const observe::TreeRecorder* recorder = tree.recorder();
    nb::dict snapshot;
    snapshot["name"] = observe::name_of(tree);
    snapshot["tree_id"] = view.tree_id;
    snapshot["status"] = view.nodes.empty() ? "IDLE" : to_string(view.nodes.front().status);
    snapshot["tick_count"] = view.tick_count;
    snapshot["observed"] = tree.observed();
    snapshot["recorded"] = recorder ? recorder->recorded() : 0;
    snapshot["dropped"] = recorder ? recorder->dropped() : 0;
    snapshot["nodes"] = nodes;
    snapshot["blackboard"] = board;
    return nb::borrow<AnyDict>(snapshot);
}

// The tree's view with the given statuses (NodeStatus or names) laid over it.
TreeView view_with(const Source& source, const StatusMap& statuses) {
    TreeView view = observe::view_of(*tree_of(source));
    if (!statuses) return view;
    std::map<std::string, NodeStatus, std::less<>> by_path;
    for (nb::handle item : statuses->attr("items")()) {
        const nb::handle path = item[0], status = item[1];
        std::optional<NodeStatus> parsed;
        if (nb::isinstance<NodeStatus>(status)) parsed = nb::cast<NodeStatus>(status);
        else if (nb::isinstance<nb::str>(status)) parsed = parse_status(nb::cast<std::string>(status));
        if (!parsed) {
            throw nb::value_error(("statuses['" + nb::cast<std::string>(nb::str(path)) + "']: " +
                                   nb::cast<std::string>(nb::repr(status)) + " is not a NodeStatus or a status name")
                                      .c_str());
        }
        by_path[nb::cast<std::string>(nb::str(path))] = *parsed;
    }
    observe::apply_statuses(view, by_path);
    return view;
}

void bind_observe(nb::module_& m) {
    m.def(
         "start",
         [](const Source& source, std::size_t capacity) {
             if (capacity == 0) throw nb::value_error("capacity must be at least 1");
             tree_of(source)->start_observing(capacity);
         },
         "tree"_a, "capacity"_a = 1024,
         "Records every status change of the tree's nodes (time, tick, path, from, to) into a ring of `capacity` "
         "changes (rounded up to a power of two; the oldest are dropped and counted when it is full), and counts "
         "per node ticks, results, halts and time spent RUNNING. The capacity applies on the first call for a tree.")
        .def(
            "stop", [](const Source& source) { tree_of(source)->stop_observing(); }, "tree"_a, "Stops recording; what was recorded stays readable.")
        .def(
            "is_observed", [](const Source& source) { return tree_of(source)->observed(); }, "tree"_a,
            "Whether the tree records its changes now.")
        .def(
            "transitions",
            [](const Source& source, std::optional<std::size_t> last) {
                const auto tree = tree_of(source);
                auto changes = recorder_of(*tree).entries();
                if (last && *last < changes.size()) changes.erase(changes.begin(), changes.end() - static_cast<std::ptrdiff_t>(*last));
                return transition_list(*tree, changes);
            },
            "tree"_a, "last"_a = nb::none(),
            "The recorded changes not drained yet, oldest first, without draining them: dicts {\"time\" (seconds since "
            "the epoch, the start of the tick that made the change, to the microsecond; None when no longer known), \"tick\", \"tree\", \"path\", \"from\", \"to\" "
            "(status names)}. With last, only the newest `last` of them.")
        .def(
            "drain",
            [](const Source& source) {
                const auto tree = tree_of(source);
                return transition_list(*tree, recorder_of(*tree).drain());
            },
            "tree"_a, "As transitions(), and marks them read.")
        .def(
            "dropped", [](const Source& source) { return recorder_of(*tree_of(source)).dropped(); }, "tree"_a,
            "How many changes were overwritten before they were drained.")
        .def("write_jsonl", &write_jsonl, "tree"_a, "path"_a,
             "Drains the recorded changes into the file as JSON lines (appended), the same records as transitions(). "
             "Returns how many were written.")
        .def(
            "statistics",
            [](const Source& source) {
                const auto tree = tree_of(source);
                recorder_of(*tree);
                nb::dict result;
                for (const observe::NodeView& node : observe::view_of(*tree).nodes) {
                    result[node.path.c_str()] = statistics_dict(*node.statistics);
                }
                return nb::borrow<AnyDict>(result);
            },
            "tree"_a,
            "Per node path: {\"ticks\", \"successes\", \"failures\", \"skips\", \"halts\" (while RUNNING), "
            "\"running_total\", \"running_last\" (seconds RUNNING across ticks; a stretch within one tick counts 0), "
            "\"last_result\" (the latest SUCCESS, FAILURE or SKIPPED, IDLE before any)}.")
        .def("snapshot", &snapshot_dict, "tree"_a, "value_chars"_a = 120,
             "The tree as it is now, without waiting for a tick under way: {\"name\", \"tree_id\", \"status\", "
             "\"tick_count\", \"observed\", \"recorded\", \"dropped\", \"nodes\": [{\"path\", \"name\", "
             "\"registration_id\", \"kind\", \"depth\", \"parent\" (index, -1 for the root), \"status\", "
             "\"statistics\" (as statistics(), None unless observed)}], \"blackboard\": {key: repr(value) cut to "
             "value_chars}}. JSON-ready: statuses are names.")
        .def(
            "render_text", [](const Source& tree, const StatusMap& statuses) { return observe::render_text(view_with(tree, statuses)); },
            "tree"_a, "statuses"_a = nb::none(),
            "The tree as indented text, one line per node with its status mark: [ ] IDLE, [>] RUNNING, [+] SUCCESS, "
            "[x] FAILURE, [-] SKIPPED. statuses: {path: NodeStatus or name} shown instead of the current ones (nodes absent: IDLE), e.g. "
            "from replay().")
        .def(
            "render_dot", [](const Source& tree, const StatusMap& statuses) { return observe::render_dot(view_with(tree, statuses)); },
            "tree"_a, "statuses"_a = nb::none(), "The tree as a Graphviz DOT digraph, nodes coloured by status.")
        .def(
            "render_svg", [](const Source& tree, const StatusMap& statuses) { return observe::render_svg(view_with(tree, statuses)); },
            "tree"_a, "statuses"_a = nb::none(),
            "The tree as an SVG document laid out by the package (no Graphviz needed), nodes coloured by status.")
        .def(
            "name_tree",
            [](const std::shared_ptr<Tree>& tree, nb::handle owner, std::string name) {
                observe::name_tree(tree, reinterpret_cast<std::uintptr_t>(owner.ptr()), std::move(name));
            },
            "tree"_a, "owner"_a, "name"_a,
            "Names the tree for observers (live_trees) while it lives; owner is the object running it.")
        .def(
            "live_trees",
            [](nb::handle owner) {
                const auto id = owner.is_none() ? 0 : reinterpret_cast<std::uintptr_t>(owner.ptr());
                std::vector<std::pair<std::string, std::shared_ptr<Tree>>> result;
                for (auto& live : observe::live_trees(id)) result.emplace_back(std::move(live.name), std::move(live.tree));
                return result;
            },
            "owner"_a = nb::none(),
            "The named trees still alive, as (name, tree) in the order they were named; only those run by owner "
            "when it is given (ThreadEngine names its trees by their tree id).");
}

}  // namespace

void bind_observe_package(nb::module_& m) { bind_observe(m); }

}  // namespace morvlen::bt
