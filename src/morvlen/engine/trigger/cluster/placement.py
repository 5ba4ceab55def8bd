"""Which actor a new tree goes to, and when another actor is added."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal

Policy = Literal["spread", "pack"]
POLICIES = ("spread", "pack")


@dataclass(eq=False)
class Host:
    """One actor of the engine and the trees it holds."""

    handle: Any
    name: str
    trees: set[str] = field(default_factory=set)


class Placement:
    """"spread": a new tree goes to the actor with the fewest trees, and actors are
    added until there are `min_actors` of them (Ray is asked to put them on
    different nodes). "pack": a new tree goes to the oldest actor with room.
    Either way an actor holds at most `trees_per_actor` trees, and one more is
    added when all are full."""

    def __init__(self, policy: Policy, trees_per_actor: int, min_actors: int) -> None:
        if policy not in POLICIES:
            raise ValueError(f"placement must be one of {POLICIES}, not {policy!r}")
        if trees_per_actor < 1 or min_actors < 1:
            raise ValueError("trees_per_actor and min_actors must be at least 1")
        self.policy = policy
        self.trees_per_actor = trees_per_actor
        self.min_actors = min_actors
        self.hosts: list[Host] = []

    def choose(self) -> Host | None:
        """The host for the next tree, or None when an actor must be added first."""
        with_room = [host for host in self.hosts if len(host.trees) < self.trees_per_actor]
        if not with_room:
            return None
        if self.policy == "pack":
            return with_room[0]
        if len(self.hosts) < self.min_actors:
            return None
        return min(with_room, key=lambda host: len(host.trees))

    def scheduling_strategy(self) -> str:
        return "SPREAD" if self.policy == "spread" else "DEFAULT"

    def remove(self, host: Host) -> None:
        self.hosts = [kept for kept in self.hosts if kept is not host]
