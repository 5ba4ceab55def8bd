"""A local Ray instance for the cluster tests: loopback, two CPUs, no dashboard."""

import contextlib
import os

import pytest

# Per call; the whole of a test is bounded by pytest-timeout.
CALL_TIMEOUT = 60.0


@contextlib.contextmanager
def local_ray():
    ray = pytest.importorskip("ray", reason="Ray (the 'cluster' extra) is not installed for this Python")
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    ray.init(
        address="local",
        num_cpus=2,
        include_dashboard=False,
        log_to_driver=False,
        _node_ip_address="127.0.0.1",
        object_store_memory=100 * 1024 * 1024,
    )
    try:
        yield ray
    finally:
        ray.shutdown()
