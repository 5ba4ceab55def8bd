// Building trees from documents; describing the registered node types.
#include "morvlen/core/factory.h"

#include <filesystem>

#include <nanobind/stl/string.h>

#include "morvlen/core/document_file.h"
#include "morvlen/core/tree_builder.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

// Counts a build of the factory for its lifetime (see BehaviorTreeFactory::registry).
class BuildInProgress {
public:
    explicit BuildInProgress(std::atomic<int>& builds) noexcept : builds_(builds) { ++builds_; }
    ~BuildInProgress() { --builds_; }
    BuildInProgress(const BuildInProgress&) = delete;
    BuildInProgress& operator=(const BuildInProgress&) = delete;

private:
    std::atomic<int>& builds_;
};

// Reads and checks a document (`read` adds it to the library) and builds its main
// tree, all without the GIL: other Python threads run meanwhile.
template <class Read>
std::shared_ptr<Tree> build_tree(const DocumentLimits& limits, const NodeRegistry& registry,
                                 const std::optional<std::string>& main_tree, Read&& read) {
    const XmlReader reader(limits);
    nb::gil_scoped_release unlocked;
    TreeLibrary library(reader);
    read(reader, library);
    return library.build(registry, library.checked_main_tree(main_tree));
}

}  // namespace

NodeRegistry& BehaviorTreeFactory::registry() {
    if (builds_.load() > 0) {
        throw BehaviorTreeError("cannot register node types while this factory is building a tree; register them "
                                "before building, or on another factory");
    }
    return registry_;
}

void BehaviorTreeFactory::add_held_to(ExclusiveHolders& holders) const {
    for (const PyRef& object : held_) holders.add_function(object);
}

// Trees built by this factory share its functions: it shows one only while no
// such tree is left.
int BehaviorTreeFactory::traverse(visitproc visit, void* arg) const {
    ExclusiveHolders holders;
    add_held_to(holders);
    return holders.traverse(visit, arg);
}

std::shared_ptr<Tree> BehaviorTreeFactory::create_tree_from_text(std::string_view xml_text, TextEncoding encoding,
                                                                 const std::optional<std::string>& main_tree) const {
    const BuildInProgress counted(builds_);
    return build_tree(limits_, registry_, main_tree, [&](const XmlReader& reader, TreeLibrary& library) {
        const auto base_dir = reader.limits().include_dir.value_or(std::filesystem::current_path());
        library.add_document(reader.parse(xml_text, "<text>", encoding), base_dir);
    });
}

std::shared_ptr<Tree> BehaviorTreeFactory::create_tree_from_file(const std::string& path,
                                                                 const std::optional<std::string>& main_tree) const {
    const BuildInProgress counted(builds_);
    try {
        return build_tree(limits_, registry_, main_tree, [&](const XmlReader& reader, TreeLibrary& library) {
            library.add_document(reader.parse_file(path), std::filesystem::absolute(path).parent_path());
        });
    } catch (const DocumentFileError& error) {
        if (error.error_number == 0) throw;
        errno = error.error_number;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw nb::python_error();
    }
}

std::string BehaviorTreeFactory::tree_nodes_model(bool include_builtins) const {
    const nb::module_ etree = nb::module_::import_("xml.etree.ElementTree");
    const nb::object root = etree.attr("Element")("root", nb::arg("BTCPP_format") = "4");
    const nb::object model = etree.attr("SubElement")(root, "TreeNodesModel");
    for (const std::string& id : include_builtins ? registry_.ids() : registry_.own_ids()) {
        const NodeManifest& manifest = *registry_.manifest(id);
        const nb::object node = etree.attr("SubElement")(model, std::string(to_string(manifest.kind)), nb::arg("ID") = id);
        if (!manifest.description.empty()) {
            const nb::object description = etree.attr("SubElement")(node, "description");
            description.attr("text") = manifest.description;
        }
        for (const PortInfo& port : manifest.ports) {
            const std::string tag = std::string(to_string(port.direction)) + "_port";
            const nb::object element = etree.attr("SubElement")(node, tag,
                                                                nb::arg("name") = port.name,
                                                                nb::arg("type") = std::string(to_string(port.type)));
            if (port.default_value) element.attr("set")("default", *port.default_value);
            if (!port.description.empty()) element.attr("text") = port.description;
        }
    }
    etree.attr("indent")(root, nb::arg("space") = "  ");
    return nb::cast<std::string>(etree.attr("tostring")(root, nb::arg("encoding") = "unicode"));
}

}  // namespace morvlen::bt
