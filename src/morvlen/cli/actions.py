"""Loading the actions a Python module provides into a factory (--actions MODULE)."""

from __future__ import annotations

import importlib
import importlib.util
import inspect
import sys
from pathlib import Path
from types import ModuleType

from morvlen.core import BehaviorTreeFactory
from morvlen.nodes.action_node import SimpleActionNode

REGISTER_FUNCTION = "register_actions"


class ActionsError(Exception):
    """An actions module could not be loaded or provides no actions."""


def import_module(spec: str) -> ModuleType:
    """A module by dotted name (looked up from the current directory first) or by .py file path."""
    if spec.endswith(".py") or "/" in spec:
        path = Path(spec)
        if not path.is_file():
            raise ActionsError(f"actions module {spec}: no such file")
        found = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(found)
        sys.modules[path.stem] = module
        found.loader.exec_module(module)
        return module
    if "" not in sys.path:
        sys.path.insert(0, "")  # as `python -m` does: modules beside the user's files
    try:
        return importlib.import_module(spec)
    except ModuleNotFoundError as error:
        if error.name and (spec == error.name or spec.startswith(error.name + ".")):
            raise ActionsError(f"actions module {spec}: not found (a module name, or a path to a .py file)") from None
        raise


def action_classes(module: ModuleType) -> list[type[SimpleActionNode]]:
    """The SimpleActionNode subclasses the module itself defines, in definition order."""
    return [cls for cls in vars(module).values()
            if inspect.isclass(cls) and issubclass(cls, SimpleActionNode) and cls is not SimpleActionNode
            and cls.__module__ == module.__name__]


def register_module(factory: BehaviorTreeFactory, spec: str) -> list[str]:
    """Registers the module's actions and returns their ids: each SimpleActionNode subclass it
    defines, under its class name, then whatever its register_actions(factory) registers."""
    before = set(factory.registered_node_ids())
    module = import_module(spec)
    for cls in action_classes(module):
        factory.register_action_class(cls)
    register = getattr(module, REGISTER_FUNCTION, None)
    if callable(register):
        register(factory)
    added = [node_id for node_id in factory.registered_node_ids() if node_id not in before]
    if not added:
        raise ActionsError(f"actions module {spec} provides no actions: define SimpleActionNode subclasses "
                           f"or a function {REGISTER_FUNCTION}(factory)")
    return added


def factory_with_actions(modules: list[str]) -> BehaviorTreeFactory:
    factory = BehaviorTreeFactory()
    for spec in modules:
        register_module(factory, spec)
    return factory
