"""A local Ray instance for the cluster tests: loopback, two CPUs, no dashboard."""

import contextlib
import os

import pytest

# Per call; the whole of a test is bounded by pytest-timeout.
CALL_TIMEOUT = 60.0

# Read when Ray is imported: a local instance then takes 127.0.0.1 as its node
# address and binds its servers there, not on every interface. Also for the
# subprocesses the tests start (the README's cluster example).
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")


@contextlib.contextmanager
def local_ray():
    ray = pytest.importorskip("ray", reason="Ray (the 'cluster' extra) is not installed for this Python")
    ray.init(
        address="local",
        num_cpus=2,
        include_dashboard=False,
        log_to_driver=False,
        object_store_memory=100 * 1024 * 1024,
    )
    try:
        yield ray
    finally:
        ray.shutdown()
