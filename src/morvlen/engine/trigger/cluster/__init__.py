"""The thread engine's tree operations on a Ray cluster: ClusterEngine.

Needs Ray (the package's optional extra "cluster"). Each Ray actor hosts a
ThreadEngine with many trees; a program moves from ThreadEngine to ClusterEngine
by changing its constructor.
"""

from morvlen.engine.trigger.cluster.engine import ClusterEngine, TreeLostError

__all__ = ["ClusterEngine", "TreeLostError"]
