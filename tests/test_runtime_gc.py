"""Reference cycles through trees, blackboards and factories: reclaimed by the garbage
collector, without emptying or breaking anything an owner still alive uses."""

import gc
import weakref

import pytest

from morvlen.core import BehaviorTreeFactory, Blackboard, NodeStatus
from runtime_helpers import document, port, tree

S = NodeStatus.SUCCESS
PLAIN = document(tree("T", '<Act out="{out}"/>'))
NESTED = document(tree("Main", '<SubTree ID="Inner"/>'), tree("Inner", '<Act out="{local}"/>'), main="Main")


class Payload:
    """Stands in a cycle; its weak reference tells whether the cycle was reclaimed."""


def factory_with(tick) -> BehaviorTreeFactory:
    factory = BehaviorTreeFactory()
    factory.register_action("Act", tick, [port("out", direction="output")])
    return factory


def keeping(payload):
    """A tick function holding `payload` (and whatever is set on it)."""

    def tick(node):
        return S

    tick.payload = payload
    return tick


# Each builder closes a cycle around `payload` and drops every other reference to it.
def board_holding_itself(payload):
    board = Blackboard()
    board.set("me", board)
    board.set("payload", payload)


def board_holding_an_object_that_holds_it(payload):
    board = Blackboard()
    payload.board = board
    board.set("payload", payload)


def tree_holding_itself(payload):
    built = factory_with(lambda node: S).create_tree_from_text(PLAIN)
    built.blackboard.set("tree", built)


def tree_holding_an_object_that_holds_it(payload):
    built = factory_with(lambda node: S).create_tree_from_text(PLAIN)
    payload.tree = built
    built.blackboard.set("payload", payload)


def subtree_board_holding_an_object_that_holds_the_tree(payload):
    box = {"value": payload}
    factory = factory_with(lambda node: (node.setOutput("out", box.pop("value")), S)[1])
    built = factory.create_tree_from_text(NESTED)
    payload.tree = built
    assert built.tick_once() == S  # the payload now lives only in the SubTree's blackboard


def tick_function_referring_to_its_tree(payload):
    tick = keeping(payload)
    tick.tree = factory_with(tick).create_tree_from_text(PLAIN)


def tick_function_referring_to_its_factory(payload):
    tick = keeping(payload)
    tick.factory = factory_with(tick)
    assert tick.factory.create_tree_from_text(PLAIN).tick_once() == S


def tree_board_left_in_a_cycle_after_the_tree(payload):
    built = factory_with(lambda node: S).create_tree_from_text(NESTED)
    board = built.blackboard
    board.set("me", board)
    board.set("payload", payload)


@pytest.mark.parametrize("close_cycle", [
    board_holding_itself,
    board_holding_an_object_that_holds_it,
    tree_holding_itself,
    tree_holding_an_object_that_holds_it,
    subtree_board_holding_an_object_that_holds_the_tree,
    tick_function_referring_to_its_tree,
    tick_function_referring_to_its_factory,
    tree_board_left_in_a_cycle_after_the_tree,
])
def test_cycles_are_reclaimed(close_cycle):
    payload = Payload()
    gone = weakref.ref(payload)
    close_cycle(payload)
    del payload
    gc.collect()
    assert gone() is None


def test_a_board_in_a_cycle_keeps_its_entries_while_a_live_tree_shares_it():
    built = factory_with(lambda node: S).create_tree_from_text(PLAIN)
    payload = Payload()
    board = built.blackboard
    board.set("me", board)
    board.set("payload", payload)
    unrelated, elsewhere = Blackboard(), Payload()
    unrelated.set("me", unrelated)
    unrelated.set("payload", elsewhere)
    gone = weakref.ref(elsewhere)
    del board, unrelated, elsewhere
    gc.collect()
    assert gone() is None
    assert built.blackboard.get("payload") is payload and built.blackboard.get("me") is built.blackboard


@pytest.mark.parametrize("sibling_in_a_cycle", [False, True])
def test_a_factory_reclaimed_in_a_cycle_leaves_the_trees_it_built_working(sibling_in_a_cycle):
    """The factory and its tick function form a cycle; a tree built from it still calls
    that function after the factory (and another tree built from it) is gone."""
    calls = []

    def build():
        def tick(node):
            calls.append(node.fullPath())
            node.setOutput("out", "written")
            return S

        tick.factory = factory = factory_with(tick)
        kept, sibling = factory.create_tree_from_text(PLAIN), factory.create_tree_from_text(PLAIN)
        if sibling_in_a_cycle:
            sibling.blackboard.set("tree", sibling)
        return weakref.ref(tick), kept

    tick_gone, built = build()
    gc.collect()
    assert tick_gone() is not None
    assert built.tick_once() == S and calls == ["T/Act"]
    assert built.blackboard.get("out") == "written"
    del built
    gc.collect()
    assert tick_gone() is None
