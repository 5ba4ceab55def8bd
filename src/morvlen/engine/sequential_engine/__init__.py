"""One behavior tree and its blackboard, ticked on the calling thread."""

from morvlen._runtime import SequentialEngine  # noqa: F401

__all__ = ["SequentialEngine"]
