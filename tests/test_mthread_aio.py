"""Driving ThreadEngine trees from asyncio: the loop stays free while a tree waits,
errors and stops arrive as with the blocking calls."""

import asyncio

import pytest

from morvlen.engine.trigger.aio import AsyncThreadEngine

pytestmark = pytest.mark.timeout(60)


def doc(body):
    return f'<root BTCPP_format="4"><BehaviorTree ID="T">{body}</BehaviorTree></root>'


async def count_beats(stop: asyncio.Event) -> int:
    beats = 0
    while not stop.is_set():
        beats += 1
        await asyncio.sleep(0.005)
    return beats


def test_the_event_loop_runs_while_a_tree_waits(logs):
    async def main():
        engine = AsyncThreadEngine()
        tree = await engine.create_tree_from_text(doc('<Sleep msec="200"/>'))
        stop = asyncio.Event()
        beats = asyncio.create_task(count_beats(stop))
        ticks = await engine.tick_until_success(tree)
        stop.set()
        await engine.set_blackboard_data(tree, "k", 1)
        assert await engine.get_blackboard_data(tree, "k") == 1
        assert await engine.get_tree_status(tree) == engine.engine.get_tree_status(tree)
        await engine.stop_all_trees()
        return ticks, await beats

    ticks, beats = asyncio.run(asyncio.wait_for(main(), 30))
    assert ticks == 2 and beats > 1


def test_failures_and_stops_reach_the_awaiting_task(logs):
    def refuse(node):
        raise ConnectionError("tool unreachable")

    async def main():
        engine = AsyncThreadEngine()
        engine.engine.register_action_behavior("Call", refuse, [])
        failing = await engine.create_tree_from_text(doc("<Call/>"))
        with pytest.raises(RuntimeError) as raised:
            await engine.tick_once(failing)
        assert isinstance(raised.value.__cause__, ConnectionError)
        sleeping = await engine.create_tree_from_text(doc('<Sleep msec="60000"/>'))
        waiting = asyncio.create_task(engine.tick_until_success(sleeping))
        while not engine.engine.trees[sleeping]["command"][0]:  # the worker has the command
            await asyncio.sleep(0.01)
        await engine.stop_tree(sleeping)
        with pytest.raises(RuntimeError, match="已被停止"):
            await waiting
        await engine.stop_all_trees()

    asyncio.run(asyncio.wait_for(main(), 30))



def test_a_cancelled_task_abandons_its_command(logs):
    """A loop in flight is cancelled and its tree halted; a command queued behind it
    is never sent; the next caller gets its own answer."""
    from morvlen.core import NodeStatus

    halted = []

    def busy(node):
        return NodeStatus.RUNNING

    busy.on_halted = lambda node: halted.append(node)

    async def main():
        engine = AsyncThreadEngine()
        engine.engine.register_action_behavior("Busy", busy, [])
        tree = await engine.create_tree_from_text(doc("<Busy/>"))
        looping = asyncio.create_task(engine.tick_until_success(tree))
        while not engine.engine.trees[tree]["command"][0]:  # the worker has the command
            await asyncio.sleep(0.005)
        queued = asyncio.create_task(engine.set_blackboard_data(tree, "sent", True))
        await asyncio.sleep(0.05)
        for task in (queued, looping):
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.wait_for(task, 5)
        answers = [await asyncio.wait_for(call, 10) for call in
                   (engine.tick_once(tree), engine.get_blackboard_data(tree, "sent"))] + [len(halted)]
        await engine.stop_all_trees()
        return answers

    # the next tick is RUNNING, nothing was set, and the cancelled loop halted the tree
    assert asyncio.run(asyncio.wait_for(main(), 30)) == [NodeStatus.RUNNING, None, 1]
