"""ClusterEngine: the thread engine's tree operations, with the trees in Ray actors."""

from __future__ import annotations

import threading
from typing import Any, Callable, Dict, Iterator, List, Optional, Type

import ray
from loguru import logger
from ray.exceptions import ActorDiedError, GetTimeoutError, RayActorError, RayTaskError

from morvlen.core import NodeStatus, TreeNode
from morvlen.engine.trigger.cluster.placement import Host, Placement, Policy
from morvlen.engine.trigger.cluster.shipping import first_line, portable, put_or_refuse, travel_by_value_if_local
from morvlen.engine.trigger.cluster.tree_host import TreeHost
from morvlen.engine.trigger.mthread import ThreadEngine
from morvlen.nodes.action_node import SimpleActionNode


class TreeLostError(RuntimeError):
    """A tree's actor (or its node) died: the tree and its blackboard are gone."""


def _require(name: str, value: Any, *types: type) -> None:
    """Exact type check, with the thread engine's message."""
    if type(value) not in types:
        expected = " or ".join("None" if kind is type(None) else kind.__name__ for kind in types)
        raise TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _expect(value: Any, kind: type) -> Any:
    if value is not None and type(value) is not kind:
        raise TypeError("Expected %s, got %.200s" % (kind.__name__, type(value).__name__))
    return value


class _RegistrationCheck(ThreadEngine):
    """The thread engine's registration methods (argument checks, messages, log
    lines) on their own: it never holds a tree, so it has nothing to set up or stop."""

    def __init__(self) -> None:
        self.action_registrations = []

    def __del__(self) -> None:
        pass


