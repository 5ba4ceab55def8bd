"""A live view of running trees in the browser.

    from morvlen.monitor import serve
    monitor = serve(engine, port=8765)   # http://127.0.0.1:8765/
    ...
    monitor.stop()

The page shows every tree of the engine as a diagram with live statuses, per-node
statistics, the latest transitions and the blackboard. It only reads snapshots:
nothing it sends changes a tree. Needs the extra `morvlen[monitor]`.
"""

from morvlen.monitor.collector import Collector
from morvlen.monitor.server import Monitor, serve

__all__ = ["Collector", "Monitor", "serve"]
