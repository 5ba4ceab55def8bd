"""Trees of a ThreadEngine driven from asyncio.

Every operation of ``AsyncThreadEngine`` is awaitable and never blocks the event
loop: the blocking call runs on a thread of its own (not on the loop's default
executor, whose few threads a handful of long tick loops would take up), and its
outcome is handed back to the loop. Exceptions pass unchanged, ``__cause__``
included. Cancelling a task that awaits a tree operation abandons its command as
Ctrl+C abandons a blocking caller's: a command not yet taken is withdrawn, a tick
loop under way is cancelled (the tree is halted and stays usable), and the answer
reaches nobody; the task ends with ``CancelledError`` at once. ``stop_tree`` ends a
tick loop under way for every caller.
"""

from __future__ import annotations

import asyncio
import threading
from typing import Any, Callable, Dict, List, Optional, TypeVar

from morvlen.core import NodeStatus
from morvlen.engine.trigger.mthread import ThreadEngine

__all__ = ["AsyncThreadEngine"]

T = TypeVar("T")


def _interrupt(caller: threading.Thread, cond: Any) -> None:
    """Makes `caller` give up its wait for a command of the tree whose condition is
    `cond`: the engine raises `morvlen_interrupt` in a caller woken from its wait,
    or about to send its command."""
    caller.morvlen_interrupt = asyncio.CancelledError()  # type: ignore[attr-defined]
    with cond:  # may wait for a short command under way: never on the loop's thread
        cond.notify_all()


async def _off_loop(call: Callable[..., T], *args: Any, cond: Any = None) -> T:
    """call(*args) on a new thread; its result or exception, awaited. `cond`, the
    condition of the tree the call sends a command to, lets a cancelled task abandon it."""
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

    caller = threading.Thread(target=run, name=f"morvlen-aio-{getattr(call, '__name__', 'call')}", daemon=True)
    caller.start()
    try:
        return await future
    except asyncio.CancelledError:
        if cond is not None:
            threading.Thread(target=_interrupt, args=(caller, cond), name="morvlen-aio-interrupt", daemon=True).start()
        raise


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

    async def _command(self, call: Callable[..., T], tree_id: str, *args: Any) -> T:
        """A tree operation, abandoned when the awaiting task is cancelled."""
        record = self.engine.trees.get(tree_id)
        cond = record.get("cond") if isinstance(record, dict) else None
        return await _off_loop(call, tree_id, *args, cond=cond)

    async def tick_once(self, tree_id: str) -> NodeStatus:
        return await self._command(self.engine.tick_once, tree_id)

    async def tick_until_success(self, tree_id: str) -> int:
        return await self._command(self.engine.tick_until_success, tree_id)

    async def tick_until_failure(self, tree_id: str) -> int:
        return await self._command(self.engine.tick_until_failure, tree_id)

    async def tick_n_times(self, tree_id: str, n: int) -> List[NodeStatus]:
        return await self._command(self.engine.tick_n_times, tree_id, n)

    async def get_tree_status(self, tree_id: str) -> Dict[str, Any]:
        return await self._command(self.engine.get_tree_status, tree_id)

    async def get_blackboard_data(self, tree_id: str, key: str) -> Any:
        return await self._command(self.engine.get_blackboard_data, tree_id, key)

    async def set_blackboard_data(self, tree_id: str, key: str, value: Any) -> None:
        await self._command(self.engine.set_blackboard_data, tree_id, key, value)

    async def get_all_blackboard_data(self, tree_id: str) -> Dict[str, Any]:
        return await self._command(self.engine.get_all_blackboard_data, tree_id)

    async def reset_tree(self, tree_id: str) -> None:
        await self._command(self.engine.reset_tree, tree_id)

    async def stop_tree(self, tree_id: str) -> None:
        await _off_loop(self.engine.stop_tree, tree_id)

    async def stop_all_trees(self) -> None:
        await _off_loop(self.engine.stop_all_trees)
