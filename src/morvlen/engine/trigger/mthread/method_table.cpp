#include "morvlen/engine/trigger/mthread/method_table.h"

#include "morvlen/engine/trigger/mthread/engine_methods.h"

namespace morvlen::mthread {

namespace {

constexpr std::string_view kTreeId = "行为树ID";
constexpr std::string_view kTreeMissing = "如果行为树不存在";
constexpr ParamSpec kTreeIdParam{"tree_id", "str", kTreeId};

MethodSpec tree_op(std::string_view name, std::string_view command,
                   std::vector<ParamSpec> extra, std::string_view ret, std::string_view summary,
                   std::vector<DocEntry> returns) {
    std::vector<ParamSpec> params{kTreeIdParam};
    params.insert(params.end(), extra.begin(), extra.end());
    return MethodSpec{name, std::move(params), ret, summary, {}, std::move(returns), {},
                      &tree_operation, command};
}

std::vector<MethodSpec> build_table() {
    std::vector<MethodSpec> t;
    t.push_back({"__init__", {}, {}, "初始化线程引擎", {}, {}, {}, &engine_init, {}});
    t.push_back({"register_action_behavior",
                 {{"action_id", "str", "动作节点ID"},
                  {"tick_functor", "Callable[[TreeNode], NodeStatus]", "节点的tick函数"},
                  {"ports_list", "List[Dict[str, str]]", "节点的端口列表"}},
                 "None", "注册动作节点",
                 "该方法封装了动作节点的注册过程，将节点注册信息存储起来，供后续创建行为树线程时使用。",
                 {}, {}, &register_action_behavior, {}});
    t.push_back({"register_action_class",
                 {{"action_class", "Type[SimpleActionNode]", "动作节点类，必须继承自SimpleActionNode"},
                  {"action_id", "Optional[str]", "动作节点ID，如果为None则使用类名", true}},
                 "None", "通过类注册动作节点",
                 "该方法通过传入节点类来注册动作节点，自动获取tick函数和ports列表。",
                 {}, {}, &register_action_class, {}});
    t.push_back({"_run_tree", {kTreeIdParam, {"xml_text", "str", "XML文本描述的行为树"}}, "None",
                 "运行行为树线程", {}, {}, {}, &run_tree, {}});
    t.push_back({"_process_command",
                 {{"engine", "SequentialEngine", "顺序引擎实例"},
                  {"command", "Dict[str, Any]", "命令字典"},
                  kTreeIdParam,
                  {"result", "List[Any]", "结果列表"}},
                 "None", "处理命令", {}, {}, {}, &process_command, {}});
    t.push_back({"create_tree_from_text",
                 {{"xml_text", "str", "XML文本描述的行为树"},
                  {"tree_id", "Optional[str]", "行为树ID，如果为None则自动生成", true}},
                 "str", "从XML文本创建行为树", {}, {{"str", kTreeId}}, {},
                 &create_tree_from_text, {}});
    t.push_back({"create_tree_from_file",
                 {{"file_path", "str", "XML文件路径"},
                  {"tree_id", "Optional[str]", "行为树ID，如果为None则自动生成", true}},
                 "str", "从XML文件创建行为树", {}, {{"str", kTreeId}}, {},
                 &create_tree_from_file, {}});
    t.push_back({"_check_tree_exists", {kTreeIdParam}, "None", "检查行为树是否存在", {}, {},
                 {{"ValueError", kTreeMissing}}, &check_tree_exists, {}});
    t.push_back({"get_tree_ids", {}, "List[str]", "获取所有行为树ID", {},
                 {{"List[str]", "行为树ID列表"}}, {}, &get_tree_ids, {}});
    t.push_back({"_send_command",
                 {kTreeIdParam,
                  {"command_type", "str", "命令类型"},
                  {"params", "Dict[str, Any]", "命令参数", true}},
                 "Any", "发送命令到行为树线程", {}, {{"Any", "命令执行结果"}},
                 {{"ValueError", kTreeMissing}, {"RuntimeError", "如果命令执行失败"}},
                 &send_command, {}});
    t.push_back(tree_op("tick_once", "tick_once", {}, "NodeStatus", "执行一次行为树tick",
                        {{"NodeStatus", "执行状态"}}));
    t.push_back(tree_op("tick_until_failure", "tick_until_failure", {}, "int",
                        "执行行为树直到失败", {{"int", "执行次数"}}));
    t.push_back(tree_op("tick_until_success", "tick_until_success", {}, "int",
                        "执行行为树直到成功", {{"int", "执行次数"}}));
    t.push_back(tree_op("tick_n_times", "tick_n_times", {{"n", "int", "执行次数"}},
                        "List[NodeStatus]", "执行行为树n次",
                        {{"List[NodeStatus]", "执行状态列表"}}));
    t.push_back(tree_op("get_tree_status", "get_status", {}, "Dict[str, Any]", "获取行为树状态",
                        {{"Dict[str, Any]", "行为树状态"}}));
    t.push_back(tree_op("get_blackboard_data", "get_blackboard_data",
                        {{"key", "str", "数据键"}}, "Any", "获取黑板数据", {{"Any", "数据值"}}));
    t.push_back(tree_op("set_blackboard_data", "set_blackboard_data",
                        {{"key", "str", "数据键"}, {"value", "Any", "数据值"}}, "None",
                        "设置黑板数据", {}));
    t.push_back(tree_op("get_all_blackboard_data", "get_all_blackboard_data", {},
                        "Dict[str, Any]", "获取所有黑板数据",
                        {{"Dict[str, Any]", "所有黑板数据"}}));
    t.push_back(tree_op("reset_tree", "reset", {}, "None", "重置行为树", {}));
    t.push_back({"stop_tree", {kTreeIdParam}, "None", "停止行为树线程", {}, {},
                 {{"ValueError", kTreeMissing}}, &stop_tree, {}});
    t.push_back({"stop_all_trees", {}, "None", "停止所有行为树线程", {}, {}, {},
                 &stop_all_trees, {}});
    t.push_back({"__del__", {}, {}, "析构函数，确保所有线程被正确停止", {}, {}, {},
                 &finalize_engine, {}});
    return t;
}

std::vector<std::string> entries_of(const std::vector<DocEntry>& list) {
    std::vector<std::string> out;
    for (const DocEntry& e : list) out.push_back(std::string(e.name) + ": " + std::string(e.text));
    return out;
}

}  // namespace

const std::vector<MethodSpec>& method_table() {
    static const std::vector<MethodSpec> table = build_table();
    return table;
}

std::string format_doc(std::string_view indent, std::string_view summary,
                       std::string_view sentence, const std::vector<DocSection>& sections) {
    const std::string outer(indent);
    const std::string inner = outer + "    ";
    std::string doc = "\n" + outer + std::string(summary) + "\n";
    if (!sentence.empty()) doc += outer + "\n" + outer + std::string(sentence) + "\n";
    bool first = true;
    for (const DocSection& section : sections) {
        if (section.entries.empty()) continue;
        // The separator before the first section closes the summary block; the
        // later ones sit at entry depth, closing the section before them.
        doc += (first ? outer : inner) + "\n";
        first = false;
        doc += outer + std::string(section.heading) + "\n";
        for (const std::string& entry : section.entries) doc += inner + entry + "\n";
    }
    return doc + outer;
}

std::string method_doc(const MethodSpec& spec) {
    std::vector<DocEntry> args;
    for (const ParamSpec& p : spec.params) args.push_back({p.name, p.doc});
    return format_doc("        ", spec.summary, spec.sentence,
                      {{"Args:", entries_of(args)},
                       {"Returns:", entries_of(spec.returns)},
                       {"Raises:", entries_of(spec.raises)}});
}

std::string class_doc() {
    return format_doc("    ", "线程B树引擎类",
                      "该类实现了基于线程的B树操作，每个行为树在独立的线程中执行。", {});
}

Ref CallContext::global(PyObject* name) const { return lookup_global(globals, name); }

}  // namespace morvlen::mthread
