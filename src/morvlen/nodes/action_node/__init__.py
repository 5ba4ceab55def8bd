"""The base class of action node classes."""

from morvlen._runtime import SimpleActionNode  # noqa: F401

__all__ = ["SimpleActionNode"]
