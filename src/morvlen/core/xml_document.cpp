// Driving expat through its Python binding: start/end handlers build the element
// tree on a stack of open elements.
#include "morvlen/core/xml_document.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "morvlen/core/errors.h"

namespace nb = nanobind;

namespace morvlen::bt {
namespace {

std::string trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

class ElementCollector {
public:
    explicit ElementCollector(nb::handle parser) : parser_(parser) {}

    void start(const std::string& tag, nb::handle attributes) {
        XmlElement element;
        element.tag = tag;
        element.line = nb::cast<int>(parser_.attr("CurrentLineNumber"));
        // ordered_attributes: a flat list [name, value, name, value, ...]
        const size_t count = nb::len(attributes);
        for (size_t i = 0; i + 1 < count; i += 2) {
            element.attributes.emplace_back(nb::cast<std::string>(attributes[i]), nb::cast<std::string>(attributes[i + 1]));
        }
        open_.push_back(std::move(element));
    }

    void end() {
        XmlElement element = std::move(open_.back());
        open_.pop_back();
        element.text = trimmed(element.text);
        if (open_.empty()) {
            root_ = std::move(element);
        } else {
            open_.back().children.push_back(std::move(element));
        }
    }

    void text(const std::string& data) {
        if (!open_.empty()) open_.back().text += data;
    }

    XmlElement take_root() { return std::move(root_); }

private:
    nb::handle parser_;
    std::vector<XmlElement> open_;
    XmlElement root_;
};

}  // namespace

const std::string* XmlElement::attribute(std::string_view name) const {
    for (const auto& [key, value] : attributes) {
        if (key == name) return &value;
    }
    return nullptr;
}

XmlDocument parse_xml_text(std::string_view text, std::string source) {
    const nb::module_ expat = nb::module_::import_("xml.parsers.expat");
    nb::object parser = expat.attr("ParserCreate")();
    ElementCollector collector(parser);
    parser.attr("ordered_attributes") = true;
    parser.attr("buffer_text") = true;
    parser.attr("StartElementHandler") =
        nb::cpp_function([&collector](const std::string& tag, nb::handle attributes) { collector.start(tag, attributes); });
    parser.attr("EndElementHandler") = nb::cpp_function([&collector](nb::handle) { collector.end(); });
    parser.attr("CharacterDataHandler") = nb::cpp_function([&collector](const std::string& data) { collector.text(data); });
    // The handlers hold the collector by reference: they only run inside Parse below.

    try {
        parser.attr("Parse")(nb::bytes(text.data(), text.size()), true);
    } catch (nb::python_error& error) {
        if (!error.matches(expat.attr("ExpatError"))) throw;
        const nb::handle value = error.value();
        const int line = nb::cast<int>(value.attr("lineno"));
        const int column = nb::cast<int>(value.attr("offset")) + 1;
        const std::string reason = nb::cast<std::string>(nb::str(value));
        throw XmlParseError(source + ": malformed XML at line " + std::to_string(line) + ", column " +
                            std::to_string(column) + ": " + reason);
    }
    return XmlDocument{collector.take_root(), std::move(source)};
}

}  // namespace morvlen::bt

namespace morvlen::bt {

XmlDocument parse_xml_file(const std::string& path) {
    const auto content = nb::cast<nb::bytes>(nb::module_::import_("pathlib").attr("Path")(path).attr("read_bytes")());
    return parse_xml_text(std::string_view(content.c_str(), content.size()), path);
}

}  // namespace morvlen::bt
