"""Getting registrations and values to the actors."""

from __future__ import annotations

import inspect
import os
import sys
import sysconfig
import types
from typing import Any

import ray
from ray import cloudpickle

# Code from these folders is installed the same way on every node of a cluster,
# so it travels by reference (module and name); anything else travels by value.
_INSTALLED = tuple(
    os.path.realpath(path) + os.sep
    for key in ("stdlib", "platstdlib", "purelib", "platlib")
    if (path := sysconfig.get_paths().get(key))
)


def portable(args: tuple) -> tuple:
    """Registration arguments made ready to travel. Functions and classes defined
    in the caller's own modules (a script, a test module) travel by value: the
    actors' processes cannot import those modules by name. A node class travelling
    by value is sent as a ClassRecipe, since its metaclass (the runtime's) cannot
    be pickled."""
    return tuple(_portable(arg) for arg in args)


def restore(args: tuple) -> tuple:
    """The arguments as `portable` received them, on the actor's side."""
    return tuple(arg.build() if isinstance(arg, ClassRecipe) else arg for arg in args)


def _portable(obj: Any) -> Any:
    if not (inspect.isfunction(obj) or inspect.isclass(obj)) or not travel_by_value_if_local(obj):
        return obj
    return ClassRecipe(obj) if inspect.isclass(obj) else obj


def travel_by_value_if_local(obj: Any) -> bool:
    """True when `obj` (a function or class) comes from __main__ or from a module
    that is not installed; such a module is then pickled by value from now on."""
    module = sys.modules.get(getattr(obj, "__module__", "") or "")
    if module is None or module.__name__ == "__main__":  # __main__ always is
        return True
    path = getattr(module, "__file__", None)
    if not path or os.path.realpath(path).startswith(_INSTALLED):
        return False
    cloudpickle.register_pickle_by_value(module)
    return True


class ClassRecipe:
    """A class as its name, bases and namespace, rebuilt by its bases' metaclass."""

    def __init__(self, cls: type) -> None:
        self.name = cls.__name__
        self.bases = tuple(_portable(base) for base in cls.__bases__)
        self.namespace = {key: value for key, value in vars(cls).items() if key not in ("__dict__", "__weakref__")}

    def build(self) -> type:
        bases = restore(self.bases)
        return types.new_class(self.name, bases, exec_body=lambda namespace: namespace.update(self.namespace))


def put_or_refuse(value: Any, what: str) -> ray.ObjectRef:
    """Stores `value` in the object store once, for every actor that needs it.
    A value that cannot be sent raises TypeError naming `what`."""
    try:
        return ray.put(value)
    except Exception as error:
        raise TypeError(f"{what} cannot be sent to the cluster: {first_line(error)}") from error


def first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
