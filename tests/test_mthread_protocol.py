"""The engine's protocol pinned with a stand-in runtime engine: commands, results,
messages, log lines, the typing convention, creation, stop and registration."""

import errno
import os
import threading

import pytest

from mthread_support import JOIN_TIMEOUT, in_thread

XML = "<root/>"

# Calls into the engine block until a worker answers: bound them all.
pytestmark = pytest.mark.timeout(60)


def worker_of(engine, tree_id):
    return engine.trees[tree_id]["thread"]


def wait_ended(engine, tree_id):
    thread = worker_of(engine, tree_id)
    thread.join(JOIN_TIMEOUT)
    assert not thread.is_alive()


# ---- registry ---------------------------------------------------------------

def test_construction_state_and_log(mt, stand_in, logs):
    engine = mt.ThreadEngine()
    assert (engine.factory, engine.trees, engine.action_registrations) == ("factory", {}, [])
    assert logs.lines == [("INFO", "初始化线程引擎")]


@pytest.mark.parametrize("tree_id, message", [("nope", "行为树ID nope 不存在"), ("", "行为树ID  不存在")])
def test_unknown_tree_is_logged_and_refused(engine, logs, tree_id, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        engine._check_tree_exists(tree_id)
    assert logs.lines == [("ERROR", message)]


def test_tree_ids_follow_creation_and_stop(engine):
    engine.create_tree_from_text(XML, "tree0")
    engine.create_tree_from_text(XML, "tree1")
    ids = engine.get_tree_ids()
    ids.append("x")
    assert engine.get_tree_ids() == ["tree0", "tree1"]
    engine.stop_tree("tree0")
    assert engine.get_tree_ids() == ["tree1"]


# ---- typing convention --------------------------------------------------------

class Text(str):
    pass


@pytest.mark.parametrize("call, message, subclass", [
    (lambda e: e._check_tree_exists(None), "Argument 'tree_id' has incorrect type (expected str, got NoneType)", False),
    (lambda e: e.tick_once(Text("t")), "Argument 'tree_id' has incorrect type (expected str, got Text)", True),
    (lambda e: e.tick_n_times("t", True), "Argument 'n' has incorrect type (expected int, got bool)", True),
    (lambda e: e.tick_n_times("t", 1.0), "Argument 'n' has incorrect type (expected int, got float)", False),
    (lambda e: e.get_blackboard_data("t", None), "Argument 'key' has incorrect type (expected str, got NoneType)", False),
    (lambda e: e.create_tree_from_text(None), "Argument 'xml_text' has incorrect type (expected str, got NoneType)", False),
    (lambda e: e.create_tree_from_text("x", 3), "Argument 'tree_id' has incorrect type (expected str, got int)", False),
    (lambda e: e._send_command("t", "x", []), "Argument 'params' has incorrect type (expected dict, got list)", False),
    (lambda e: e.register_action_behavior("a", None, ()), "Argument 'ports_list' has incorrect type (expected list, got tuple)", False),
    (lambda e: e._process_command(None, {}, "t", ()), "Argument 'result' has incorrect type (expected list, got tuple)", False),
    (lambda e: e._run_tree(1, 2), "Argument 'tree_id' has incorrect type (expected str, got int)", False),
])
def test_refused_arguments(engine, logs, call, message, subclass):
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == message
    assert bool(getattr(info.value, "__notes__", None)) == subclass
    assert logs.lines == []


@pytest.mark.parametrize("method, answer, message", [
    ("tick_until_failure", True, "Expected int, got bool"),
    ("tick_until_success", "3", "Expected int, got str"),
    ("get_tree_status", [], "Expected dict, got list"),
    ("get_all_blackboard_data", (), "Expected dict, got tuple"),
])
def test_result_checks(engine, stand_in, method, answer, message):
    operation = {"get_tree_status": "get_tree_status"}.get(method, method)
    stand_in.answers[operation] = answer
    tree = engine.create_tree_from_text(XML)
    with pytest.raises(TypeError, match=f"^{message}$"):
        getattr(engine, method)(tree)


def test_checked_results_accept_none_and_exact_types(engine, stand_in):
    tree = engine.create_tree_from_text(XML)
    assert engine.get_tree_status(tree) is None
    stand_in.answers["tick_n_times"] = ["S"]
    assert engine.tick_n_times(tree, n=0) == ["S"]


# ---- command execution --------------------------------------------------------

@pytest.mark.parametrize("method, args, operation, op_args, answer, expected", [
    ("tick_once", (), "tick_once", (), "SUCCESS", "SUCCESS"),
    ("tick_until_failure", (), "tick_until_failure", (), 4, 4),
    ("tick_until_success", (), "tick_until_success", (), 2, 2),
    ("tick_n_times", (-1,), "tick_n_times", (-1,), [], []),
    ("get_tree_status", (), "get_tree_status", (), {"s": 1}, {"s": 1}),
    ("get_blackboard_data", ("k",), "get_blackboard_data", ("k",), 7, 7),
    ("set_blackboard_data", ("k", None), "set_blackboard_data", ("k", None), "dropped", None),
    ("get_all_blackboard_data", (), "get_all_blackboard_data", (), {}, {}),
    ("reset_tree", (), "reset_tree", (), "dropped", None),
])
def test_operations_reach_the_engine_on_the_worker(engine, stand_in, logs, method, args, operation,
                                                   op_args, answer, expected):
    stand_in.answers[operation] = answer
    tree = engine.create_tree_from_text(XML)
    assert getattr(engine, method)(tree, *args) == expected
    runtime = stand_in.instances[0]
    assert runtime.calls[-1] == (operation, op_args)
    assert runtime.thread is worker_of(engine, tree)
    assert logs.at("ERROR") == []


def run_command(engine, command, result=None):
    """_process_command on the caller's thread, against a fresh stand-in."""
    import morvlen.engine.trigger.mthread as mt

    runtime = mt.SequentialEngine()
    slot = [result]
    assert engine._process_command(runtime, command, "t", slot) is None
    return runtime, slot


@pytest.mark.parametrize("command, message", [
    ({}, "未知命令类型: None"),
    ({"type": 5}, "未知命令类型: 5"),
    ({"type": "get_tree_status"}, "未知命令类型: get_tree_status"),
    ({"type": "reset_tree"}, "未知命令类型: reset_tree"),
])
def test_unknown_command_types(engine, logs, command, message):
    _, slot = run_command(engine, command, result=("old", "t", 1))
    assert slot == [("error", "t", message)]
    assert logs.lines == [("ERROR", message)]


@pytest.mark.parametrize("command, call", [
    ({"type": "tick_n_times", "params": {}}, ("tick_n_times", (1,))),
    ({"type": "tick_n_times"}, ("tick_n_times", (1,))),
    ({"type": "get_blackboard_data", "params": {}}, ("get_blackboard_data", (None,))),
    ({"type": "set_blackboard_data", "params": {"value": 2, "x": 0}}, ("set_blackboard_data", (None, 2))),
])
def test_parameter_defaults(engine, command, call):
    runtime, slot = run_command(engine, command)
    assert runtime.calls == [call]
    assert slot[0][0] == command["type"]


@pytest.mark.parametrize("error, message", [
    (ValueError("T"), "处理命令 tick_once 时发生错误: T"),
    (ValueError(), "处理命令 tick_once 时发生错误: "),
])
def test_failing_operation_becomes_error_triple(engine, stand_in, logs, error, message):
    stand_in.answers["tick_once"] = error
    _, slot = run_command(engine, {"type": "tick_once"})
    assert slot == [("error", "t", message)]
    assert logs.lines == [("ERROR", message)]


def test_exception_outside_exception_family_propagates(engine, stand_in):
    stand_in.answers["tick_once"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        run_command(engine, {"type": "tick_once"}, result="kept")


# ---- command channel ------------------------------------------------------------

class Spy:
    """A ThreadEngine subclass whose worker records the command records it gets."""

    @staticmethod
    def make(mt, make_engine):
        seen = []

        class SpyEngine(mt.ThreadEngine):
            def _process_command(self, engine, command, tree_id, result):
                seen.append(command)
                result[0] = (command["type"], tree_id, None)

        return make_engine(SpyEngine), seen


@pytest.mark.parametrize("extra", [(), (None,), ({},)])
def test_empty_params_become_a_new_dict(mt, make_engine, extra):
    engine, seen = Spy.make(mt, make_engine)
    tree = engine.create_tree_from_text(XML)
    assert engine._send_command(tree, "tick_once", *extra) is None
    assert list(seen[0]) == ["type", "params"] and seen[0]["params"] == {}
    assert all(seen[0]["params"] is not e for e in extra)
    record = engine.trees[tree]
    assert record["command"] == [None] and record["result"] == [None]


def test_params_dict_is_passed_as_is(mt, make_engine):
    engine, seen = Spy.make(mt, make_engine)
    tree = engine.create_tree_from_text(XML)
    params = {"n": 3}
    engine._send_command(tree, "tick_n_times", params)
    assert seen[0] == {"type": "tick_n_times", "params": params} and seen[0]["params"] is params


def test_record_shape_and_thread(engine):
    tree = engine.create_tree_from_text(XML, "a")
    record = engine.trees[tree]
    assert list(record) == ["cond", "command", "result", "thread"]
    assert isinstance(record["cond"], threading.Condition)
    assert isinstance(record["thread"], threading.Thread) and record["thread"].ident is not None
    assert record["thread"].daemon is False


def test_error_result_then_next_command_served(engine, stand_in, logs):
    tree = engine.create_tree_from_text(XML)
    stand_in.answers["tick_once"] = RuntimeError("boom")
    with pytest.raises(RuntimeError, match="^行为树 tree_0 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: boom$"):
        engine.tick_once(tree)
    assert logs.at("ERROR")[-1] == "行为树 tree_0 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: boom"
    stand_in.answers["tick_once"] = "ok"
    assert engine.tick_once(tree) == "ok"


def test_failed_build_is_handed_to_the_first_command_then_dead_worker_answers(engine, stand_in, logs):
    stand_in.build_error = ValueError("bad xml")
    tree = engine.create_tree_from_text(XML, "b")
    wait_ended(engine, tree)
    assert logs.at("ERROR") == ["行为树线程 b 发生错误: bad xml"]
    with pytest.raises(RuntimeError, match="^行为树 b 执行命令 tick_once 失败: 行为树线程 b 发生错误: bad xml$"):
        engine.tick_once(tree)
    # Nobody serves the tree any more: the next caller is answered at once.
    with pytest.raises(RuntimeError, match="^行为树 b 执行命令 reset 失败: 行为树线程 b 已结束"):
        engine.reset_tree(tree)
    assert engine.trees[tree]["command"][0]["type"] == "tick_once"
    engine.stop_tree(tree)
    assert tree not in engine.trees


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_waiting_caller_is_answered_when_worker_dies_outside_exception(engine, stand_in):
    def die(runtime):
        raise SystemExit

    stand_in.tick_hook = die
    tree = engine.create_tree_from_text(XML)
    with pytest.raises(RuntimeError, match="已结束"):
        engine.tick_once(tree)
    wait_ended(engine, tree)


def hold_builds(stand_in):
    """Makes the stand-in's tree builds wait until the returned event is set."""
    release = threading.Event()
    original = stand_in.create_tree_from_text

    def slow_build(self, xml):
        assert release.wait(JOIN_TIMEOUT)
        original(self, xml)

    stand_in.create_tree_from_text = slow_build
    return release


def test_command_sent_before_setup_ends_is_served(engine, stand_in):
    release = hold_builds(stand_in)
    stand_in.answers["tick_once"] = "done"
    tree = engine.create_tree_from_text(XML)
    threading.Timer(0.05, release.set).start()
    assert engine.tick_once(tree) == "done"


def test_command_from_own_worker_is_refused_other_trees_served(engine, stand_in, logs):
    outcome = []

    def tick_from_worker(runtime):
        if threading.current_thread() is not engine.trees["tree_0"]["thread"]:
            return
        try:
            engine.get_tree_status("tree_0")
        except RuntimeError as error:
            outcome.append(str(error))
        outcome.append(engine.get_blackboard_data("other", "k"))

    stand_in.tick_hook = tick_from_worker
    stand_in.answers["get_blackboard_data"] = "from other"
    tree = engine.create_tree_from_text(XML)
    engine.create_tree_from_text(XML, "other")
    engine.tick_once(tree)
    assert outcome == ["行为树 tree_0 执行命令 get_status 失败: 不能在行为树 tree_0 自己的线程中发送命令",
                       "from other"]
    assert logs.at("ERROR") == outcome[:1]


def test_one_caller_per_tree_each_gets_its_own_answer(engine, stand_in):
    class Echo(stand_in):
        def get_blackboard_data(self, key):
            return key

    import morvlen.engine.trigger.mthread as mt

    mt.SequentialEngine = Echo
    tree = engine.create_tree_from_text(XML)
    wrong = []

    def caller(name):
        for i in range(200):
            key = f"{name}-{i}"
            if engine.get_blackboard_data(tree, key) != key:
                wrong.append(key)

    threads = [threading.Thread(target=caller, args=(f"c{k}",)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
        assert not t.is_alive()
    assert wrong == []


def test_stop_waits_for_command_in_flight(engine, stand_in, logs):
    entered, release = threading.Event(), threading.Event()

    def long_tick(runtime):
        entered.set()
        assert release.wait(JOIN_TIMEOUT)

    stand_in.tick_hook = long_tick
    stand_in.answers["tick_once"] = "finished"
    tree = engine.create_tree_from_text(XML)
    got = []
    ticker = threading.Thread(target=lambda: got.append(engine.tick_once(tree)))
    ticker.start()
    assert entered.wait(JOIN_TIMEOUT)
    stopper = threading.Thread(target=engine.stop_tree, args=(tree,))
    stopper.start()
    stopper.join(0.1)
    assert stopper.is_alive()
    release.set()
    for t in (ticker, stopper):
        t.join(JOIN_TIMEOUT)
        assert not t.is_alive()
    assert got == ["finished"]
    assert tree not in engine.trees


# ---- creation ---------------------------------------------------------------------

def test_generated_ids_and_duplicates(engine, logs):
    assert engine.create_tree_from_text(XML) == "tree_0"
    assert engine.create_tree_from_text(XML) == "tree_1"
    engine.stop_tree("tree_0")
    # "tree_1" (the count) is taken: the next free number is used.
    assert engine.create_tree_from_text(XML) == "tree_2"
    assert engine.create_tree_from_text(XML, "tree_4") == "tree_4"
    assert engine.create_tree_from_text(XML) == "tree_3"
    assert engine.create_tree_from_text(XML) == "tree_5"
    logs.clear()
    with pytest.raises(ValueError, match="^行为树ID tree_1 已存在$"):
        engine.create_tree_from_text(XML, "tree_1")
    assert logs.lines == [("ERROR", "行为树ID tree_1 已存在")]
    assert worker_of(engine, "tree_1").is_alive()


def test_creation_log_and_xml_handed_over(engine, stand_in, logs):
    text = "<root>x</root>"
    engine.register_action_behavior("A", len, [])
    logs.clear()
    assert engine.create_tree_from_text(text, "") == ""
    assert engine.tick_once("") is None
    runtime = stand_in.instances[0]
    assert runtime.calls[:2] == [("register_action_behavior", ("A", len, [])), ("create_tree_from_text", (text,))]
    assert runtime.calls[1][1][0] is text
    assert logs.lines == [("INFO", "创建行为树: ")]


def test_create_from_file(engine, stand_in, tmp_path):
    path = tmp_path / "t.xml"
    path.write_bytes("<root>é</root>\r\n".encode())
    assert engine.create_tree_from_file(str(path), "f") == "f"
    engine.tick_once("f")
    assert stand_in.instances[0].calls[0] == ("create_tree_from_text", ("<root>é</root>\n",))
    with pytest.raises(FileNotFoundError):
        engine.create_tree_from_file(str(tmp_path / "missing.xml"))
    assert engine.get_tree_ids() == ["f"]


@pytest.mark.parametrize("special", ["fifo", "/dev/zero"])
def test_create_from_file_refuses_what_would_block(engine, tmp_path, special):
    """A FIFO waits for a writer and a device never ends: refused at once, no tree."""
    path = tmp_path / "pipe.xml" if special == "fifo" else special
    if special == "fifo":
        os.mkfifo(path)
    caller, outcome = in_thread(lambda: engine.create_tree_from_file(str(path)))
    caller.join(JOIN_TIMEOUT)
    assert not caller.is_alive()
    error = outcome["error"]
    assert type(error) is OSError and error.errno == errno.EINVAL and error.filename == str(path)
    assert engine.get_tree_ids() == []


def test_worker_thread_and_condition_come_from_the_module_threading(mt, engine, monkeypatch):
    made = []

    class RecordingThread(threading.Thread):
        def __init__(self, *args, **kwargs):
            made.append(("Thread", args, kwargs))
            super().__init__(*args, **kwargs)

    class RecordingCondition(threading.Condition):
        def __init__(self, *args, **kwargs):
            made.append(("Condition", args, kwargs))
            super().__init__(*args, **kwargs)

    class FakeThreading:
        Condition = RecordingCondition
        Thread = RecordingThread

    monkeypatch.setattr(mt, "threading", FakeThreading)
    engine.create_tree_from_text(XML, "w")
    (_, cond_args, cond_kwargs), (_, thread_args, thread_kwargs) = made
    assert (cond_args, cond_kwargs, thread_args) == ((), {}, ())
    assert list(thread_kwargs) == ["target", "args"]
    assert thread_kwargs["target"] == engine._run_tree and thread_kwargs["target"].__self__ is engine
    assert thread_kwargs["args"] == ("w", XML)


@pytest.mark.parametrize("content, refused, message, seen", [
    ("<a>é</a>\r\n".encode(), TypeError, "^Expected str, got int$", (("<a>é</a>\n", None), {})),
    (b"\xff<a/>", UnicodeDecodeError, "utf-8", None),
])
def test_file_text_goes_to_create_tree_from_text_by_position(mt, make_engine, logs, tmp_path,
                                                             content, refused, message, seen):
    class FromFile(mt.ThreadEngine):
        def create_tree_from_text(self, *args, **kwargs):
            self.seen = (args, kwargs)
            return 5

    engine = make_engine(FromFile)
    path = tmp_path / "t.xml"
    path.write_bytes(content)
    logs.clear()
    with pytest.raises(refused, match=message):
        engine.create_tree_from_file(str(path))
    assert getattr(engine, "seen", None) == seen
    assert logs.lines == []


@pytest.mark.parametrize("broken", ["construct", "start"])
def test_failed_thread_takes_its_record_back(mt, engine, logs, monkeypatch, broken):
    class BrokenThread(threading.Thread):
        def __init__(self, **kwargs):
            if broken == "construct":
                raise RuntimeError("no thread")
            super().__init__(**kwargs)

        def start(self):
            raise RuntimeError("no start")

    class FakeThreading:
        Condition = threading.Condition
        Thread = BrokenThread

    monkeypatch.setattr(mt, "threading", FakeThreading)
    with pytest.raises(RuntimeError, match="no thread|no start"):
        engine.create_tree_from_text(XML, "x")
    assert engine.trees == {} and logs.lines == []


def test_stopping_a_record_whose_thread_never_started(engine, logs):
    engine.trees["hand"] = {"cond": threading.Condition(), "command": [None], "result": [None],
                            "thread": threading.Thread(target=print)}
    engine.trees["none"] = {"cond": threading.Condition(), "command": [None], "result": [None], "thread": None}
    engine.stop_all_trees()
    assert engine.trees == {}
    assert [line for line in logs.at("INFO") if ": " in line] == ["停止行为树: hand", "停止行为树: none"]
    assert logs.at("INFO")[-1] == "停止所有行为树"


# ---- stopping ---------------------------------------------------------------------

def test_stop_ends_worker_and_logs(engine, logs):
    tree = engine.create_tree_from_text(XML)
    thread = worker_of(engine, tree)
    engine.stop_tree(tree)
    assert not thread.is_alive()
    assert logs.at("INFO")[-1] == "停止行为树: tree_0"
    with pytest.raises(ValueError, match="^行为树ID tree_0 不存在$"):
        engine.stop_tree(tree)
    with pytest.raises(ValueError, match="^行为树ID tree_0 不存在$"):
        engine.tick_once(tree)


def test_stop_all_in_creation_order(engine, logs):
    for name in ("c", "a", "b"):
        engine.create_tree_from_text(XML, name)
    logs.clear()
    engine.stop_all_trees()
    assert logs.lines == [("INFO", "停止行为树: c"), ("INFO", "停止行为树: a"), ("INFO", "停止行为树: b"),
                          ("INFO", "停止所有行为树")]


def test_finaliser_stops_remaining_trees(mt, stand_in, logs):
    engine = mt.ThreadEngine()
    engine.__del__()
    assert logs.lines[-1] == ("INFO", "停止所有行为树")


def test_stop_request_before_loop_executes_nothing(engine, stand_in):
    release = hold_builds(stand_in)
    tree = engine.create_tree_from_text(XML)
    record = engine.trees[tree]
    with record["cond"]:
        record["command"][0] = False
    release.set()
    wait_ended(engine, tree)
    assert [c[0] for c in stand_in.instances[0].calls] == ["create_tree_from_text"]
    assert record["result"] == [None]


# ---- registration ------------------------------------------------------------------

def test_register_action_class(mt, engine, logs, monkeypatch):
    class Base:
        pass

    monkeypatch.setattr(mt, "SimpleActionNode", Base)

    class Node(Base):
        ports = [{"name": "a", "type": "string", "direction": "input", "description": ""}]

        @staticmethod
        def tick(node):
            return "S"

    class Bare(Base):
        tick = staticmethod(len)

    class Tupled(Base):
        tick = staticmethod(len)
        ports = ()

    engine.register_action_class(Node)
    engine.register_action_class(Bare, "given")
    with pytest.raises(TypeError, match="ports_list"):
        engine.register_action_class(Tupled)
    with pytest.raises(TypeError, match="^节点类 int 必须继承自SimpleActionNode$"):
        engine.register_action_class(int)
    assert engine.action_registrations == [("Node", Node.__dict__["tick"].__func__, Node.ports),
                                           ("given", len, [])]
    assert engine.action_registrations[0][2] is Node.ports
    assert logs.lines == [("INFO", "注册动作节点: Node"), ("INFO", "注册动作节点: given"),
                          ("ERROR", "节点类 int 必须继承自SimpleActionNode")]


def test_overrides_and_replaced_globals_take_effect(mt, make_engine, stand_in, monkeypatch):
    calls = []

    class Mine(mt.ThreadEngine):
        def register_action_behavior(self, *args):
            calls.append(args[0])
            super().register_action_behavior(*args)

        def stop_tree(self, tree_id):
            calls.append(("stop", tree_id))
            super().stop_tree(tree_id)

    class Base:
        tick = staticmethod(len)

    monkeypatch.setattr(mt, "SimpleActionNode", Base)
    engine = make_engine(Mine)
    engine.register_action_class(Base)
    engine.create_tree_from_text(XML, "t")
    engine.stop_all_trees()
    assert calls == ["Base", ("stop", "t")]
