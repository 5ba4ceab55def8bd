#pragma once
// A parsed XML document as a small element tree. Parsing is done by the
// interpreter's expat binding (xml.parsers.expat); everything after it is C++.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvlen::bt {

struct XmlElement {
    std::string tag;
    std::vector<std::pair<std::string, std::string>> attributes;  // in document order
    int line = 0;
    std::string text;  // character data directly inside the element, trimmed
    std::vector<XmlElement> children;

    const std::string* attribute(std::string_view name) const;
};

struct XmlDocument {
    XmlElement root;
    std::string source;  // file path, or "<text>"
};

// Parses XML text (or the bytes of a file, encoding from its declaration).
// Needs the GIL. Throws XmlParseError with line and column on malformed input.
XmlDocument parse_xml_text(std::string_view text, std::string source = "<text>");

}  // namespace morvlen::bt

namespace morvlen::bt {

// Reads and parses a file. Needs the GIL. A file that cannot be read raises the
// interpreter's OSError (FileNotFoundError, ...) unchanged.
XmlDocument parse_xml_file(const std::string& path);

}  // namespace morvlen::bt
