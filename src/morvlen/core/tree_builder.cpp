// Checking behavior-tree documents and instantiating their trees.
#include "morvlen/core/tree_builder.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "morvlen/core/document_file.h"
#include "morvlen/core/errors.h"
#include "morvlen/core/port_values.h"
#include "morvlen/core/scripting/node_scripts.h"
#include "morvlen/core/subtree_node.h"
#include "morvlen/core/suggestions.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

constexpr std::array<std::string_view, 4> category_tags{"Action", "Condition", "Control", "Decorator"};

template <class List> bool contains(const List& list, std::string_view item) {
    return std::ranges::find(list, item) != list.end();
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "none" : text;
}

std::string at_line(const std::string& source, int line) {
    return " (" + (source == "<text>" ? std::string() : source + ", ") + "line " + std::to_string(line) + ")";
}

bool is_leaf(NodeKind kind) { return kind == NodeKind::Action || kind == NodeKind::Condition; }


}  // namespace

// ---------------------------------------------------------------- documents

void TreeLibrary::add_document(XmlDocument document, const std::filesystem::path& base_dir) {
    const XmlDocument& doc = documents_.emplace_back(std::move(document));
    const XmlElement& root = doc.root;
    if (root.tag != "root") {
        throw XmlParseError("the document element is <" + root.tag + ">, expected <root>" + at_line(doc.source, root.line));
    }
    if (const auto* format = root.attribute("BTCPP_format"); format && *format != "4") {
        throw XmlParseError("BTCPP_format=\"" + *format + "\" is not supported, only version \"4\"" + at_line(doc.source, root.line));
    }
    if (const auto* main = root.attribute("main_tree_to_execute"); main && !main_tree_) main_tree_ = *main;
    for (const XmlElement& child : root.children) {
        if (child.tag == "BehaviorTree") {
            add_tree(child, doc.source);
        } else if (child.tag == "TreeNodesModel") {
            add_subtree_models(child);
        } else if (child.tag == "include") {
            add_include(child, doc.source, base_dir);
        } else {
            throw XmlParseError("unexpected element <" + child.tag + "> in <root> (expected <BehaviorTree>, <include> or "
                                "<TreeNodesModel>)" + at_line(doc.source, child.line));
        }
    }
}

void TreeLibrary::add_tree(const XmlElement& element, const std::string& source) {
    const auto* id = element.attribute("ID");
    if (!id || id->empty()) throw XmlParseError("<BehaviorTree> without an ID attribute" + at_line(source, element.line));
    if (trees_.contains(*id)) throw TreeBuildError("tree ID '" + *id + "' is defined twice" + at_line(source, element.line));
    if (element.children.size() != 1) {
        throw TreeBuildError("tree '" + *id + "' must hold exactly one root node, it holds " +
                             std::to_string(element.children.size()) + at_line(source, element.line));
    }
    trees_.emplace(*id, Definition{&element, source});
    order_.push_back(*id);
}

void TreeLibrary::add_subtree_models(const XmlElement& model) {
    // Only SubTree models matter: they give SubTree instances default port values.
    // Node types and their ports come from the registrations.
    for (const XmlElement& node : model.children) {
        const auto* id = node.attribute("ID");
        if (node.tag != "SubTree" || !id) continue;
        auto& defaults = subtree_defaults_[*id];
        for (const XmlElement& port : node.children) {
            const auto* name = port.attribute("name");
            const auto* value = port.attribute("default");
            if (name && value) defaults.insert_or_assign(*name, *value);
        }
    }
}

void TreeLibrary::add_include(const XmlElement& include, const std::string& source, const std::filesystem::path& base_dir) {
    if (include.attribute("ros_pkg")) {
        throw TreeBuildError("<include ros_pkg=...> is not supported" + at_line(source, include.line));
    }
    const auto* path_text = include.attribute("path");
    if (!path_text || path_text->empty()) throw XmlParseError("<include> without a path attribute" + at_line(source, include.line));
    std::filesystem::path path(*path_text);
    if (path.is_relative()) path = base_dir / path;
    path = resolved_path(path);
    const std::string cannot = "cannot include \"" + *path_text + "\": ";
    const auto& include_dir = reader_.limits().include_dir;
    if (include_dir && !lies_inside(path, *include_dir)) {
        throw TreeBuildError(cannot + path.string() + " lies outside the include directory " + include_dir->string() +
                             at_line(source, include.line));
    }
    if (std::ranges::find(include_stack_, path) != include_stack_.end()) {
        throw TreeBuildError("<include path=\"" + *path_text + "\"> includes itself" + at_line(source, include.line));
    }
    const std::int64_t max_bytes = reader_.limits().max_file_bytes;
    std::string content;
    try {
        content = read_document_file(path, max_bytes, "max_file_bytes", include_dir ? &*include_dir : nullptr);
    } catch (const DocumentFileError& error) {
        throw TreeBuildError(cannot + error.what() + at_line(source, include.line));
    }
    // Together too: a document including one file many times holds no more.
    included_bytes_ += static_cast<std::int64_t>(content.size());
    if (included_bytes_ > max_bytes) {
        throw TreeBuildError(cannot + "the included files hold " + over_limit("max_file_bytes", max_bytes) +
                             " bytes in all" + at_line(source, include.line));
    }
    XmlDocument document = reader_.parse(content, path.string(), TextEncoding::Declared);
    include_stack_.push_back(path);
    add_document(std::move(document), path.parent_path());
    include_stack_.pop_back();
}

