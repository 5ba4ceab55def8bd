"""Trees of a ThreadEngine driven from asyncio.

Every operation of ``AsyncThreadEngine`` is awaitable and never blocks the event
loop: the blocking call runs on a thread of its own (not on the loop's default
executor, whose few threads a handful of long tick loops would take up), and its
outcome is handed back to the loop. Exceptions pass unchanged, ``__cause__``
included. Cancelling the awaiting task does not stop a command already handed to
the tree; ``stop_tree`` ends a tick loop under way.
"""

from __future__ import annotations

import asyncio
import threading
from typing import Any, Callable, Dict, List, Optional, TypeVar

from morvlen.core import NodeStatus
from morvlen.engine.trigger.mthread import ThreadEngine

__all__ = ["AsyncThreadEngine"]

T = TypeVar("T")


async def _off_loop(call: Callable[..., T], *args: Any) -> T:
    """call(*args) on a new thread; its result or exception, awaited."""
    loop = asyncio.get_running_loop()
    future: asyncio.Future[T] = loop.create_future()

    def settle(value: Any, error: Optional[BaseException]) -> None:
        if future.done():  # the awaiting task was cancelled
            return
        if error is not None:
            future.set_exception(error)
        else:
            future.set_result(value)

    def run() -> None:
        try:
            outcome = (call(*args), None)
        except BaseException as error:  # noqa: BLE001 - handed to the awaiting task
            outcome = (None, error)
        try:
            loop.call_soon_threadsafe(settle, *outcome)
        except RuntimeError:  # the loop was closed meanwhile: nobody waits
            pass

    threading.Thread(target=run, name=f"morvlen-aio-{getattr(call, '__name__', 'call')}", daemon=True).start()
    return await future


class AsyncThreadEngine:
    """Awaitable forms of the tree operations of a ThreadEngine.

    Registrations are not blocking and are made on ``engine`` itself::

        engine = AsyncThreadEngine()
        engine.engine.register_action_behavior("Ping", ping, [])
        tree = await engine.create_tree_from_text(xml)
        ticks = await engine.tick_until_success(tree)
    """

    def __init__(self, engine: Optional[ThreadEngine] = None) -> None:
        self.engine = engine if engine is not None else ThreadEngine()

    async def create_tree_from_text(self, xml_text: str, tree_id: Optional[str] = None) -> str:
        return await _off_loop(self.engine.create_tree_from_text, xml_text, tree_id)

    async def create_tree_from_file(self, file_path: str, tree_id: Optional[str] = None) -> str:
        return await _off_loop(self.engine.create_tree_from_file, file_path, tree_id)

    async def tick_once(self, tree_id: str) -> NodeStatus:
        return await _off_loop(self.engine.tick_once, tree_id)

    async def tick_until_success(self, tree_id: str) -> int:
        return await _off_loop(self.engine.tick_until_success, tree_id)

    async def tick_until_failure(self, tree_id: str) -> int:
        return await _off_loop(self.engine.tick_until_failure, tree_id)

    async def tick_n_times(self, tree_id: str, n: int) -> List[NodeStatus]:
        return await _off_loop(self.engine.tick_n_times, tree_id, n)

    async def get_tree_status(self, tree_id: str) -> Dict[str, Any]:
        return await _off_loop(self.engine.get_tree_status, tree_id)

    async def get_blackboard_data(self, tree_id: str, key: str) -> Any:
        return await _off_loop(self.engine.get_blackboard_data, tree_id, key)

    async def set_blackboard_data(self, tree_id: str, key: str, value: Any) -> None:
        await _off_loop(self.engine.set_blackboard_data, tree_id, key, value)

    async def get_all_blackboard_data(self, tree_id: str) -> Dict[str, Any]:
        return await _off_loop(self.engine.get_all_blackboard_data, tree_id)

    async def reset_tree(self, tree_id: str) -> None:
        await _off_loop(self.engine.reset_tree, tree_id)

    async def stop_tree(self, tree_id: str) -> None:
        await _off_loop(self.engine.stop_tree, tree_id)

    async def stop_all_trees(self) -> None:
        await _off_loop(self.engine.stop_all_trees)
