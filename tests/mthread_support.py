"""Shared pieces of the thread engine tests: a stand-in runtime engine that a test
puts in place of SequentialEngine, and a capture of the engine's log lines."""

import threading

JOIN_TIMEOUT = 10.0


def in_thread(call):
    """Runs call() on a thread; returns (thread, outcome dict with 'value' or 'error')."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except BaseException as error:  # noqa: BLE001 - handed to the test
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


class StandInEngine:
    """Records every call; behaviour is set per test through class attributes."""

    instances = []
    build_error = None  # exception raised by create_tree_from_text
    answers = {}  # operation name -> value returned, or exception raised
    tick_hook = None  # called (in the worker) by tick_once before it answers

    def __init__(self):
        self.calls = []
        self.thread = threading.current_thread()
        type(self).instances.append(self)

    def _answer(self, name, *args):
        self.calls.append((name, args))
        value = type(self).answers.get(name)
        if isinstance(value, BaseException):
            raise value
        return value

    def register_action_behavior(self, action_id, tick_functor, ports_list):
        self.calls.append(("register_action_behavior", (action_id, tick_functor, ports_list)))

    def create_tree_from_text(self, xml_text):
        self.calls.append(("create_tree_from_text", (xml_text,)))
        if type(self).build_error is not None:
            raise type(self).build_error

    def tick_once(self):
        hook = type(self).tick_hook
        if hook is not None:
            hook(self)
        return self._answer("tick_once")

    def tick_until_failure(self):
        return self._answer("tick_until_failure")

    def tick_until_success(self):
        return self._answer("tick_until_success")

    def tick_n_times(self, n):
        return self._answer("tick_n_times", n)

    def get_tree_status(self):
        return self._answer("get_tree_status")

    def get_blackboard_data(self, key):
        return self._answer("get_blackboard_data", key)

    def set_blackboard_data(self, key, value):
        return self._answer("set_blackboard_data", key, value)

    def get_all_blackboard_data(self):
        return self._answer("get_all_blackboard_data")

    def reset_tree(self):
        return self._answer("reset_tree")


def fresh_stand_in():
    """A new subclass, so class-level settings never leak between tests."""
    return type("StandInEngine", (StandInEngine,), {"instances": [], "answers": {}})


class LogCapture:
    def __init__(self, logger):
        self.lines = []
        self._logger = logger
        self._id = logger.add(self._sink, level="DEBUG", format="{message}")

    def _sink(self, message):
        record = message.record
        self.lines.append((record["level"].name, record["message"]))

    def close(self):
        self._logger.remove(self._id)

    def clear(self):
        self.lines.clear()

    def at(self, level):
        return [text for lvl, text in self.lines if lvl == level]