std::string TreeLibrary::main_tree_id(const std::optional<std::string>& requested) const {
    const auto& wanted = requested ? requested : main_tree_;
    if (wanted) {
        if (!trees_.contains(*wanted)) {
            throw TreeBuildError("main tree '" + *wanted + "' is not defined (trees defined: " + joined(order_) + ")");
        }
        return *wanted;
    }
    if (order_.empty()) throw TreeBuildError("the document defines no <BehaviorTree>");
    if (order_.size() > 1) {
        throw TreeBuildError("the document defines several trees (" + joined(order_) +
                             ") and no main_tree_to_execute to choose one");
    }
    return order_.front();
}

// ---------------------------------------------------------------- instantiation

class TreeInstantiator {
public:
    TreeInstantiator(const TreeLibrary& library, const NodeRegistry& registry) : library_(library), registry_(registry) {}

    std::unique_ptr<TreeNode> instantiate(const std::string& tree_id, const Blackboard::Ptr& blackboard,
                                          const NodePath& parent_path) {
        const auto& definition = library_.trees_.find(tree_id)->second;
        stack_.push_back({tree_id, definition.source});
        auto root = build_node(definition.element->children.front(), blackboard, parent_path);
        stack_.pop_back();
        return root;
    }

private:
    struct Frame {
        std::string tree_id;
        std::string source;
    };

    // " (tree 'MainTree', element <Foo>, line 12)"
    std::string where(const XmlElement& element) const {
        const Frame& frame = stack_.back();
        return " (" + (frame.source == "<text>" ? std::string() : frame.source + ", ") + "tree '" + frame.tree_id +
               "', element <" + element.tag + ">, line " + std::to_string(element.line) + ")";
    }

    // parent/name, or parent/name#2, #3, ... when taken. Paths are known by their
    // hashes (a collision only skips a number), and each name resumes counting where
    // it stopped, so that many same-named siblings cost no more than unique ones.
    NodePath unique_path(const NodePath& parent_path, const std::string& name) {
        const std::uint64_t hash = parent_path.child_hash(name);
        if (paths_.insert(hash).second) return parent_path.child(name);
        int& next = next_number_.try_emplace(hash, 2).first->second;
        std::string numbered;
        do {
            numbered = name + "#" + std::to_string(next++);
        } while (!paths_.insert(parent_path.child_hash(numbered)).second);
        return parent_path.child(std::move(numbered));
    }

    const NodeManifest& resolve_manifest(const XmlElement& element, std::string& id) const {
        std::optional<std::string_view> category;
        id = element.tag;
        if (contains(category_tags, element.tag)) {
            const auto* explicit_id = element.attribute("ID");
            if (!explicit_id || explicit_id->empty()) {
                throw TreeBuildError("<" + element.tag + "> needs an ID attribute naming the node type" + where(element));
            }
            category = element.tag;
            id = *explicit_id;
        }
        const NodeManifest* manifest = registry_.manifest(id);
        if (!manifest) {
            if (library_.trees_.contains(id)) {
                throw TreeBuildError("'" + id + "' is a tree, not a node type: write <SubTree ID=\"" + id + "\"/>" + where(element));
            }
            std::vector<std::string> known = registry_.ids();
            known.insert(known.end(), library_.order_.begin(), library_.order_.end());
            throw TreeBuildError("unknown node id '" + id + "': neither a registered node nor SubTree" +
                                 did_you_mean(id, known) + where(element) +
                                 "; register an action under this id before building the tree (register_action, "
                                 "register_action_behavior or register_action_class)");
        }
        if (category) {
            const bool fits = (*category == "Control" && manifest->kind == NodeKind::Control) ||
                              (*category == "Decorator" && manifest->kind == NodeKind::Decorator) ||
                              ((*category == "Action" || *category == "Condition") && is_leaf(manifest->kind));
            if (!fits) {
                throw TreeBuildError("'" + id + "' is registered as " + std::string(to_string(manifest->kind)) +
                                     ", it cannot stand in <" + element.tag + ">" + where(element));
            }
        }
        return *manifest;
    }

