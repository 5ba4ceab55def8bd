"""The thread engine's tree operations on a Ray cluster: ClusterEngine.

Needs Ray (the package's optional extra "cluster"). Each Ray actor hosts a
ThreadEngine with many trees; a program moves from ThreadEngine to ClusterEngine
by changing its constructor.
"""

try:
    import ray  # noqa: F401
except ImportError as error:
    raise ImportError(
        "morvlen.engine.trigger.cluster needs Ray: install the package with its 'cluster' extra "
        "(pip install 'morvlen[cluster]')"
    ) from error

from morvlen.engine.trigger.cluster.engine import ClusterEngine, TreeLostError

__all__ = ["ClusterEngine", "TreeLostError"]
