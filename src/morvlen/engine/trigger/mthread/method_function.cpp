#include "morvlen/engine/trigger/mthread/method_function.h"

#include <array>
#include <cstddef>

#include "morvlen/engine/trigger/mthread/arg_checks.h"

namespace morvlen::mthread {

namespace {

// self plus at most this many parameters; the table stays well below it.
constexpr size_t kMaxArgs = 8;

struct MethodFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    const MethodSpec* spec;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* param_names;   // tuple: "self", then the parameters
    PyObject* command_type;  // interned; null unless the method is a tree operation
    PyObject* signature;     // built on first use
    // Derived from the annotations once, so a call only compares type pointers.
    std::array<TypeCheck, kMaxArgs> arg_checks;
    TypeCheck result_check;
};

MethodFunction* as_function(PyObject* o) { return reinterpret_cast<MethodFunction*>(o); }

// ---- argument binding, with the interpreter's own wording ----

Ref quoted_names(const std::vector<PyObject*>& names) {
    MessageBuilder msg;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) msg.text(names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", "));
        msg.text("'").value(names[i]).text("'");
    }
    return msg.build();
}

PyObject* raise_missing(const MethodFunction* f, const std::vector<PyObject*>& names) {
    const Ref list = quoted_names(names);
    if (!list) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 f->qualname, static_cast<Py_ssize_t>(names.size()), names.size() == 1 ? "" : "s",
                 list.get());
    return nullptr;
}

PyObject* raise_too_many(const MethodFunction* f, size_t given) {
    const MethodSpec& spec = *f->spec;
    const size_t total = spec.params.size() + 1;
    size_t with_default = 0;
    for (const ParamSpec& p : spec.params) with_default += p.default_none ? 1 : 0;
    if (with_default > 0) {
        PyErr_Format(PyExc_TypeError,
                     "%U() takes from %zd to %zd positional arguments but %zd were given", f->qualname,
                     static_cast<Py_ssize_t>(total - with_default), static_cast<Py_ssize_t>(total),
                     static_cast<Py_ssize_t>(given));
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     f->qualname, static_cast<Py_ssize_t>(total), total == 1 ? "" : "s",
                     static_cast<Py_ssize_t>(given), given == 1 ? "was" : "were");
    }
    return nullptr;
}

Py_ssize_t param_index(const MethodFunction* f, PyObject* keyword) {
    const Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
        if (name == keyword || PyUnicode_Compare(name, keyword) == 0) return i;
    }
    return -1;
}

// Binds positional and keyword arguments to self and the parameters, in `bound`,
// defaults filled in. False with the interpreter's TypeError set on a mismatch.
bool bind_arguments(const MethodFunction* f, PyObject* const* args, size_t nargs, PyObject* kwnames,
                    std::array<PyObject*, kMaxArgs>& bound) {
    const MethodSpec& spec = *f->spec;
    const size_t total = spec.params.size() + 1;
    for (size_t i = 0; i < nargs && i < total; ++i) bound[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
        const Py_ssize_t index = param_index(f, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         f->qualname, keyword);
            return false;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         keyword);
            return false;
        }
        bound[index] = args[nargs + j];
    }
    if (nargs > total) {
        raise_too_many(f, nargs);
        return false;
    }

    std::vector<PyObject*> missing;
    for (size_t i = 0; i < total; ++i) {
        if (bound[i]) continue;
        if (i > 0 && spec.params[i - 1].default_none) {
            bound[i] = Py_None;
        } else {
            missing.push_back(PyTuple_GET_ITEM(f->param_names, static_cast<Py_ssize_t>(i)));
        }
    }
    if (!missing.empty()) {
        raise_missing(f, missing);
        return false;
    }
    return true;
}

PyObject* call_function(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const MethodFunction* f = as_function(callable);
    const MethodSpec& spec = *f->spec;
    const size_t total = spec.params.size() + 1;
    const size_t nargs = PyVectorcall_NARGS(nargsf);
    // Every argument given by position, the usual case, is used as it stands.
    std::array<PyObject*, kMaxArgs> bound{};
    PyObject* const* all = args;
    if (kwnames || nargs != total) {
        if (!bind_arguments(f, args, nargs, kwnames, bound)) return nullptr;
        all = bound.data();
    }

    const CallContext ctx{all[0],       std::span<PyObject* const>(all + 1, total - 1),
                          spec,         f->globals,
                          f->param_names, f->command_type};
    if (!check_arguments(spec, f->arg_checks, ctx.args)) return nullptr;
    Ref result = Ref::steal(spec.impl(ctx));
    if (result && !check_result(f->result_check, result.get())) return nullptr;
    return result.release();
}

// ---- descriptor, lifetime, attributes ----

PyObject* bind_to_instance(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    MethodFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->param_names);
    Py_VISIT(f->command_type);
    Py_VISIT(f->signature);
    return 0;
}

