"""What loading the thread engine module binds, and the shape of ThreadEngine's
methods: names, docs, annotations, defaults, binding and argument errors."""

import inspect
import subprocess
import sys
import textwrap

import pytest

METHOD_ORDER = [
    "__init__", "register_action_behavior", "register_action_class", "_run_tree",
    "_process_command", "create_tree_from_text", "create_tree_from_file", "_check_tree_exists",
    "get_tree_ids", "_send_command", "tick_once", "tick_until_failure", "tick_until_success",
    "tick_n_times", "get_tree_status", "get_blackboard_data", "set_blackboard_data",
    "get_all_blackboard_data", "reset_tree", "stop_tree", "stop_all_trees", "__del__",
]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


def test_loading_binds_the_names_in_order_and_nothing_else():
    out = run_python("""
        import threading, sys
        from loguru import logger
        lines = []
        logger.add(lines.append)
        import morvlen.engine.trigger.mthread as m
        print([k for k in vars(m) if not k.startswith("__")])
        print(threading.active_count(), len(lines))
    """)
    assert out.returncode == 0, out.stderr
    names, counts = out.stdout.splitlines()
    assert names == str(["os", "time", "threading", "Any", "Dict", "List", "Optional", "Type",
                         "Callable", "Tuple", "logger", "BehaviorTreeFactory", "NodeStatus",
                         "TreeNode", "SimpleActionNode", "SequentialEngine", "ThreadEngine"])
    assert counts == "1 0"


def test_loads_under_the_name_main():
    out = run_python("""
        import importlib.util, sys, morvlen.engine.trigger.mthread as m
        sys.modules["agno"] = None  # the demonstration stops at its first import
        spec = importlib.util.spec_from_file_location("__main__", m.__file__)
        main = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(main)
        except ModuleNotFoundError as e:
            print(e.name)
        print(main.__name__, main.ThreadEngine is not m.ThreadEngine, main.__doc__ == m.__doc__)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["agno.models", "__main__", "True", "True"]


def test_module_and_class_documentation(mt):
    assert mt.__doc__ == ("\n线程引擎模块\n\n该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。\n"
                          "每个行为树在独立的线程中运行，提高处理效率。\n")
    assert mt.ThreadEngine.__doc__ == ("\n    线程B树引擎类\n    \n    该类实现了基于线程的B树操作，"
                                       "每个行为树在独立的线程中执行。\n    ")


def test_class_is_plain_with_methods_in_table_order(mt):
    cls = mt.ThreadEngine
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "morvlen.engine.trigger.mthread"
    assert cls.__qualname__ == "ThreadEngine"
    assert [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")] == METHOD_ORDER


@pytest.mark.parametrize("name", METHOD_ORDER)
def test_method_attributes(mt, name):
    fn = vars(mt.ThreadEngine)[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == f"ThreadEngine.{name}"
    assert fn.__module__ == "morvlen.engine.trigger.mthread"
    assert fn.__doc__.startswith("\n        ") and fn.__doc__.endswith("\n        ")
    assert all(isinstance(v, str) for v in fn.__annotations__.values())
    assert list(inspect.signature(fn).parameters)[0] == "self"


DOCS = {
    "__init__": "\n        初始化线程引擎\n        ",
    "register_action_class": (
        "\n        通过类注册动作节点\n        \n        该方法通过传入节点类来注册动作节点，自动获取tick函数和ports列表。\n"
        "        \n        Args:\n            action_class: 动作节点类，必须继承自SimpleActionNode\n"
        "            action_id: 动作节点ID，如果为None则使用类名\n        "),
    "get_tree_ids": "\n        获取所有行为树ID\n        \n        Returns:\n            List[str]: 行为树ID列表\n        ",
    "_send_command": (
        "\n        发送命令到行为树线程\n        \n        Args:\n            tree_id: 行为树ID\n"
        "            command_type: 命令类型\n            params: 命令参数\n            \n        Returns:\n"
        "            Any: 命令执行结果\n            \n        Raises:\n            ValueError: 如果行为树不存在\n"
        "            RuntimeError: 如果命令执行失败\n        "),
    "stop_tree": ("\n        停止行为树线程\n        \n        Args:\n            tree_id: 行为树ID\n            \n"
                  "        Raises:\n            ValueError: 如果行为树不存在\n        "),
}


@pytest.mark.parametrize("name", DOCS)
def test_documentation_text_byte_for_byte(mt, name):
    assert getattr(mt.ThreadEngine, name).__doc__ == DOCS[name]


@pytest.mark.parametrize("name, defaults", [
    ("create_tree_from_text", (None,)), ("create_tree_from_file", (None,)),
    ("register_action_class", (None,)), ("_send_command", (None,)),
    ("tick_once", None), ("__init__", None), ("set_blackboard_data", None),
])
def test_defaults(mt, name, defaults):
    assert getattr(mt.ThreadEngine, name).__defaults__ == defaults


@pytest.mark.parametrize("name, annotations", [
    ("tick_until_failure", {"tree_id": "str", "return": "int"}),
    ("register_action_behavior", {"action_id": "str", "tick_functor": "Callable[[TreeNode], NodeStatus]",
                                  "ports_list": "List[Dict[str, str]]", "return": "None"}),
    ("_send_command", {"tree_id": "str", "command_type": "str", "params": "Dict[str, Any]", "return": "Any"}),
    ("__init__", {}), ("__del__", {}),
])
def test_annotations_are_text(mt, name, annotations):
    assert getattr(mt.ThreadEngine, name).__annotations__ == annotations


def test_signature_of_bound_method(mt, stand_in):
    engine = mt.ThreadEngine()
    sig = inspect.signature(engine.create_tree_from_text)
    assert str(sig) == "(xml_text: 'str', tree_id: 'Optional[str]' = None) -> 'str'"
    assert engine.tick_once.__self__ is engine
    assert engine.tick_once.__func__ is mt.ThreadEngine.tick_once


@pytest.mark.parametrize("call, message", [
    (lambda e: e.tick_once(), "ThreadEngine.tick_once() missing 1 required positional argument: 'tree_id'"),
    (lambda e: e.set_blackboard_data("t"),
     "ThreadEngine.set_blackboard_data() missing 2 required positional arguments: 'key' and 'value'"),
    (lambda e: e.tick_once("a", "b"), "ThreadEngine.tick_once() takes 2 positional arguments but 3 were given"),
    (lambda e: e.get_tree_ids(1), "ThreadEngine.get_tree_ids() takes 1 positional argument but 2 were given"),
    (lambda e: e.create_tree_from_text("x", "a", "b"),
     "ThreadEngine.create_tree_from_text() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda e: e.tick_once(tree="a"), "ThreadEngine.tick_once() got an unexpected keyword argument 'tree'"),
    (lambda e: e.tick_n_times("a", tree_id="b"),
     "ThreadEngine.tick_n_times() got multiple values for argument 'tree_id'"),
])
def test_argument_binding_errors_read_like_python(mt, stand_in, call, message):
    engine = mt.ThreadEngine()
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == message


def test_methods_can_be_overridden_and_instances_have_a_dict(mt, stand_in):
    class Mine(mt.ThreadEngine):
        def get_tree_ids(self):
            return ["mine"]

    engine = Mine()
    engine.extra = 1
    assert engine.get_tree_ids() == ["mine"]
    assert vars(engine) == {"factory": "factory", "trees": {}, "action_registrations": [], "extra": 1}
