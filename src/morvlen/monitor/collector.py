"""Snapshots of an engine's trees, taken at a bounded rate on a thread of its own.

The page's updates are built from the latest poll only, so however fast the trees
tick, the serving side does a fixed amount of work per period.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from typing import Any

from loguru import logger

from morvlen.core import BehaviorTreeError, observe
from morvlen.engine.sequential_engine import SequentialEngine

# Transitions shown per tree.
LATEST_TRANSITIONS = 30


def trees_of(engine: Any) -> list[tuple[str, Any]]:
    """(name, tree source) for every live tree of the engine: a SequentialEngine is
    its one tree; None means every named tree of the process; any other engine (a
    ThreadEngine) the trees it named."""
    if isinstance(engine, SequentialEngine):
        return [("tree", engine)]
    # Workers name their trees in whatever order they get to run: list them in the
    # engine's own order (creation), so that the page does not shuffle.
    rank = {tree_id: i for i, tree_id in enumerate(list(getattr(engine, "trees", None) or ()))}
    return sorted(observe.live_trees(engine), key=lambda live: rank.get(live[0], len(rank)))


@dataclass
class Poll:
    """One round of snapshots: summaries of every tree, details of the wanted ones."""

    version: int = 0
    summaries: list[dict[str, Any]] = field(default_factory=list)
    details: dict[str, dict[str, Any]] = field(default_factory=dict)


class Collector:
    """Polls the engine's trees `rate` times a second until stop(). Turns observation
    on for each tree it finds (capacity: changes kept per tree)."""

    def __init__(self, engine: Any, rate: float = 10.0, capacity: int = 1024) -> None:
        if not rate > 0:
            raise ValueError(f"rate must be a positive number of updates per second, not {rate!r}")
        if isinstance(engine, SequentialEngine) or engine is None or hasattr(engine, "trees"):
            self.engine = engine
        else:
            raise TypeError(f"serve() takes a ThreadEngine, a SequentialEngine or None, not {type(engine).__name__}")
        self.period = 1.0 / rate
        self.capacity = capacity
        self.latest = Poll()
        self._wanted: dict[str, int] = {}  # tree name -> pages showing it
        self._svgs: dict[tuple[str, ...], str] = {}
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="morvlen-monitor-collector", daemon=True)

    def start(self) -> None:
        self._thread.start()

    @property
    def stopped(self) -> bool:
        return self._stop.is_set()

    def stop(self, timeout: float = 5.0) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout)
        self.latest = Poll(self.latest.version + 1)

    def want(self, name: str | None, delta: int) -> None:
        """A page starts (+1) or stops (-1) showing the details of tree `name`."""
        if name is None:
            return
        with self._lock:
            count = self._wanted.get(name, 0) + delta
            if count > 0:
                self._wanted[name] = count
            else:
                self._wanted.pop(name, None)

    def _run(self) -> None:
        while not self._stop.wait(self.period):
            try:
                self.latest = self.poll()
            except Exception:  # noqa: BLE001 - a broken poll is reported, the next one may do
                logger.exception("monitor: taking snapshots failed")

    def poll(self) -> Poll:
        with self._lock:
            wanted = set(self._wanted)
        poll = Poll(self.latest.version + 1)
        for name, source in trees_of(self.engine):
            try:
                if not observe.is_observed(source):
                    observe.start(source, self.capacity)
                snapshot = observe.snapshot(source)
                transitions = observe.transitions(source, last=LATEST_TRANSITIONS) if name in wanted else None
            except BehaviorTreeError:
                continue  # an engine with no tree built yet
            snapshot["name"] = name
            poll.summaries.append({key: snapshot[key] for key in ("name", "tree_id", "status", "tick_count")})
            if transitions is not None:
                poll.details[name] = self._detailed(snapshot, source, transitions)
        names = {summary["name"] for summary in poll.summaries}
        self._svgs = {key: svg for key, svg in self._svgs.items() if key[0] in names}
        return poll

    def detail(self, name: str) -> dict[str, Any] | None:
        """The details of tree `name` now, None when it is not running."""
        for found, source in trees_of(self.engine):
            if found == name:
                try:
                    snapshot = observe.snapshot(source)
                    return self._detailed(snapshot, source, observe.transitions(source, last=LATEST_TRANSITIONS))
                except BehaviorTreeError:
                    return None
        return None

    def _detailed(self, snapshot: dict[str, Any], source: Any, transitions: list[dict[str, Any]]) -> dict[str, Any]:
        snapshot["transitions"] = transitions
        snapshot["svg"] = self._svg(snapshot, source)
        return snapshot

    def _svg(self, snapshot: dict[str, Any], source: Any) -> str:
        # A tree's shape never changes, so its drawing is made once; the page
        # recolours the nodes from each snapshot.
        key = (snapshot["name"], *(node["path"] for node in snapshot["nodes"]))
        if key not in self._svgs:
            self._svgs[key] = observe.render_svg(source)
        return self._svgs[key]
