"""The demonstration run in this process with agno replaced by fakes, then its two
agent node classes driven directly with stand-ins for Agent, Ollama and the node."""

import contextlib
import inspect
import io
import subprocess
import sys
import types

import pytest

from morvlen.engine.trigger.__main__ import load_engine_as_main

XML_TEXT = (
    "\n"
    '    <root BTCPP_format="4">\n'
    '        <BehaviorTree ID="MainTree">\n'
    '            <Sequence name="root_sequence">\n'
    '                <CreateAgentOllama model_id="qwen3:30b" agent="{agent}" description="You are an'
    ' enthusiastic news reporter with a flair for storytelling!"/>\n'
    "                    <KeepRunningUntilFailure>  \n"
    "                        <Sequence>\n"
    "                            <GetStreamResponse \n"
    '                            \tagent="{agent}" \n'
    '                            \tinstructions="{instructions}" \n'
    '                            \tuser_input="{user_input}" \n'
    '                            \tresponse_stream="{response_stream}"/>     \n'
    "                        </Sequence>\n"
    "                    </KeepRunningUntilFailure>\n"
    "            </Sequence>\n"
    "        </BehaviorTree>\n"
    "    </root>\n"
    "    "
)

CREATE_AGENT_DOC = (
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
    "        "
)

DEMO_NAMES = [
    "Ollama", "Agent", "RunResponse", "Iterator", "CreateAgentOllama", "GetStreamResponse", "engine",
    "xml_text", "tree_id0", "tree_id1", "status", "response_stream", "response",
]


def port(name, type_, direction):
    return {"name": name, "type": type_, "direction": direction, "description": ""}


# Scripted answers of the fake agent: a piece whose content is None, and an
# empty stream for the second request.
class Piece:
    def __init__(self, content):
        self.content = content


SCRIPTED_ANSWERS = {"中国上海的新闻": ["上海", None, " 晴"], "中国北京的新闻": []}


class FakeOllama:
    def __init__(self, id):
        self.id = id


class FakeAgent:
    def __init__(self, model, description, markdown):
        self.model, self.description, self.markdown = model, description, markdown

    def run(self, message, stream):
        assert stream is True and self.model.id == "qwen3:30b" and self.markdown is True
        return iter([Piece(c) for c in SCRIPTED_ANSWERS[message]])


def fake_agno_modules():
    agno = types.ModuleType("agno")
    models = types.ModuleType("agno.models")
    ollama = types.ModuleType("agno.models.ollama")
    agent = types.ModuleType("agno.agent")
    ollama.Ollama = FakeOllama
    agent.Agent = FakeAgent
    agent.RunResponse = Piece
    return {"agno": agno, "agno.models": models, "agno.models.ollama": ollama, "agno.agent": agent}


@pytest.fixture(scope="module")
def demo():
    """(the module after a finished demonstration, what it printed)."""
    module = load_engine_as_main()
    out = io.StringIO()
    with pytest.MonkeyPatch.context() as patch, contextlib.redirect_stdout(out):
        for name, fake in fake_agno_modules().items():
            patch.setitem(sys.modules, name, fake)
        module.__spec__.loader.exec_module(module)
    return module, out.getvalue()


class TestDemonstrationWithFakeAgent:
    def test_prints_every_piece_and_a_line_break_per_answer(self, demo):
        _, printed = demo
        assert printed == "上海None 晴\n\n"

    def test_binds_its_names_in_order(self, demo):
        module, _ = demo
        bound = [name for name in vars(module) if name in DEMO_NAMES]
        assert bound == DEMO_NAMES
        assert (module.Ollama, module.Agent, module.RunResponse) == (FakeOllama, FakeAgent, Piece)
        assert module.Iterator is __import__("typing").Iterator

    def test_trees_and_xml(self, demo):
        module, _ = demo
        assert (module.tree_id0, module.tree_id1) == ("tree0", "tree1")
        assert module.status == module.NodeStatus.RUNNING  # kept, never printed
        assert module.xml_text == XML_TEXT
        assert module.engine.get_tree_ids() == []

    def test_registers_both_classes_under_their_names(self, demo):
        module, _ = demo
        assert module.engine.action_registrations == [
            ("CreateAgentOllama", module.CreateAgentOllama.tick, module.CreateAgentOllama.ports),
            ("GetStreamResponse", module.GetStreamResponse.tick, module.GetStreamResponse.ports),
        ]

    def test_last_stream_and_item_stay_bound(self, demo):
        module, _ = demo
        assert list(module.response_stream) == []  # the second answer was empty
        assert module.response.content == " 晴"  # the last item read


