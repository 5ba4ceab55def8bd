// The demonstration: two trees, built from one XML text, each asking an LLM
// agent for the news and printing the streamed answer, driven by one engine.
#include "morvlen/engine/trigger/mthread/demo.h"

#include "morvlen/engine/trigger/mthread/demo_nodes.h"
#include "morvlen/engine/trigger/mthread/demo_calls.h"

namespace morvlen::mthread {
namespace {

using demo::call_kw;
using demo::call_method;
using demo::global;
using demo::Ref;
using demo::str_of;

// The attribute lines of GetStreamResponse are indented with blanks and a tab.
constexpr const char* kXmlText =
    "\n"
    "    <root BTCPP_format=\"4\">\n"
    "        <BehaviorTree ID=\"MainTree\">\n"
    "            <Sequence name=\"root_sequence\">\n"
    "                <CreateAgentOllama model_id=\"qwen3:30b\" agent=\"{agent}\" description=\"You are an "
    "enthusiastic news reporter with a flair for storytelling!\"/>\n"
    "                    <KeepRunningUntilFailure>  \n"
    "                        <Sequence>\n"
    "                            <GetStreamResponse \n"
    "                            \tagent=\"{agent}\" \n"
    "                            \tinstructions=\"{instructions}\" \n"
    "                            \tuser_input=\"{user_input}\" \n"
    "                            \tresponse_stream=\"{response_stream}\"/>     \n"
    "                        </Sequence>\n"
    "                    </KeepRunningUntilFailure>\n"
    "            </Sequence>\n"
    "        </BehaviorTree>\n"
    "    </root>\n"
    "    ";

// The ImportError of `from module_name import name` for a missing name, worded
// and filled in (name, path) as the interpreter does.
void raise_cannot_import(PyObject* module, const char* module_name, const char* name) {
    const Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    if (!path) PyErr_Clear();  // no __file__: the interpreter says "unknown location"
    const Ref message = Ref::steal(
        path ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, module_name, path.get())
             : PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)", name, module_name));
    const Ref import_name = str_of(module_name);
    if (message && import_name) PyErr_SetImportError(message.get(), import_name.get(), path.get());
}

// `from module_name import name`.
Ref import_from(const char* module_name, const char* name) {
    const Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return {};
    Ref value = Ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_cannot_import(module.get(), module_name, name);
    }
    return value;
}

class Demonstration {
public:
    explicit Demonstration(PyObject* module) : module_(module), globals_(PyModule_GetDict(module)) {}

    bool run() {
        if (!import_names() || !define_node_classes() || !make_engine()) return false;
        trees_may_exist_ = true;  // from here on a failure must not leave workers behind
        return create_trees() && ask("tree_id0", "中国上海的新闻") && ask("tree_id1", "中国北京的新闻") &&
               static_cast<bool>(call_method(engine_.get(), "stop_all_trees", {}));
    }

    // The trees' worker threads are not daemons: stop them so that the failed
    // run still lets the process end. The run's own error stays the one raised.
    void stop_trees_after_failure() const {
        if (!trees_may_exist_) return;
        PyObject* error = PyErr_GetRaisedException();
        if (!call_method(engine_.get(), "stop_all_trees", {})) {
            const Ref stop_error = Ref::steal(PyErr_GetRaisedException());
            const Ref note = Ref::steal(
                PyUnicode_FromFormat("the trees could not be stopped after this error: %R", stop_error.get()));
            if (!note || !call_method(error, "add_note", {note.get()})) PyErr_WriteUnraisable(engine_.get());
        }
        PyErr_SetRaisedException(error);
    }

private:
    bool bind(const char* name, const Ref& value) const {
        return value && PyDict_SetItemString(globals_, name, value.get()) == 0;
    }

    bool import_names() const {
        return bind("Ollama", import_from("agno.models.ollama", "Ollama")) &&
               bind("Agent", import_from("agno.agent", "Agent")) &&
               bind("RunResponse", import_from("agno.agent", "RunResponse")) &&
               bind("Iterator", import_from("typing", "Iterator"));
    }

    bool define_node_classes() const {
        return bind("CreateAgentOllama", demo::make_create_agent_class(module_)) &&
               bind("GetStreamResponse", demo::make_stream_response_class(module_));
    }

    bool make_engine() {
        const Ref engine_class = global(globals_, "ThreadEngine");
        engine_ = engine_class ? call_kw(engine_class.get(), {}, {}) : Ref{};
        if (!bind("engine", engine_)) return false;
        for (const char* name : {"CreateAgentOllama", "GetStreamResponse"}) {
            const Ref node_class = global(globals_, name);
            if (!node_class ||
                !call_method(engine_.get(), "register_action_class", {node_class.get(), str_of(name).get()}))
                return false;
        }
        return true;
    }

    bool create_trees() const {
        if (!bind("xml_text", str_of(kXmlText))) return false;
        const Ref xml_text = global(globals_, "xml_text");
        return xml_text &&
               bind("tree_id0",
                    call_method(engine_.get(), "create_tree_from_text", {xml_text.get(), str_of("tree0").get()})) &&
               bind("tree_id1",
                    call_method(engine_.get(), "create_tree_from_text", {xml_text.get(), str_of("tree1").get()}));
    }

    // Sends the request to the tree named by the global `tree_id_name`, ticks
    // it once and prints the answer streamed through its blackboard.
    bool ask(const char* tree_id_name, const char* request) const {
        const Ref tree_id = global(globals_, tree_id_name);
        if (!tree_id ||
            !call_method(engine_.get(), "set_blackboard_data",
                         {tree_id.get(), str_of("user_input").get(), str_of(request).get()}) ||
            !bind("status", call_method(engine_.get(), "tick_once", {tree_id.get()})) ||
            !bind("response_stream", call_method(engine_.get(), "get_blackboard_data",
                                                 {tree_id.get(), str_of("response_stream").get()})))
            return false;
        return print_stream(global(globals_, "response_stream"));
    }

    // Each piece goes to the terminal the moment it arrives, with no line break
    // after it; one line break ends the answer.
    bool print_stream(const Ref& stream) const {
        const Ref print = import_from("builtins", "print");
        const Ref iterator = stream ? Ref::steal(PyObject_GetIter(stream.get())) : Ref{};
        const Ref no_end = str_of("");
        if (!print || !iterator || !no_end) return false;
        while (const Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!bind("response", item)) return false;
            const Ref content = Ref::steal(PyObject_GetAttrString(item.get(), "content"));
            if (!content || !call_kw(print.get(), {content.get()}, {{"end", no_end.get()}}) || !flush_stdout())
                return false;
        }
        if (PyErr_Occurred()) return false;
        return call_kw(print.get(), {}, {}) && flush_stdout();
    }

    static bool flush_stdout() {
        PyObject* out = PySys_GetObject("stdout");  // borrowed; None or absent without a console
        if (!out || out == Py_None) return true;
        return static_cast<bool>(call_method(out, "flush", {}));
    }

    PyObject* module_;
    PyObject* globals_;  // borrowed from the module
    Ref engine_;
    bool trees_may_exist_ = false;
};

}  // namespace

int run_demonstration(PyObject* module) {
    Demonstration demonstration(module);
    if (demonstration.run()) return 0;
    demonstration.stop_trees_after_failure();
    return -1;
}

}  // namespace morvlen::mthread
