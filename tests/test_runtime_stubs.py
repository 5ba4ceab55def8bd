"""The installed type stubs of the runtime packages: present, and in step with the bound classes."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

import morvlen

PACKAGES = ["morvlen.core", "morvlen.engine.sequential_engine", "morvlen.nodes.action_node"]


def stub_definitions(module, kind) -> dict[str, ast.AST]:
    stub = Path(module.__file__).with_suffix(".pyi")
    return {node.name: node for node in ast.parse(stub.read_text(encoding="utf-8")).body if isinstance(node, kind)}


def stub_classes(module) -> dict[str, ast.ClassDef]:
    return stub_definitions(module, ast.ClassDef)


def stub_members(node: ast.ClassDef) -> dict[str, ast.AST]:
    members = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            members[item.name] = item
        elif isinstance(item, ast.AnnAssign) and item.value is not None:
            # A bare annotation declares what subclasses define (SimpleActionNode.ports).
            members[item.target.id] = item
        elif isinstance(item, ast.Assign):
            members.update((target.id, item) for target in item.targets)
    members.pop("__init__", None)
    return members


def runtime_members(cls) -> set[str]:
    return {name for name in vars(cls) if not name.startswith("_") or name in ("__contains__", "__call__")}


def test_the_package_is_marked_typed():
    assert (Path(morvlen.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("package", PACKAGES)
def test_stub_declares_every_exported_class_and_member(package):
    module = importlib.import_module(package)
    classes = stub_classes(module)
    assert set(classes) | set(stub_definitions(module, ast.FunctionDef)) == set(module.__all__)
    for name, node in classes.items():
        assert set(stub_members(node)) == runtime_members(getattr(module, name)), name


@pytest.mark.parametrize("package", PACKAGES)
def test_stub_docstrings_are_those_of_the_bindings(package):
    module = importlib.import_module(package)
    for name, node in stub_classes(module).items():
        cls = getattr(module, name)
        assert ast.get_docstring(node) == inspect.cleandoc(cls.__doc__), name
        for member, item in stub_members(node).items():
            if isinstance(item, ast.FunctionDef) and (doc := ast.get_docstring(item)) is not None:
                # A bound method's __doc__ starts with its signature.
                assert inspect.getdoc(getattr(cls, member)).endswith(doc), f"{name}.{member}"


def test_stub_annotations_name_the_public_types():
    engine = stub_classes(importlib.import_module("morvlen.engine.sequential_engine"))["SequentialEngine"]
    signatures = {item.name: ast.unparse(item.args) + " -> " + ast.unparse(item.returns)
                  for item in engine.body if isinstance(item, ast.FunctionDef)}
    assert signatures["register_action_behavior"] == (
        "self, action_id: str, tick_functor: Callable[[morvlen.core.TreeNode], morvlen.core.NodeStatus], "
        "ports_list: Sequence[Mapping[str, Any]] -> None")
    assert signatures["register_action_class"] == (
        "self, cls: type[morvlen.nodes.action_node.SimpleActionNode], action_id: str | None=None -> str")
    assert signatures["tick_n_times"] == "self, n: int -> list[morvlen.core.NodeStatus]"
    assert signatures["get_all_blackboard_data"] == "self -> dict[str, Any]"


def test_engine_stub_carries_the_methods_annotations():
    """mthread.pyi is hand-written: each method's annotations are those the method itself carries
    (a parameter defaulting to None may be spelled Optional[...] in the stub)."""
    module = importlib.import_module("morvlen.engine.trigger.mthread")
    stub = Path(module.__file__).parent / "mthread.pyi"
    engine = {node.name: node for node in ast.parse(stub.read_text(encoding="utf-8")).body
              if isinstance(node, ast.ClassDef)}["ThreadEngine"]
    for item in engine.body:
        if not isinstance(item, ast.FunctionDef) or item.name in ("__init__", "__del__"):
            continue
        carried = getattr(module.ThreadEngine, item.name).__annotations__
        args = item.args.args[1:]
        defaults_none = {arg.arg for arg, default in zip(args[len(args) - len(item.args.defaults):], item.args.defaults)
                         if ast.unparse(default) == "None"}
        stubbed = {arg.arg: ast.unparse(arg.annotation) for arg in args}
        stubbed["return"] = ast.unparse(item.returns)
        assert set(stubbed) == set(carried), item.name
        for name, annotation in stubbed.items():
            allowed = {carried[name], f"Optional[{carried[name]}]" if name in defaults_none else carried[name]}
            assert annotation in allowed, f"{item.name}: {name}"