@pytest.mark.parametrize(
    "class_name, ports, doc",
    [
        (
            "CreateAgentOllama",
            [port("model_id", "string", "input"), port("description", "string", "input"),
             port("agent", "object", "output")],
            CREATE_AGENT_DOC,
        ),
        (
            "GetStreamResponse",
            [port("agent", "object", "input"), port("instructions", "object", "input"),
             port("response_stream", "object", "output"), port("user_input", "string", "input")],
            None,
        ),
    ],
)
def test_class_shape(demo, class_name, ports, doc):
    module, _ = demo
    cls = getattr(module, class_name)
    assert cls.__name__ == cls.__qualname__ == class_name
    assert cls.__module__ == "__main__"
    assert cls.__bases__ == (module.SimpleActionNode,)
    assert cls.ports == ports and all(list(p) == list(ports[0]) for p in cls.ports)
    assert cls.__doc__ == doc
    assert isinstance(cls.__dict__["tick"], staticmethod)
    # What the engine registers is cls.tick itself: it must carry the annotation.
    assert cls.tick.__annotations__ == {"node": "TreeNode"}
    assert str(inspect.signature(cls.tick)) == "(node: 'TreeNode')"
    assert (cls.tick.__qualname__, cls.tick.__module__, cls.tick.__doc__) == (f"{class_name}.tick", "__main__", None)


class FakeNode:
    """A node handle that records every call, in order, into `log`."""

    def __init__(self, log, inputs):
        self.log, self.inputs, self.outputs = log, inputs, {}

    def getInputString(self, name):
        self.log.append(("getInputString", name))
        return self.inputs[name]

    def getInputObject(self, name):
        self.log.append(("getInputObject", name))
        return self.inputs.get(name)

    def setOutput(self, name, value):
        self.log.append(("setOutput", name))
        self.outputs[name] = value


@pytest.fixture
def log():
    return []


@pytest.fixture
def recorded(demo, log, monkeypatch):
    """The demo module with recording stand-ins for Ollama and Agent in its namespace."""
    module, _ = demo

    def ollama(**kwargs):
        log.append(("Ollama", kwargs))
        return ("model", kwargs["id"])

    class Agent:
        def __init__(self, **kwargs):
            log.append(("Agent", list(kwargs.items())))
            self.kwargs = kwargs

        def run(self, *args, **kwargs):
            log.append(("run", args, kwargs))
            return ("stream", args[0])

    monkeypatch.setattr(module, "Ollama", ollama)
    monkeypatch.setattr(module, "Agent", Agent)
    return module


class TestCreateAgentTick:
    @pytest.mark.parametrize("model_id, description", [("qwen3:30b", "a reporter"), ("", "")])
    def test_calls_in_order_and_writes_the_agent(self, recorded, log, model_id, description):
        node = FakeNode(log, {"model_id": model_id, "description": description})
        status = recorded.CreateAgentOllama.tick(node)
        assert status == recorded.NodeStatus.SUCCESS
        assert log == [
            ("getInputString", "model_id"),
            ("getInputString", "description"),
            ("Ollama", {"id": model_id}),
            ("Agent", [("model", ("model", model_id)), ("description", description), ("markdown", True)]),
            ("setOutput", "agent"),
        ]
        assert node.outputs["agent"].kwargs["model"] == ("model", model_id)

    def test_a_second_tick_writes_a_new_agent(self, recorded, log):
        node = FakeNode(log, {"model_id": "m", "description": "d"})
        recorded.CreateAgentOllama.tick(node=node)
        first = node.outputs["agent"]
        recorded.CreateAgentOllama.tick(node=node)
        assert node.outputs["agent"] is not first

    def test_a_failing_model_leaves_no_output(self, recorded, log, monkeypatch):
        def broken(**kwargs):
            raise ConnectionError("no model")

        monkeypatch.setattr(recorded, "Ollama", broken)
        node = FakeNode(log, {"model_id": "m", "description": "d"})
        with pytest.raises(ConnectionError, match="no model"):
            recorded.CreateAgentOllama.tick(node)
        assert node.outputs == {}

    @pytest.mark.parametrize("name", ["Ollama", "Agent", "NodeStatus"])
    def test_names_are_looked_up_when_the_tick_runs(self, recorded, log, monkeypatch, name):
        monkeypatch.delattr(recorded, name)
        with pytest.raises(NameError, match=f"name '{name}' is not defined"):
            recorded.CreateAgentOllama.tick(FakeNode(log, {"model_id": "m", "description": "d"}))