int clear(PyObject* self) {
    MethodFunction* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->command_type);
    Py_CLEAR(f->signature);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

Ref build_signature(const MethodSpec& spec) {
    const Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return {};
    const Ref parameter = get_attr<"Parameter">(inspect.get());
    const Ref signature = get_attr<"Signature">(inspect.get());
    if (!parameter || !signature) return {};
    const Ref kind = get_attr<"POSITIONAL_OR_KEYWORD">(parameter.get());
    const Ref params = Ref::steal(PyList_New(0));
    if (!kind || !params) return {};
    auto add = [&](std::string_view name, std::string_view annotation, bool default_none) {
        const Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return false;
        if (!annotation.empty()) {
            const Ref text = str_of(annotation);
            if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) return false;
        }
        if (default_none && PyDict_SetItemString(kwargs.get(), "default", Py_None) < 0) return false;
        const Ref args = Ref::steal(Py_BuildValue("(s#O)", name.data(), static_cast<Py_ssize_t>(name.size()), kind.get()));
        if (!args) return false;
        const Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        return p && PyList_Append(params.get(), p.get()) == 0;
    };
    if (!add("self", {}, false)) return {};
    for (const ParamSpec& p : spec.params) {
        if (!add(p.name, p.annotation, p.default_none)) return {};
    }
    const Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return {};
    if (!spec.return_annotation.empty()) {
        const Ref text = str_of(spec.return_annotation);
        if (!text || PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()) < 0) return {};
    }
    const Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!args) return {};
    return Ref::steal(PyObject_Call(signature.get(), args.get(), kwargs.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    MethodFunction* f = as_function(self);
    if (!f->signature) f->signature = build_signature(*f->spec).release();
    return Py_XNewRef(f->signature);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef getsets[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__text_signature__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(MethodFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(MethodFunction, weakrefs), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(MethodFunction, name), 0, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(MethodFunction, qualname), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(MethodFunction, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(MethodFunction, doc), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(MethodFunction, annotations), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(MethodFunction, defaults), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(MethodFunction, globals), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(bind_to_instance)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getsets},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "morvlen.engine.trigger.mthread.method_function",
    sizeof(MethodFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// One type for the whole process: its instances only hold references, no
// per-interpreter state.
PyTypeObject* function_type() {
    static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return type;
}

Ref annotations_of(const MethodSpec& spec) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || spec.return_annotation.empty()) return dict;
    for (const ParamSpec& p : spec.params) {
        const Ref key = str_of(p.name);
        const Ref text = str_of(p.annotation);
        if (!key || !text || PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) return {};
    }
    const Ref text = str_of(spec.return_annotation);
    if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0) return {};
    return dict;
}

Ref defaults_of(const MethodSpec& spec) {
    Py_ssize_t count = 0;
    for (const ParamSpec& p : spec.params) count += p.default_none ? 1 : 0;
    if (count == 0) return Ref::none();
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return {};
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(Py_None));
    return tuple;
}

Ref interned_of(std::string_view text) {
    Ref name = str_of(text);
    if (!name) return {};
    PyObject* raw = name.release();
    PyUnicode_InternInPlace(&raw);
    return Ref::steal(raw);
}

Ref param_names_of(const MethodSpec& spec) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size() + 1)));
    if (!tuple) return {};
    PyObject* self_name = PyUnicode_InternFromString("self");
    if (!self_name) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, self_name);
    for (size_t i = 0; i < spec.params.size(); ++i) {
        Ref name = interned_of(spec.params[i].name);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i + 1), name.release());
    }
    return tuple;
}

}  // namespace

Ref make_method_function(const MethodSpec& spec, PyObject* globals) {
    PyTypeObject* type = function_type();
    if (!type) return {};
    Ref name = str_of(spec.name);
    Ref qualname = str_of(std::string(kClassName) + "." + std::string(spec.name));
    Ref module = str_of(kModuleName);
    Ref doc = str_of(method_doc(spec));
    Ref annotations = annotations_of(spec);
    Ref defaults = defaults_of(spec);
    Ref param_names = param_names_of(spec);
    Ref command_type = spec.command_type.empty() ? Ref{} : interned_of(spec.command_type);
    if (!name || !qualname || !module || !doc || !annotations || !defaults || !param_names ||
        (!spec.command_type.empty() && !command_type)) {
        return {};
    }

    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(MethodFunction, type)));
    if (!self) return {};
    MethodFunction* f = as_function(self.get());
    f->vectorcall = call_function;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->spec = &spec;
    f->globals = Py_NewRef(globals);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->param_names = param_names.release();
    f->command_type = command_type.release();
    f->signature = nullptr;
    f->arg_checks.fill(TypeCheck{});
    for (size_t i = 0; i < spec.params.size(); ++i) f->arg_checks[i] = argument_check(spec.params[i]);
    f->result_check = result_check(spec);
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace morvlen::mthread