    void check_child_count(const XmlElement& element, const NodeManifest& manifest) const {
        const int count = static_cast<int>(element.children.size());
        const int low = manifest.min_children;
        const int high = manifest.max_children;
        if (count >= low && (high < 0 || count <= high)) return;
        std::string wanted;
        if (high == 0) wanted = "takes no children";
        else if (low == high) wanted = "takes exactly " + std::to_string(low) + (low == 1 ? " child" : " children");
        else if (high < 0) wanted = "needs at least " + std::to_string(low) + (low == 1 ? " child" : " children");
        else wanted = "takes " + std::to_string(low) + " to " + std::to_string(high) + " children";
        throw TreeBuildError(manifest.id + " " + wanted + ", got " + std::to_string(count) + where(element));
    }

    // A reserved attribute ("_x") other than those the element may carry.
    void refuse_reserved(const XmlElement& element, const std::string& attribute) const {
        std::vector<std::string> reserved(scripting::condition_attributes.begin(), scripting::condition_attributes.end());
        reserved.emplace_back("_autoremap");
        throw TreeBuildError("unknown attribute '" + attribute + "' (names starting with '_' are reserved)" +
                             did_you_mean(attribute, reserved) + where(element));
    }

    std::map<std::string, std::string, std::less<>> port_texts(const XmlElement& element, const NodeManifest& manifest) const {
        std::map<std::string, std::string, std::less<>> ports;
        for (const auto& [attribute, text] : element.attributes) {
            if (attribute == "name" || (attribute == "ID" && element.tag != manifest.id)) continue;
            if (scripting::is_condition_attribute(attribute)) continue;
            if (attribute.starts_with('_')) refuse_reserved(element, attribute);
            const auto port = std::ranges::find(manifest.ports, attribute, &PortInfo::name);
            if (port == manifest.ports.end()) {
                std::vector<std::string> names;
                for (const auto& info : manifest.ports) names.push_back(info.name);
                throw TreeBuildError("unknown port '" + attribute + "' of " + manifest.id + did_you_mean(attribute, names) +
                                     " (its ports: " + joined(names) + ")" + where(element));
            }
            check_port_text(element, *port, text);
            ports.emplace(attribute, text);
        }
        for (const auto& port : manifest.ports) {
            if (!ports.contains(port.name) && port.default_value) ports.emplace(port.name, *port.default_value);
            if (port.required && !ports.contains(port.name)) {
                throw TreeBuildError(manifest.id + " needs the port '" + port.name + "' (" +
                                     std::string(to_string(port.type)) + "), which is not set" + where(element));
            }
        }
        return ports;
    }

    // A literal must convert to the port's type, and an output needs a blackboard entry.
    void check_port_text(const XmlElement& element, const PortInfo& port, const std::string& text) const {
        const bool pointer = pointer_key(text, port.name).has_value();
        if (port.direction == PortDirection::Output && !pointer) {
            throw TreeBuildError("output port '" + port.name + "' needs a blackboard entry (\"{key}\"), got the literal \"" +
                                 text + "\"" + where(element));
        }
        if (!pointer && !literal_converts(text, port.type)) {
            throw TreeBuildError("port '" + port.name + "': \"" + text + "\" is not a valid " +
                                 std::string(to_string(port.type)) + where(element));
        }
    }

    // Recursion happens here and in attach_children: the work of one node is done
    // in functions that return before it, so each level takes little stack.
    std::unique_ptr<TreeNode> build_node(const XmlElement& element, const Blackboard::Ptr& blackboard,
                                         const NodePath& parent_path) {
        if (element.tag == "SubTree") return build_subtree(element, blackboard, parent_path);
        auto node = make_node(element, blackboard, parent_path);
        attach_children(*node, element, blackboard, node->config().path);
        return node;
    }

    [[gnu::noinline]] std::unique_ptr<TreeNode> make_node(const XmlElement& element, const Blackboard::Ptr& blackboard,
                                                          const NodePath& parent_path) {
        std::string id;
        const NodeManifest& manifest = resolve_manifest(element, id);
        check_child_count(element, manifest);
        NodeConfig config;
        const auto* name = element.attribute("name");
        config.name = name && !name->empty() ? *name : id;
        config.path = unique_path(parent_path, config.name);
        config.blackboard = blackboard;
        config.ports = port_texts(element, manifest);
        config.wake_signal = wake_signal_;
        config.scripts = scripting::compile_node_scripts(element, manifest, where(element));
        return registry_.build(id, std::move(config));
    }