class TestStreamResponseTick:
    @pytest.mark.parametrize("user_input", ["中国上海的新闻", ""])
    def test_calls_in_order_and_writes_the_stream(self, recorded, log, user_input):
        agent = recorded.Agent(model=None)
        log.clear()
        node = FakeNode(log, {"agent": agent, "user_input": user_input})
        status = recorded.GetStreamResponse.tick(node=node)
        assert status == recorded.NodeStatus.SUCCESS
        assert log == [
            ("getInputObject", "agent"),
            ("getInputObject", "instructions"),
            ("getInputString", "user_input"),
            ("run", (user_input,), {"stream": True}),
            ("setOutput", "response_stream"),
        ]
        assert node.outputs["response_stream"] == ("stream", user_input)

    def test_without_an_agent_the_tick_fails_and_writes_nothing(self, recorded, log):
        node = FakeNode(log, {"agent": None, "user_input": "x"})
        with pytest.raises(AttributeError):
            recorded.GetStreamResponse.tick(node)
        assert node.outputs == {}


@pytest.mark.parametrize("cls", ["CreateAgentOllama", "GetStreamResponse"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [((), {}, "tick() missing 1 required positional argument: 'node'"),
     ((1, 2), {}, "tick() takes 1 positional argument but 2 were given"),
     ((), {"node": 1, "extra": 2}, "tick() got an unexpected keyword argument 'extra'")],
)
def test_tick_takes_exactly_node(demo, cls, args, kwargs, message):
    module, _ = demo
    with pytest.raises(TypeError) as caught:
        getattr(module, cls).tick(*args, **kwargs)
    assert str(caught.value) == f"{cls}.{message}"


def test_imported_as_a_library_defines_no_agent_nodes_and_needs_no_agno():
    code = (
        "import sys; sys.modules['agno'] = None\n"
        "import morvlen.engine.trigger.mthread as m\n"
        "print(hasattr(m, 'ThreadEngine'), hasattr(m, 'CreateAgentOllama'), hasattr(m, 'GetStreamResponse'))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "True False False\n"), done.stderr


@pytest.fixture
def demo_tree(demo):
    """(engine, tree id) of a fresh tree built from the demonstration's XML with its node classes."""
    module, _ = demo
    engine = module.ThreadEngine()
    for name in ("CreateAgentOllama", "GetStreamResponse"):
        engine.register_action_class(getattr(module, name), name)
    tree_id = engine.create_tree_from_text(module.xml_text, "demo")
    try:
        yield engine, tree_id
    finally:
        engine.stop_all_trees()


class TestNodesInTheDemoTree:
    def test_one_tick_leaves_agent_and_stream_without_instructions(self, demo, demo_tree):
        module, _ = demo
        engine, tree_id = demo_tree
        engine.set_blackboard_data(tree_id, "user_input", "中国上海的新闻")
        assert engine.tick_once(tree_id) == module.NodeStatus.RUNNING
        board = engine.get_all_blackboard_data(tree_id)
        assert "instructions" not in board  # never written, yet the tick succeeded
        agent = board["agent"]
        assert (type(agent), agent.model.id, agent.description) == (
            FakeAgent, "qwen3:30b", "You are an enthusiastic news reporter with a flair for storytelling!")
        assert [p.content for p in board["response_stream"]] == ["上海", None, " 晴"]

    def test_a_second_tick_replaces_an_unread_stream_and_keeps_the_agent(self, demo_tree):
        engine, tree_id = demo_tree
        engine.set_blackboard_data(tree_id, "user_input", "中国上海的新闻")
        engine.tick_once(tree_id)
        agent = engine.get_blackboard_data(tree_id, "agent")
        first = engine.get_blackboard_data(tree_id, "response_stream")
        engine.set_blackboard_data(tree_id, "user_input", "中国北京的新闻")
        engine.tick_once(tree_id)
        second = engine.get_blackboard_data(tree_id, "response_stream")
        assert second is not first and list(second) == []
        assert engine.get_blackboard_data(tree_id, "agent") is agent


@pytest.mark.parametrize("agent_file", ["/site/agno/agent/__init__.py", None])
def test_agno_without_run_response_fails_as_the_interpreters_import_would(agent_file):
    """agno 2.x dropped RunResponse: the run must end with the interpreter's own ImportError."""
    fakes = fake_agno_modules()
    del fakes["agno.agent"].RunResponse
    if agent_file:
        fakes["agno.agent"].__file__ = agent_file
    module = load_engine_as_main()
    with pytest.MonkeyPatch.context() as patch:
        for name, fake in fakes.items():
            patch.setitem(sys.modules, name, fake)
        with pytest.raises(ImportError) as expected:
            exec("from agno.agent import Agent, RunResponse", {})
        with pytest.raises(ImportError) as raised:
            module.__spec__.loader.exec_module(module)
    assert (type(raised.value), str(raised.value), raised.value.name, raised.value.path) == (
        type(expected.value), str(expected.value), expected.value.name, expected.value.path)
    assert [name for name in DEMO_NAMES if name in vars(module)] == ["Ollama", "Agent"]
