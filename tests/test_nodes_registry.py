"""The built-in node registrations as users see them: ids, kinds, ports and defaults."""

import xml.etree.ElementTree as ET

import pytest

from morvlen.core import BehaviorTreeFactory

CONTROLS = ["Sequence", "SequenceWithMemory", "ReactiveSequence", "Fallback", "ReactiveFallback", "Parallel",
            "ParallelAll", "IfThenElse", "WhileDoElse", "Switch2", "Switch3", "Switch4", "Switch5", "Switch6"]
DECORATORS = ["Inverter", "ForceSuccess", "ForceFailure", "Repeat", "RetryUntilSuccessful", "RetryUntilSuccesful",
              "KeepRunningUntilFailure", "RunOnce", "Delay", "Timeout", "LoopInt", "LoopDouble", "LoopString",
              "LoopBool"]
ACTIONS = ["AlwaysSuccess", "AlwaysFailure", "SetBlackboard", "UnsetBlackboard", "Sleep"]


@pytest.fixture(scope="module")
def model():
    text = BehaviorTreeFactory().tree_nodes_model(include_builtins=True)
    return {element.get("ID"): element for element in ET.fromstring(text).find("TreeNodesModel")}


@pytest.mark.parametrize("kind, ids", [("Control", CONTROLS), ("Decorator", DECORATORS), ("Action", ACTIONS)])
def test_every_builtin_is_registered_with_its_kind(model, kind, ids):
    assert {node_id: model[node_id].tag for node_id in ids} == dict.fromkeys(ids, kind)


@pytest.mark.parametrize("node_id, ports", [
    ("Parallel", {"success_count": ("input", "int", "-1"), "failure_count": ("input", "int", "1")}),
    ("ParallelAll", {"max_failures": ("input", "int", "1")}),
    ("Repeat", {"num_cycles": ("input", "int", None)}),
    ("RetryUntilSuccesful", {"num_attempts": ("input", "int", None)}),
    ("RunOnce", {"then_skip": ("input", "bool", "true")}),
    ("Delay", {"delay_msec": ("input", "int", None)}),
    ("Timeout", {"msec": ("input", "int", None)}),
    ("Sleep", {"msec": ("input", "int", None)}),
    ("LoopDouble", {"queue": ("inout", None, None), "if_empty": ("input", None, "SUCCESS"),
                    "value": ("output", None, None)}),
    ("SetBlackboard", {"value": ("input", None, None), "output_key": ("inout", None, None)}),
    ("UnsetBlackboard", {"key": ("input", "string", None)}),
    ("Switch4", {"variable": ("input", None, None), **{f"case_{i}": ("input", None, None) for i in range(1, 5)}}),
    ("Sequence", {}),
    ("KeepRunningUntilFailure", {}),
])
def test_ports_and_defaults(model, node_id, ports):
    declared = {port.get("name"): port for port in model[node_id] if port.tag.endswith("_port")}
    assert set(declared) == set(ports)
    for name, (direction, port_type, default) in ports.items():
        assert declared[name].tag == f"{direction}_port"
        if port_type is not None:
            assert declared[name].get("type") == port_type
        assert declared[name].get("default") == default


@pytest.mark.parametrize("node_id", CONTROLS + DECORATORS + ACTIONS)
def test_every_builtin_is_described_before_its_ports(model, node_id):
    tags = [child.tag for child in model[node_id]]
    assert tags[0] == "description" and tags.count("description") == 1
    assert all(tag.endswith("_port") for tag in tags[1:])
    assert model[node_id][0].text.strip() and not model[node_id][0].attrib

