#pragma once
// The method table of ThreadEngine, held as data: names, parameters, annotations,
// defaults and the pieces of each documentation text. The class, its functions,
// their signatures, argument checks and docs are all generated from it.

#include <Python.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread {

struct MethodSpec;

// What a method sees when it runs: the instance, its bound arguments (after
// self, defaults filled in), the namespace of the module that defined it, and
// the objects its function derived once from the table.
struct CallContext {
    PyObject* self;
    std::span<PyObject* const> args;
    const MethodSpec& spec;
    PyObject* globals;
    PyObject* param_names;   // tuple of interned names: "self", then the parameters
    PyObject* command_type;  // a tree operation's command type, interned; else null

    PyObject* arg(size_t i) const { return args[i]; }
    // The name of parameter i (counted after self); borrowed.
    PyObject* param_name(size_t i) const { return PyTuple_GET_ITEM(param_names, static_cast<Py_ssize_t>(i + 1)); }
    // A module-level name, looked up now (as a Python function's global would be):
    // the module namespace first, then the builtins.
    template <Literal name>
    Ref global() const {
        return global(interned<name>());
    }
    Ref global(PyObject* name) const;
};

using MethodImpl = PyObject* (*)(const CallContext&);

struct ParamSpec {
    std::string_view name;
    std::string_view annotation;
    std::string_view doc;
    bool default_none = false;
};

struct DocEntry {
    std::string_view name;
    std::string_view text;
};

struct MethodSpec {
    std::string_view name;
    std::vector<ParamSpec> params;     // after self
    std::string_view return_annotation;  // empty: no annotations at all
    std::string_view summary;
    std::string_view sentence;         // empty: none
    std::vector<DocEntry> returns;
    std::vector<DocEntry> raises;
    MethodImpl impl;
    std::string_view command_type;     // tree operations: the command they send
};

// The methods of ThreadEngine, in the order of the class body.
const std::vector<MethodSpec>& method_table();

struct DocSection {
    std::string_view heading;
    std::vector<std::string> entries;
};

// Lays out a documentation text: a leading line break, the summary and the
// optional sentence at `indent`, then the sections (entries indented four more),
// separated as the project's docstrings are, ending with a line break and `indent`.
std::string format_doc(std::string_view indent, std::string_view summary,
                       std::string_view sentence, const std::vector<DocSection>& sections);

// The documentation text of one method.
std::string method_doc(const MethodSpec& spec);

inline constexpr std::string_view kClassName = "ThreadEngine";
inline constexpr std::string_view kModuleName = "morvlen.engine.trigger.mthread";
std::string class_doc();

}  // namespace morvlen::mthread
