// Building trees from documents; describing the registered node types.
#include "morvlen/core/factory.h"

#include <filesystem>

#include <nanobind/stl/string.h>

#include "morvlen/core/tree_builder.h"
#include "morvlen/core/xml_document.h"

namespace nb = nanobind;

namespace morvlen::bt {

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

std::shared_ptr<Tree> BehaviorTreeFactory::create_tree_from_text(std::string_view xml_text,
                                                                 const std::optional<std::string>& main_tree) const {
    TreeLibrary library;
    library.add_document(parse_xml_text(xml_text), std::filesystem::current_path());
    return library.build(registry_, main_tree);
}

std::shared_ptr<Tree> BehaviorTreeFactory::create_tree_from_file(const std::string& path,
                                                                 const std::optional<std::string>& main_tree) const {
    TreeLibrary library;
    library.add_document(parse_xml_file(path), std::filesystem::absolute(path).parent_path());
    return library.build(registry_, main_tree);
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
