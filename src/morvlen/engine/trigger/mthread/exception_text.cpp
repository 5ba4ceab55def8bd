#include "morvlen/engine/trigger/mthread/exception_text.h"

namespace morvlen::mthread {

namespace {

Ref qualified_name(PyObject* object) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) PyErr_Clear();
    return name ? name : str_of("?");
}

// repr(error.args), or null without an exception when even that fails.
Ref args_repr(PyObject* error) {
    const Ref args = get_attr<"args">(error);
    Ref text = args ? Ref::steal(PyObject_Repr(args.get())) : Ref{};
    if (!text) PyErr_Clear();
    return text;
}

}  // namespace

Ref exception_text(PyObject* error) {
    Ref text = Ref::steal(PyObject_Format(error, nullptr));
    if (text || !PyErr_ExceptionMatches(PyExc_Exception)) return text;
    const Ref failure = Ref::steal(PyErr_GetRaisedException());
    MessageBuilder message;
    message.text("<").value(qualified_name(error).get()).text(": str() 引发了 ")
        .value(qualified_name(failure.get()).get());
    if (const Ref args = args_repr(error)) message.text(", args=").value(args.get());
    return message.text(">").build();
}

}  // namespace morvlen::mthread
