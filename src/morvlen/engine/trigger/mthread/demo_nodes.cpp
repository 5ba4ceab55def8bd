#include "morvlen/engine/trigger/mthread/demo_nodes.h"

#include <array>
#include <span>

namespace morvlen::mthread::demo {
namespace {

constexpr const char* kCreateAgentDoc =
    "\n"
    "        创建Agent节点\n"
    "        \n"
    "        该节点用于根据指定的模型供应商、模型ID和描述创建一个新的Agent实例。\n"
    "        支持Ollama模型供应商，未来可扩展支持其他供应商。\n"
    "        \n"
    "        输入端口:\n"
    "            - model_provider: 模型供应商名称 (可选值: ollama, deepseek, openai, anthropic, gemini)\n"
    "            - model_id: 模型ID\n"
    "            - description: Agent的描述信息\n"
    "            \n"
    "        输出端口:\n"
    "            - agent: 创建的Agent实例\n"
    "        ";

struct PortSpec {
    const char* name;
    const char* type;
    const char* direction;
};

constexpr std::array<PortSpec, 3> kCreateAgentPorts{{
    {"model_id", "string", "input"},
    {"description", "string", "input"},
    {"agent", "object", "output"},
}};

constexpr std::array<PortSpec, 4> kStreamResponsePorts{{
    {"agent", "object", "input"},
    {"instructions", "object", "input"},
    {"response_stream", "object", "output"},
    {"user_input", "string", "input"},
}};

// The port records, keys in the order name, type, direction, description.
Ref port_list(std::span<const PortSpec> specs) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const PortSpec& spec : specs) {
        const Ref record = Ref::steal(Py_BuildValue("{s:s,s:s,s:s,s:s}", "name", spec.name, "type", spec.type,
                                                    "direction", spec.direction, "description", ""));
        if (!record || PyList_Append(list.get(), record.get()) < 0) return {};
    }
    return list;
}

Ref node_status_success(PyObject* globals) {
    const Ref node_status = global(globals, "NodeStatus");
    return node_status ? Ref::steal(PyObject_GetAttrString(node_status.get(), "SUCCESS")) : Ref{};
}

// tick(node) of CreateAgentOllama; `module` is the function's bound self.
PyObject* create_agent_tick(PyObject* module, PyObject* node) {
    PyObject* globals = PyModule_GetDict(module);
    const Ref model_id = call_method(node, "getInputString", {str_of("model_id").get()});
    if (!model_id) return nullptr;
    const Ref description = call_method(node, "getInputString", {str_of("description").get()});
    if (!description) return nullptr;
    const Ref ollama = global(globals, "Ollama");
    const Ref model = ollama ? call_kw(ollama.get(), {}, {{"id", model_id.get()}}) : Ref{};
    if (!model) return nullptr;
    const Ref agent_class = global(globals, "Agent");
    const Ref agent = agent_class ? call_kw(agent_class.get(), {},
                                            {{"model", model.get()},
                                             {"description", description.get()},
                                             {"markdown", Py_True}})
                                  : Ref{};
    if (!agent) return nullptr;
    if (!call_method(node, "setOutput", {str_of("agent").get(), agent.get()})) return nullptr;
    return node_status_success(globals).release();
}

// tick(node) of GetStreamResponse; `module` is the function's bound self.
PyObject* stream_response_tick(PyObject* module, PyObject* node) {
    const Ref agent = call_method(node, "getInputObject", {str_of("agent").get()});
    if (!agent) return nullptr;
    // Read for its port contract only; the run does not use it.
    const Ref instructions = call_method(node, "getInputObject", {str_of("instructions").get()});
    if (!instructions) return nullptr;
    const Ref user_input = call_method(node, "getInputString", {str_of("user_input").get()});
    if (!user_input) return nullptr;
    const Ref run = Ref::steal(PyObject_GetAttrString(agent.get(), "run"));
    const Ref stream = run ? call_kw(run.get(), {user_input.get()}, {{"stream", Py_True}}) : Ref{};
    if (!stream) return nullptr;
    if (!call_method(node, "setOutput", {str_of("response_stream").get(), stream.get()})) return nullptr;
    return node_status_success(PyModule_GetDict(module)).release();
}

PyMethodDef kCreateAgentTickDef{"tick", create_agent_tick, METH_O, nullptr};
PyMethodDef kStreamResponseTickDef{"tick", stream_response_tick, METH_O, nullptr};

// A plain function around the C++ tick, so that `tick` carries what a class
// body would give it: the annotation of `node`, the qualified name, a signature
// for inspect and the interpreter's own argument binding.
constexpr const char* kTickWrapperSource =
    "def wrap_tick(impl, qualname):\n"
    "    def tick(node: 'TreeNode'):\n"
    "        return impl(node)\n"
    "    tick.__qualname__ = qualname\n"
    "    return tick\n";

Ref wrap_tick(PyObject* module_name, const Ref& impl, const char* class_name) {
    // Its own namespace, so nothing is bound in the module's; __name__ sets the
    // function's __module__.
    const Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__name__", module_name) < 0) return {};
    const Ref code = Ref::steal(Py_CompileString(kTickWrapperSource, "<demo node tick>", Py_file_input));
    if (!code || !Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()))) return {};
    const Ref wrapper = global(globals.get(), "wrap_tick");
    const Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.tick", class_name));
    if (!wrapper || !qualname) return {};
    return call_kw(wrapper.get(), {impl.get(), qualname.get()}, {});
}

// staticmethod(tick) for the class body of `class_name`.
Ref static_tick(PyObject* module, const char* class_name, PyMethodDef* def) {
    const Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return {};
    const Ref impl = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!impl) return {};
    const Ref function = wrap_tick(module_name.get(), impl, class_name);
    return function ? Ref::steal(PyStaticMethod_New(function.get())) : Ref{};
}

// type(name, (SimpleActionNode,), namespace), with the namespace a class
// statement in the module would have.
Ref make_node_class(PyObject* module, const char* name, const char* doc, std::span<const PortSpec> ports,
                    PyMethodDef* tick_def) {
    const Ref base = global(PyModule_GetDict(module), "SimpleActionNode");
    if (!base) return {};
    const Ref namespace_dict = Ref::steal(PyDict_New());
    const Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    const Ref class_name = Ref::steal(PyUnicode_FromString(name));
    const Ref doc_text = doc ? Ref::steal(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
    const Ref port_records = port_list(ports);
    const Ref tick = static_tick(module, name, tick_def);
    if (!namespace_dict || !module_name || !class_name || !doc_text || !port_records || !tick) return {};
    const std::array<std::pair<const char*, PyObject*>, 5> entries{{
        {"__module__", module_name.get()},
        {"__qualname__", class_name.get()},
        {"__doc__", doc_text.get()},
        {"ports", port_records.get()},
        {"tick", tick.get()},
    }};
    for (const auto& [key, value] : entries) {
        if (PyDict_SetItemString(namespace_dict.get(), key, value) < 0) return {};
    }
    const Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return {};
    PyObject* type = reinterpret_cast<PyObject*>(&PyType_Type);
    return call_kw(type, {class_name.get(), bases.get(), namespace_dict.get()}, {});
}

}  // namespace

Ref make_create_agent_class(PyObject* module) {
    return make_node_class(module, "CreateAgentOllama", kCreateAgentDoc, kCreateAgentPorts, &kCreateAgentTickDef);
}

Ref make_stream_response_class(PyObject* module) {
    return make_node_class(module, "GetStreamResponse", nullptr, kStreamResponsePorts, &kStreamResponseTickDef);
}

}  // namespace morvlen::mthread::demo
