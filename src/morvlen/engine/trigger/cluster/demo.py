"""The two-tree agent demonstration on a ClusterEngine:
    python -m morvlen.engine.trigger --cluster

The same trees as the thread engine's demonstration, hosted by two Ray actors.
A streamed answer cannot leave the actor that holds it (it is a live generator
over an HTTP response), so the actor reads it and sends the pieces on as they
arrive (ClusterEngine.stream_blackboard_data).
"""

from __future__ import annotations

import os

from morvlen.core import NodeStatus, TreeNode
from morvlen.engine.trigger.cluster.engine import ClusterEngine
from morvlen.nodes.action_node import SimpleActionNode

MODEL_ID = "qwen3:30b"
REQUESTS = {"tree0": "中国上海的新闻", "tree1": "中国北京的新闻"}
# The actors run in processes of their own: they get the server's address and the
# telemetry and proxy choices that the launcher made for this process.
PASSED_ENVIRONMENT = ("OLLAMA_HOST", "AGNO_TELEMETRY", "NO_PROXY")

XML_TEXT = f"""
<root BTCPP_format="4">
    <BehaviorTree ID="MainTree">
        <Sequence name="root_sequence">
            <CreateAgentOllama model_id="{MODEL_ID}" agent="{{agent}}" description="You are an enthusiastic news reporter with a flair for storytelling!"/>
            <KeepRunningUntilFailure>
                <Sequence>
                    <GetStreamResponse agent="{{agent}}" instructions="{{instructions}}"
                                       user_input="{{user_input}}" response_stream="{{response_stream}}"/>
                </Sequence>
            </KeepRunningUntilFailure>
        </Sequence>
    </BehaviorTree>
</root>
"""


class CreateAgentOllama(SimpleActionNode):
    """Builds an agno Agent on an Ollama model; writes it to `agent`."""

    ports = [
        {"name": "model_id", "type": "string", "direction": "input", "description": ""},
        {"name": "description", "type": "string", "direction": "input", "description": ""},
        {"name": "agent", "type": "object", "direction": "output", "description": ""},
    ]

    @staticmethod
    def tick(node: TreeNode):
        from agno.agent import Agent
        from agno.models.ollama import Ollama

        model = Ollama(id=node.getInputString("model_id"))
        node.setOutput("agent", Agent(model=model, description=node.getInputString("description"), markdown=True))
        return NodeStatus.SUCCESS


class GetStreamResponse(SimpleActionNode):
    """Starts a streamed run of `agent` on `user_input`; writes the stream."""

    ports = [
        {"name": "agent", "type": "object", "direction": "input", "description": ""},
        {"name": "instructions", "type": "object", "direction": "input", "description": ""},
        {"name": "response_stream", "type": "object", "direction": "output", "description": ""},
        {"name": "user_input", "type": "string", "direction": "input", "description": ""},
    ]

    @staticmethod
    def tick(node: TreeNode):
        agent = node.getInputObject("agent")
        node.getInputObject("instructions")
        node.setOutput("response_stream", agent.run(node.getInputString("user_input"), stream=True))
        return NodeStatus.SUCCESS


def run_cluster_demonstration() -> None:
    """Runs both trees, one actor each, and prints each answer as it streams in."""
    env_vars = {name: os.environ[name] for name in PASSED_ENVIRONMENT if name in os.environ}
    engine = ClusterEngine(min_actors=2, actor_options={"runtime_env": {"env_vars": env_vars}})
    try:
        engine.register_action_class(CreateAgentOllama, "CreateAgentOllama")
        engine.register_action_class(GetStreamResponse, "GetStreamResponse")
        for tree_id in REQUESTS:
            engine.create_tree_from_text(XML_TEXT, tree_id)
        for tree_id, request in REQUESTS.items():
            engine.set_blackboard_data(tree_id, "user_input", request)
            engine.tick_once(tree_id)
            for response in engine.stream_blackboard_data(tree_id, "response_stream"):
                print(response.content, end="", flush=True)
            print()
    finally:
        engine.shutdown()
