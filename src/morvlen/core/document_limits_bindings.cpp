// The binding of DocumentLimits, and documents as callers give them.
#include <filesystem>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>

#include "morvlen/core/bindings.h"
#include "morvlen/core/document_limits.h"
#include "morvlen/core/errors.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace morvlen::bt {
namespace {

using OptionalPath = std::optional<std::filesystem::path>;

}  // namespace

DocumentText document_text(const DocumentArgument& argument) {
    if (const auto* bytes = std::get_if<nb::bytes>(&argument)) {
        return {std::string_view(bytes->c_str(), bytes->size()), TextEncoding::Declared};
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(std::get<nb::str>(argument).ptr(), &size);
    if (!data) {
        const nb::python_error error;
        throw XmlParseError("the document text is not valid Unicode: " + std::string(nb::str(error.value()).c_str()));
    }
    return {std::string_view(data, static_cast<size_t>(size)), TextEncoding::Utf8};
}

void bind_document_limits(nb::module_& m) {
    nb::class_<DocumentLimits> limits(
        m, "DocumentLimits",
        "The bounds documents are read and built within; a document over one is refused with TreeBuildError naming "
        "the limit, before the memory it would take is allocated. Set on BehaviorTreeFactory.document_limits, "
        "SequentialEngine.document_limits, or a ThreadEngine's factory.document_limits.");
    limits
        .def(
            "__init__",
            [](DocumentLimits* self, std::int64_t max_depth, std::int64_t max_nodes, std::int64_t max_file_bytes,
               const OptionalPath& include_dir) {
                new (self) DocumentLimits{DocumentLimits::checked_depth(max_depth),
                                          DocumentLimits::checked_positive(max_nodes, "max_nodes"),
                                          DocumentLimits::checked_positive(max_file_bytes, "max_file_bytes"), include_dir};
            },
            nb::kw_only(), "max_depth"_a = DocumentLimits::default_max_depth,
            "max_nodes"_a = DocumentLimits::default_max_nodes, "max_file_bytes"_a = DocumentLimits::default_max_file_bytes,
            "include_dir"_a = nb::none(), "Limits; ValueError for a value out of range.")
        .def_prop_rw(
            "max_depth", [](const DocumentLimits& self) { return self.max_depth; },
            [](DocumentLimits& self, std::int64_t value) { self.max_depth = DocumentLimits::checked_depth(value); },
            "Deepest nesting of elements in a document and of nodes in a tree with its SubTrees expanded (at most "
            "5000: building and ticking recurse once per level, and a tree that deep needs about 2 MiB of the stack "
            "of the thread building or ticking it; the default, 1000, needs under 0.5 MiB).")
        .def_prop_rw(
            "max_nodes", [](const DocumentLimits& self) { return self.max_nodes; },
            [](DocumentLimits& self, std::int64_t value) {
                self.max_nodes = DocumentLimits::checked_positive(value, "max_nodes");
            },
            "Most nodes a built tree may hold, every SubTree expanded, and most elements a document may hold.")
        .def_prop_rw(
            "max_file_bytes", [](const DocumentLimits& self) { return self.max_file_bytes; },
            [](DocumentLimits& self, std::int64_t value) {
                self.max_file_bytes = DocumentLimits::checked_positive(value, "max_file_bytes");
            },
            "Largest document file read, the one a tree is built from and each included one; also the most bytes "
            "the included files of one document may hold together.")
        .def_prop_rw(
            "include_dir", [](const DocumentLimits& self) { return self.include_dir; },
            [](DocumentLimits& self, const OptionalPath& value) { self.include_dir = value; },
            "When set, every <include> must name a file inside this directory (symbolic links resolved), and "
            "relative includes of a document given as text resolve against it. None: includes may name any file.");
}

}  // namespace morvlen::bt
