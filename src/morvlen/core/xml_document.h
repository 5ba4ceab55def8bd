#pragma once
// A parsed XML document as a small element tree. The parsing is done by the expat
// library of the interpreter's pyexpat module, called from C++ through the C
// functions that module exports, so that it runs without the GIL.

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morvlen/core/document_limits.h"

struct PyExpat_CAPI;

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

// How the bytes of a document are to be decoded.
enum class TextEncoding {
    Declared,  // bytes of a file or a bytes object: the XML declaration (or BOM) says, UTF-8 by default
    Utf8,      // text the caller had already decoded: UTF-8, whatever the declaration says
};

class XmlReader {
public:
    // Finds the parser's functions. Needs the GIL; parse() and read_file() do not.
    explicit XmlReader(DocumentLimits limits);

    // Throws XmlParseError with one position (and the element left open, when one
    // is) on malformed input, TreeBuildError when elements nest deeper than max_depth.
    XmlDocument parse(std::string_view data, std::string source, TextEncoding encoding) const;
    // Reads (see read_document_file) and parses a file; its encoding is declared.
    XmlDocument parse_file(const std::filesystem::path& path) const;

    const DocumentLimits& limits() const noexcept { return limits_; }

private:
    const PyExpat_CAPI* expat_;
    DocumentLimits limits_;
};

}  // namespace morvlen::bt
