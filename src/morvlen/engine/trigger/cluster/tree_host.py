"""The Ray actor that hosts trees: one ThreadEngine, many trees, one worker thread each.

Every method answers with a tagged tuple instead of raising, so that the caller
gets back the engine's own exception type and message text rather than Ray's
wrapped traceback:  ("ok", value)  or  ("raise", exception class, message).
"""

from __future__ import annotations

from typing import Any, Iterator

import ray

from morvlen.engine.trigger.cluster.shipping import restore

# What a tree command may call on the hosted engine; nothing else is reachable.
TREE_COMMANDS = frozenset({
    "tick_once", "tick_n_times", "tick_until_success", "tick_until_failure",
    "get_tree_status", "get_blackboard_data", "set_blackboard_data",
    "get_all_blackboard_data", "reset_tree",
})

Answer = tuple


def answer_of(call, *args: Any) -> Answer:
    """Runs `call` and tags its outcome."""
    try:
        return ("ok", call(*args))
    except Exception as error:  # handed back to the caller, who raises it again
        return error_answer(error)


def error_answer(error: Exception) -> Answer:
    """The exception reduced to the nearest built-in class the engine raises, so
    that it always crosses the cluster; other kinds keep their name in the text."""
    for kind in (TypeError, ValueError, RuntimeError):
        if isinstance(error, kind):
            return ("raise", kind, str(error))
    return ("raise", RuntimeError, f"{type(error).__name__}: {error}")


# Commands run side by side on the actor's pool of threads (its max_concurrency);
# pings have a thread of their own, so a liveness check never waits behind ticks.
@ray.remote(concurrency_groups={"control": 1})
class TreeHost:
    """Hosts a ThreadEngine; created with the registrations made so far."""

    def __init__(self, *registrations: tuple[str, tuple]) -> None:
        from morvlen.engine.trigger.mthread import ThreadEngine

        self.engine = ThreadEngine()
        # A registration that fails here would fail for every tree of this actor:
        # fail the actor's creation, and so the creation of the tree, instead.
        for method, args in registrations:
            getattr(self.engine, method)(*restore(args))

    def register(self, registration: tuple[str, tuple]) -> Answer:
        method, args = registration
        return answer_of(getattr(self.engine, method), *restore(args))

    def create_tree(self, xml_text: str, tree_id: str) -> Answer:
        return answer_of(self.engine.create_tree_from_text, xml_text, tree_id)

    def command(self, method: str, tree_id: str, *args: Any) -> Answer:
        if method not in TREE_COMMANDS:
            return ("raise", ValueError, f"{method!r} is not a tree command")
        return answer_of(getattr(self.engine, method), tree_id, *args)

    def stream_items(self, tree_id: str, key: str) -> Iterator[Answer]:
        """Yields the items of the iterable on the blackboard under `key`, each sent
        as soon as it is produced (a Ray streaming generator)."""
        found = answer_of(self.engine.get_blackboard_data, tree_id, key)
        if found[0] != "ok":
            yield found
            return
        try:
            for item in found[1]:
                yield ("ok", item)
        except Exception as error:  # a stream that breaks off, or no iterable at all
            yield error_answer(error)

    def stop_tree(self, tree_id: str) -> Answer:
        return answer_of(self.engine.stop_tree, tree_id)

    def stop_all_trees(self) -> Answer:
        return answer_of(self.engine.stop_all_trees)

    @ray.method(concurrency_group="control")
    def ping(self) -> int:
        return len(self.engine.get_tree_ids())
