// Loading morvlen.engine.trigger.mthread: the imports, then the ThreadEngine
// class, then (when loaded as the main program) the demonstration.
#include <array>
#include <string>

#include "morvlen/engine/trigger/mthread/demo.h"
#include "morvlen/engine/trigger/mthread/method_function.h"
#include "morvlen/engine/trigger/mthread/method_table.h"

namespace morvlen::mthread {

namespace {

constexpr const char kModuleDoc[] =
    "\n线程引擎模块\n\n该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。\n"
    "每个行为树在独立的线程中运行，提高处理效率。\n";

struct ImportStatement {
    const char* module;
    std::vector<const char*> names;  // empty: `import module`
};

bool bind(PyObject* globals, const char* name, PyObject* value) {
    return PyDict_SetItemString(globals, name, value) == 0;
}

// `from module import name`: the interpreter's ImportError when the name is missing.
Ref imported_name(PyObject* module, const char* module_name, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    const Ref file = get_attr<"__file__">(module);
    if (!file) PyErr_Clear();
    const Ref name_obj = str_of(name);
    const Ref module_obj = str_of(module_name);
    const Ref message =
        file ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name,
                                               module_name, file.get()))
             : Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)",
                                               name, module_name));
    if (message && name_obj && module_obj) {
        PyErr_SetImportError(message.get(), module_obj.get(), file ? file.get() : nullptr);
    }
    return {};
}

bool run_import(PyObject* globals, const ImportStatement& statement) {
    const Ref module = Ref::steal(PyImport_ImportModule(statement.module));
    if (!module) return false;
    if (statement.names.empty()) return bind(globals, statement.module, module.get());
    for (const char* name : statement.names) {
        const Ref value = imported_name(module.get(), statement.module, name);
        if (!value || !bind(globals, name, value.get())) return false;
    }
    return true;
}

Ref make_engine_class(PyObject* globals) {
    const Ref ns = Ref::steal(PyDict_New());
    const Ref module_name = str_of(kModuleName);
    const Ref qualname = str_of(kClassName);
    const Ref doc = str_of(class_doc());
    if (!ns || !module_name || !qualname || !doc ||
        PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
        return {};
    }
    for (const MethodSpec& spec : method_table()) {
        const Ref function = make_method_function(spec, globals);
        const std::string name(spec.name);
        if (!function || PyDict_SetItemString(ns.get(), name.c_str(), function.get()) < 0) return {};
    }
    const Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return {};
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {qualname.get(), bases.get(), ns.get()});
}

int exec_module(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    const std::array<ImportStatement, 8> imports{{
        {"os", {}},
        {"time", {}},
        {"threading", {}},
        {"typing", {"Any", "Dict", "List", "Optional", "Type", "Callable", "Tuple"}},
        {"loguru", {"logger"}},
        {"morvlen.core", {"BehaviorTreeFactory", "NodeStatus", "TreeNode"}},
        {"morvlen.nodes.action_node", {"SimpleActionNode"}},
        {"morvlen.engine.sequential_engine", {"SequentialEngine"}},
    }};
    for (const ImportStatement& statement : imports) {
        if (!run_import(globals, statement)) return -1;
    }
    const Ref engine_class = make_engine_class(globals);
    if (!engine_class || !bind(globals, "ThreadEngine", engine_class.get())) return -1;

    const Ref name = get_attr<"__name__">(module);
    if (!name) return -1;
    const int is_main = PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0;
    return is_main ? run_demonstration(module) : 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "mthread", kModuleDoc, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace morvlen::mthread

PyMODINIT_FUNC PyInit_mthread() { return PyModuleDef_Init(&morvlen::mthread::module_def); }

// The launcher loads this file under the name "__main__" to run the demonstration.
PyMODINIT_FUNC PyInit___main__() { return PyModuleDef_Init(&morvlen::mthread::module_def); }