class ClusterEngine:
    """The tree operations of ThreadEngine (same arguments, results and exceptions),
    with the trees hosted by Ray actors, each actor running a ThreadEngine.

    address: a Ray cluster to join ("auto", "ray://host:port", ...); None joins the
    one named by RAY_ADDRESS or, without it, starts a local one. When Ray is already
    initialised in this process, that connection is used as it is.
    placement, trees_per_actor, min_actors: see Placement. max_concurrency: commands
    one actor carries out side by side. actor_options: more Ray actor options
    (num_cpus, resources, runtime_env, ...). call_timeout: the bound, in seconds, on
    creating, stopping, registering and checking actors; command_timeout: the bound
    on one tree command (None: as long as the command runs, unless its actor dies).
    """

    def __init__(
        self,
        address: Optional[str] = None,
        *,
        placement: Policy = "spread",
        trees_per_actor: int = 256,
        min_actors: int = 1,
        max_concurrency: int = 32,
        actor_options: Optional[Dict[str, Any]] = None,
        call_timeout: float = 60.0,
        command_timeout: Optional[float] = None,
    ) -> None:
        self.placement = Placement(placement, trees_per_actor, min_actors)
        self.call_timeout = call_timeout
        self.command_timeout = command_timeout
        self._actor_options = {"max_concurrency": max_concurrency, **(actor_options or {})}
        # Registrations are checked by a local engine (same checks, messages, log
        # lines) before they go out; it never holds a tree.
        self._checker = _RegistrationCheck()
        self._registrations: List[ray.ObjectRef] = []
        self._trees: Dict[str, Host] = {}
        self._lost: Dict[str, str] = {}
        self._lock = threading.Lock()
        self._actor_count = 0
        if not ray.is_initialized():
            ray.init(address=address)
        logger.info("初始化集群引擎")

    # -- registration -------------------------------------------------------

    def register_action_behavior(
        self,
        action_id: str,
        tick_functor: Callable[[TreeNode], NodeStatus],
        ports_list: List[Dict[str, str]],
    ) -> None:
        """注册动作节点 on every actor, the present ones and those added later."""
        self._register("register_action_behavior", action_id, tick_functor, ports_list)

    def register_action_class(self, action_class: Type[SimpleActionNode], action_id: Optional[str] = None) -> None:
        """通过类注册动作节点 on every actor, the present ones and those added later."""
        self._register("register_action_class", action_class, action_id)

    def _register(self, method: str, *args: Any) -> None:
        what = f"registration {args[0] if isinstance(args[0], str) else getattr(args[0], '__name__', args[0])!r}"
        stored = put_or_refuse((method, portable(args)), what)
        getattr(self._checker, method)(*args)
        with self._lock:
            self._registrations.append(stored)
            hosts = list(self.placement.hosts)
        calls = [(host, host.handle.register.remote(stored)) for host in hosts]
        for host, ref in calls:
            self._call(ref, f"{what} on {host.name}", host)

    # -- creation -----------------------------------------------------------

    def create_tree_from_text(self, xml_text: str, tree_id: Optional[str] = None) -> str:
        """从XML文本创建行为树 on the actor that placement chooses."""
        _require("xml_text", xml_text, str)
        _require("tree_id", tree_id, str, type(None))
        with self._lock:
            if tree_id is None:
                # "tree_" + the count, or the next free number when that one is taken.
                number = len(self._trees)
                while f"tree_{number}" in self._trees:
                    number += 1
                tree_id = f"tree_{number}"
            if tree_id in self._trees:
                error_msg = f"行为树ID {tree_id} 已存在"
                logger.error(error_msg)
                raise ValueError(error_msg)
            host = self.placement.choose() or self._add_host()
            host.trees.add(tree_id)  # reserved: a concurrent creation goes elsewhere
            self._trees[tree_id] = host
            self._lost.pop(tree_id, None)
        try:
            self._call(host.handle.create_tree.remote(xml_text, tree_id), f"creating tree {tree_id!r}", host)
        except BaseException:
            self._forget(tree_id, host)
            with self._lock:
                self._lost.pop(tree_id, None)  # never created, so never lost
            raise
        logger.info(f"创建行为树: {tree_id}")
        return tree_id

    def create_tree_from_file(self, file_path: str, tree_id: Optional[str] = None) -> str:
        """从XML文件创建行为树: the file is read here, on the caller's machine."""
        _require("file_path", file_path, str)
        with open(file_path, "r", encoding="utf-8") as file:
            xml_text = file.read()
        return _expect(self.create_tree_from_text(xml_text, tree_id), str)

    def _add_host(self) -> Host:
        """Starts another actor (the lock is held), with every registration so far."""
        self._actor_count += 1
        name = f"tree host {self._actor_count}"
        options = {"scheduling_strategy": self.placement.scheduling_strategy(), **self._actor_options}
        handle = TreeHost.options(**options).remote(*self._registrations)
        host = Host(handle, name)
        self.placement.hosts.append(host)
        return host

    # -- the registry -------------------------------------------------------

    def get_tree_ids(self) -> List[str]:
        """获取所有行为树ID: the trees of actors that answer; lost ones are left out."""
        with self._lock:
            hosts = list(self.placement.hosts)
        if hosts:
            self._find_dead(hosts)
        with self._lock:
            return list(self._trees)

    def _find_dead(self, hosts: List[Host]) -> None:
        """Pings the actors at once; the dead ones lose their trees."""
        pings = {host.handle.ping.remote(): host for host in hosts}
        ready, _ = ray.wait(list(pings), num_returns=len(pings), timeout=self.call_timeout)
        for ref in ready:
            try:
                ray.get(ref)
            except ActorDiedError as error:
                self._lose_host(pings[ref], error)
            except RayActorError:
                pass  # unavailable for now, not known to be lost

    def _host_of(self, tree_id: str) -> Host:
        """The tree's actor; an unknown id raises ValueError, a lost tree TreeLostError."""
        _require("tree_id", tree_id, str)
        with self._lock:
            host = self._trees.get(tree_id)
            cause = self._lost.get(tree_id)
        if host is not None:
            return host
        if cause is not None:
            error_msg = f"tree {tree_id!r} was lost: {cause}"
            logger.error(error_msg)
            raise TreeLostError(error_msg)
        error_msg = f"行为树ID {tree_id} 不存在"
        logger.error(error_msg)
        raise ValueError(error_msg)

    # -- tree commands ------------------------------------------------------

    def tick_once(self, tree_id: str) -> NodeStatus:
        """执行一次行为树tick"""
        return self._send(tree_id, "tick_once")

    def tick_until_failure(self, tree_id: str) -> Optional[int]:
        """执行行为树直到失败"""
        return _expect(self._send(tree_id, "tick_until_failure"), int)

    def tick_until_success(self, tree_id: str) -> Optional[int]:
        """执行行为树直到成功"""
        return _expect(self._send(tree_id, "tick_until_success"), int)

    def tick_n_times(self, tree_id: str, n: int) -> Optional[List[NodeStatus]]:
        """执行行为树n次"""
        _require("tree_id", tree_id, str)
        _require("n", n, int)
        return _expect(self._send(tree_id, "tick_n_times", n), list)

    def get_tree_status(self, tree_id: str) -> Optional[Dict[str, Any]]:
        """获取行为树状态"""
        return _expect(self._send(tree_id, "get_tree_status"), dict)

    def get_blackboard_data(self, tree_id: str, key: str) -> Any:
        """获取黑板数据"""
        _require("tree_id", tree_id, str)
        _require("key", key, str)
        return self._send(tree_id, "get_blackboard_data", key)

    def set_blackboard_data(self, tree_id: str, key: str, value: Any) -> None:
        """设置黑板数据: a value that cannot be sent raises TypeError; nothing is written."""
        _require("tree_id", tree_id, str)
        _require("key", key, str)
        travel_by_value_if_local(type(value))
        self._send(tree_id, "set_blackboard_data", key, value)

    def get_all_blackboard_data(self, tree_id: str) -> Optional[Dict[str, Any]]:
        """获取所有黑板数据"""
        return _expect(self._send(tree_id, "get_all_blackboard_data"), dict)

    def reset_tree(self, tree_id: str) -> None:
        """重置行为树"""
        self._send(tree_id, "reset_tree")

    def stream_blackboard_data(self, tree_id: str, key: str) -> Iterator[Any]:
        """An iterator over the items of the iterable under `key` (a generator, a
        streamed answer), each sent as its actor reads it; the iterable itself
        stays there. Waiting for the next item ends when the actor dies."""
        host = self._host_of(tree_id)
        _require("key", key, str)
        refs = host.handle.stream_items.remote(tree_id, key)
        what = f"streaming {key!r} of tree {tree_id!r}"
        return (self._answer(ref, what, host, tree_id, self.command_timeout) for ref in refs)

    def _send(self, tree_id: str, method: str, *args: Any) -> Any:
        host = self._host_of(tree_id)
        try:
            ref = host.handle.command.remote(method, tree_id, *args)
        except TypeError as error:  # only a value can fail to serialise here
            raise TypeError(
                f"tree {tree_id!r}: the value for key {args[0]!r} cannot be sent to its actor: {first_line(error)}"
            ) from error
        return self._answer(ref, f"{method} on tree {tree_id!r}", host, tree_id, self.command_timeout)

    def _call(self, ref: ray.ObjectRef, what: str, host: Host) -> Any:
        """The answer to a management call: creating, stopping, registering."""
        return self._answer(ref, what, host, None, self.call_timeout)

    def _answer(self, ref: ray.ObjectRef, what: str, host: Host, tree_id: Optional[str],
                timeout: Optional[float]) -> Any:
        """Waits for an actor's tagged answer and returns its value or raises what
        the actor's engine raised. An actor's death ends the wait, whatever the
        timeout."""
        try:
            answer = ray.get(ref, timeout=timeout)
        except ActorDiedError as error:
            cause = self._lose_host(host, error)
            lost = f"tree {tree_id!r} was lost" if tree_id is not None else f"{what} failed"
            raise TreeLostError(f"{lost}: {cause}") from None
        except GetTimeoutError:
            raise TimeoutError(f"{what}: {host.name} did not answer in time") from None
        except RayActorError as error:
            raise RuntimeError(f"{what}: {host.name} is unavailable ({first_line(error)})") from None
        except RayTaskError as error:  # a value failed on its way, most often the answer
            raise RuntimeError(f"{what}: a value could not be sent between caller and actor: "
                               f"{first_line(error.cause)}") from None
        if answer[0] == "ok":
            return answer[1]
        _, kind, message = answer
        logger.error(message)
        raise kind(message)

    # -- faults -------------------------------------------------------------

    def _lose_host(self, host: Host, error: BaseException) -> str:
        """Forgets a dead actor and its trees; returns the cause, as reported."""
        cause = f"{host.name} died ({_death_reason(error)})"
        with self._lock:
            self.placement.remove(host)
            for tree_id in host.trees:
                if self._trees.get(tree_id) is host:
                    del self._trees[tree_id]
                    self._lost[tree_id] = cause
        if host.trees:
            logger.error(f"{cause}; lost trees: {', '.join(sorted(host.trees))}")
        return cause

    def _forget(self, tree_id: str, host: Host) -> None:
        with self._lock:
            host.trees.discard(tree_id)
            if self._trees.get(tree_id) is host:
                del self._trees[tree_id]

    # -- stopping -----------------------------------------------------------

    def stop_tree(self, tree_id: str) -> None:
        """停止行为树线程 on its actor. Stopping a lost tree forgets it."""
        _require("tree_id", tree_id, str)
        with self._lock:
            lost = self._lost.pop(tree_id, None) is not None
        if not lost:
            host = self._host_of(tree_id)
            try:
                self._call(host.handle.stop_tree.remote(tree_id), f"stopping tree {tree_id!r}", host)
            except TreeLostError:
                with self._lock:
                    self._lost.pop(tree_id, None)  # it ended with its actor
            self._forget(tree_id, host)
        logger.info(f"停止行为树: {tree_id}")

    def stop_all_trees(self) -> None:
        """停止所有行为树线程, on every actor at once; the actors stay for new trees."""
        with self._lock:
            hosts = list(self.placement.hosts)
            self._lost.clear()
        calls = [(host, host.handle.stop_all_trees.remote()) for host in hosts]
        for host, ref in calls:
            try:
                self._call(ref, f"stopping the trees of {host.name}", host)
            except TreeLostError:
                pass  # its trees are gone anyway
        with self._lock:
            stopped, self._trees = list(self._trees), {}
            for host in hosts:
                host.trees.clear()
            self._lost.clear()
        for tree_id in stopped:
            logger.info(f"停止行为树: {tree_id}")
        logger.info("停止所有行为树")

    def shutdown(self) -> None:
        """Stops every tree and ends the actors (the Ray connection stays); the
        actors end also when a stop fails."""
        try:
            self.stop_all_trees()
        finally:
            self._kill_hosts()

    def _kill_hosts(self) -> None:
        with self._lock:
            hosts, self.placement.hosts = self.placement.hosts, []
        for host in hosts:
            ray.kill(host.handle)

    def __enter__(self) -> "ClusterEngine":
        return self

    def __exit__(self, *exc: object) -> None:
        self.shutdown()

    def __del__(self) -> None:
        # No waiting in a finaliser: the actors end, and their trees with them.
        if getattr(self, "placement", None) is not None and ray.is_initialized():
            self._kill_hosts()


def _death_reason(error: BaseException) -> str:
    """The line of Ray's report that says why the actor died."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    reasons = [line for line in lines if "dead because" in line or "died because" in line]
    return (reasons or lines or [type(error).__name__])[-1]