    void attach_children(TreeNode& node, const XmlElement& element, const Blackboard::Ptr& blackboard,
                         const NodePath& path) {
        if (element.children.empty()) return;
        if (auto* control = dynamic_cast<ControlNode*>(&node)) {
            control->reserve_children(element.children.size());
            for (const XmlElement& child : element.children) control->add_child(build_node(child, blackboard, path));
        } else if (auto* decorator = dynamic_cast<DecoratorNode*>(&node)) {
            decorator->set_child(build_node(element.children.front(), blackboard, path));
        } else {
            refuse_children(node, element);
        }
    }

    [[noreturn, gnu::noinline]] void refuse_children(const TreeNode& node, const XmlElement& element) const {
        throw TreeBuildError(node.registration_name() + " cannot hold children" + where(element));
    }

    std::unique_ptr<TreeNode> build_subtree(const XmlElement& element, const Blackboard::Ptr& parent_board,
                                            const NodePath& parent_path) {
        const auto* id = element.attribute("ID");
        if (!id || id->empty()) throw TreeBuildError("<SubTree> needs an ID attribute naming a tree" + where(element));
        if (!library_.trees_.contains(*id)) {
            throw TreeBuildError("SubTree ID '" + *id + "' names no tree" + did_you_mean(*id, library_.order_) +
                                 " (trees defined: " + joined(library_.order_) + ")" + where(element));
        }
        if (std::ranges::find(stack_, *id, &Frame::tree_id) != stack_.end()) {
            std::string chain;
            for (const auto& frame : stack_) chain += frame.tree_id + " -> ";
            throw TreeBuildError("SubTree '" + *id + "' includes itself: " + chain + *id + where(element));
        }
        if (!element.children.empty()) {
            throw TreeBuildError("SubTree takes no children, got " + std::to_string(element.children.size()) + where(element));
        }
        auto board = Blackboard::create(parent_board);
        std::map<std::string, std::string> remapped;
        for (const auto& [attribute, text] : element.attributes) {
            if (attribute == "ID" || attribute == "name") continue;
            if (attribute == "_autoremap") {
                const auto on = parse_bool(text);
                if (!on) throw TreeBuildError("_autoremap=\"" + text + "\" is not a bool (true/false)" + where(element));
                board->enable_autoremap(*on);
            } else if (scripting::is_condition_attribute(attribute)) {
                continue;  // compiled below
            } else if (attribute.starts_with('_')) {
                refuse_reserved(element, attribute);
            } else {
                remapped.emplace(attribute, text);
            }
        }
        if (const auto defaults = library_.subtree_defaults_.find(*id); defaults != library_.subtree_defaults_.end()) {
            for (const auto& [port, text] : defaults->second) remapped.emplace(port, text);  // instance values win
        }
        for (const auto& [port, text] : remapped) {
            if (auto key = pointer_key(text, port)) {
                board->add_remapping(port, std::move(*key));
            } else {
                nb::gil_scoped_acquire gil;
                board->set_local(port, nb::str(text.data(), text.size()));  // literals arrive as text
            }
        }

        NodeConfig config;
        const auto* name = element.attribute("name");
        config.name = name && !name->empty() ? *name : *id;
        config.path = unique_path(parent_path, config.name);
        config.blackboard = board;
        config.manifest = SubTreeNode::manifest();
        config.wake_signal = wake_signal_;
        config.scripts = scripting::compile_node_scripts(element, *config.manifest, where(element));
        const NodePath path = config.path;
        auto node = std::make_unique<SubTreeNode>(std::move(config));
        node->set_child(instantiate(*id, board, path));
        return node;
    }

    const TreeLibrary& library_;
    const NodeRegistry& registry_;
    std::vector<Frame> stack_;
    std::unordered_set<std::uint64_t> paths_;
    std::unordered_map<std::uint64_t, int> next_number_;
    const std::shared_ptr<WakeSignal> wake_signal_ = std::make_shared<WakeSignal>();  // one for the whole tree
};

std::string TreeLibrary::checked_main_tree(const std::optional<std::string>& main_tree) const {
    std::string id = main_tree_id(main_tree);
    check_expansion(id);
    return id;
}

std::shared_ptr<Tree> TreeLibrary::build(const NodeRegistry& registry, const std::string& main_tree_id) const {
    auto blackboard = Blackboard::create();
    auto root = TreeInstantiator(*this, registry).instantiate(main_tree_id, blackboard, NodePath::root(main_tree_id));
    return Tree::create(main_tree_id, std::move(root), std::move(blackboard));
}

}  // namespace morvlen::bt
