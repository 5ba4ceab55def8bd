// Driving expat through the C functions pyexpat exports (its "expat_CAPI" capsule):
// the same library the interpreter uses, no dependency of our own, and no Python
// objects per element, so the parse runs without the GIL. Start and end handlers
// build the element tree on a stack of open elements.
#include "morvlen/core/xml_document.h"

#include <nanobind/nanobind.h>

#include "morvlen/core/expat_declarations.h"
// after the declarations it needs
#include <pyexpat.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>

#include "morvlen/core/document_file.h"
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

const PyExpat_CAPI* load_expat() {
    const auto* api = static_cast<const PyExpat_CAPI*>(PyCapsule_Import(PyExpat_CAPSULE_NAME, 0));
    if (!api) throw nb::python_error();
    if (std::strcmp(api->magic, PyExpat_CAPI_MAGIC) != 0 || static_cast<size_t>(api->size) < sizeof(PyExpat_CAPI)) {
        throw std::runtime_error("the interpreter's pyexpat module exports an unknown expat interface");
    }
    return api;
}

class ElementCollector {
public:
    ElementCollector(const PyExpat_CAPI& expat, XML_Parser parser, const std::string& source, const DocumentLimits& limits)
        : expat_(expat), parser_(parser), source_(source), limits_(limits) {}

    static void XMLCALL on_start(void* self, const XML_Char* tag, const XML_Char** attributes) {
        static_cast<ElementCollector*>(self)->guarded([&](ElementCollector& c) { c.start(tag, attributes); });
    }
    static void XMLCALL on_end(void* self, const XML_Char*) {
        static_cast<ElementCollector*>(self)->guarded([](ElementCollector& c) { c.end(); });
    }
    static void XMLCALL on_text(void* self, const XML_Char* data, int length) {
        static_cast<ElementCollector*>(self)->guarded([&](ElementCollector& c) { c.text(data, length); });
    }
    // Encodings expat does not know itself (e.g. windows-1252) are looked up in the
    // interpreter's codecs by pyexpat's handler, which needs the GIL.
    static int XMLCALL on_unknown_encoding(void* self, const XML_Char* name, XML_Encoding* info) {
        auto& collector = *static_cast<ElementCollector*>(self);
        const PyGILState_STATE gil = PyGILState_Ensure();
        const int known = collector.expat_.DefaultUnknownEncodingHandler(nullptr, name, info);
        if (PyErr_Occurred()) {
            // Why, for the message: "unknown encoding: x", "multi-byte encodings are not supported"
            const nb::python_error error;
            collector.encoding_note_ = nb::str(error.value()).c_str();
        }
        PyGILState_Release(gil);
        return known;
    }

    // A refusal or failure met inside a handler, rethrown once expat has returned.
    void rethrow_failure() const {
        if (failure_) std::rethrow_exception(failure_);
    }
    // What a refusal of expat's can add: the element left open ("; <Sequence>
    // opened at line 3 is not closed") or why an encoding is unknown.
    std::string note(XML_Error code) const {
        if (code == XML_ERROR_UNKNOWN_ENCODING && !encoding_note_.empty()) return " (" + encoding_note_ + ")";
        const bool unclosed = code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_TAG_MISMATCH ||
                              code == XML_ERROR_UNCLOSED_TOKEN || code == XML_ERROR_UNCLOSED_CDATA_SECTION;
        if (!unclosed || open_.empty()) return {};
        const XmlElement& innermost = open_.back();
        return "; <" + innermost.tag + "> opened at line " + std::to_string(innermost.line) + " is not closed";
    }
    XmlElement take_root() { return std::move(root_); }

private:
    // Exceptions must not cross expat's C frames: the first is kept, and the
    // handlers do nothing after it.
    template <class Handler> void guarded(Handler&& handler) noexcept {
        if (failure_) return;
        try {
            handler(*this);
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    int current_line() const { return static_cast<int>(expat_.GetErrorLineNumber(parser_)); }

    void start(const XML_Char* tag, const XML_Char** attributes) {
        const auto at = [&] { return " (<" + std::string(tag) + "> at line " + std::to_string(current_line()) + ")"; };
        if (static_cast<std::int64_t>(open_.size()) >= limits_.max_depth) {
            throw TreeBuildError(source_ + ": elements nest " + over_limit("max_depth", limits_.max_depth) + " levels deep" + at());
        }
        // A document cannot hold more elements than a tree may hold nodes: the
        // elements are refused before they take the memory of so many nodes.
        if (++elements_ > limits_.max_nodes) {
            throw TreeBuildError(source_ + ": the document holds " + over_limit("max_nodes", limits_.max_nodes) + " elements" + at());
        }
        XmlElement& element = open_.emplace_back();
        element.tag = tag;
        element.line = current_line();
        for (const XML_Char** pair = attributes; pair[0]; pair += 2) element.attributes.emplace_back(pair[0], pair[1]);
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

    void text(const XML_Char* data, int length) {
        if (!open_.empty()) open_.back().text.append(data, static_cast<size_t>(length));
    }

    const PyExpat_CAPI& expat_;
    XML_Parser parser_;
    const std::string& source_;
    const DocumentLimits& limits_;
    std::int64_t elements_ = 0;
    std::string encoding_note_;
    std::vector<XmlElement> open_;
    XmlElement root_;
    std::exception_ptr failure_;
};

}  // namespace

const std::string* XmlElement::attribute(std::string_view name) const {
    for (const auto& [key, value] : attributes) {
        if (key == name) return &value;
    }
    return nullptr;
}

XmlReader::XmlReader(DocumentLimits limits) : limits_(std::move(limits)) {
    // Not a guarded static: the import may let another thread take the GIL, and that
    // thread would then wait on the guard while holding it. Two threads loading it
    // at once find the same functions.
    static std::atomic<const PyExpat_CAPI*> loaded{nullptr};
    expat_ = loaded.load();
    if (!expat_) {
        expat_ = load_expat();
        loaded.store(expat_);
    }
}

XmlDocument XmlReader::parse(std::string_view data, std::string source, TextEncoding encoding) const {
    const auto free_parser = [this](XML_Parser parser) { expat_->ParserFree(parser); };
    const std::unique_ptr<XML_ParserStruct, decltype(free_parser)> parser(
        expat_->ParserCreate_MM(encoding == TextEncoding::Utf8 ? "UTF-8" : nullptr, nullptr, nullptr), free_parser);
    if (!parser) throw std::bad_alloc();
    ElementCollector collector(*expat_, parser.get(), source, limits_);
    expat_->SetUserData(parser.get(), &collector);
    expat_->SetElementHandler(parser.get(), &ElementCollector::on_start, &ElementCollector::on_end);
    expat_->SetCharacterDataHandler(parser.get(), &ElementCollector::on_text);
    expat_->SetUnknownEncodingHandler(parser.get(), &ElementCollector::on_unknown_encoding, &collector);

    // Fed in chunks: expat takes int lengths, and a refusal stops the feeding early.
    constexpr size_t chunk = size_t{1} << 16;
    size_t offset = 0;
    do {
        const size_t size = std::min(chunk, data.size() - offset);
        const bool last = offset + size == data.size();
        const auto status = expat_->Parse(parser.get(), data.data() + offset, static_cast<int>(size), last);
        collector.rethrow_failure();
        if (status != XML_STATUS_OK) {
            const XML_Error code = expat_->GetErrorCode(parser.get());
            throw XmlParseError(source + ": malformed XML at line " +
                                std::to_string(expat_->GetErrorLineNumber(parser.get())) + ", column " +
                                std::to_string(expat_->GetErrorColumnNumber(parser.get()) + 1) + ": " +
                                expat_->ErrorString(code) + collector.note(code));
        }
        offset += size;
    } while (offset < data.size());
    return XmlDocument{collector.take_root(), std::move(source)};
}

XmlDocument XmlReader::parse_file(const std::filesystem::path& path) const {
    return parse(read_document_file(path, limits_.max_file_bytes, "max_file_bytes"), path.string(), TextEncoding::Declared);
}

}  // namespace morvlen::bt
