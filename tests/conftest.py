import gc
import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

import cluster_support  # noqa: E402,F401  (Ray's loopback set-up, before anything imports Ray)
from mthread_support import JOIN_TIMEOUT, LogCapture, fresh_stand_in  # noqa: E402


@pytest.fixture
def mt():
    import morvlen.engine.trigger.mthread as module

    return module


@pytest.fixture
def logs(mt):
    capture = LogCapture(mt.logger)
    yield capture
    capture.close()


@pytest.fixture
def stand_in(mt, monkeypatch):
    """SequentialEngine and BehaviorTreeFactory replaced in the module namespace."""
    engine_class = fresh_stand_in()
    monkeypatch.setattr(mt, "SequentialEngine", engine_class)
    monkeypatch.setattr(mt, "BehaviorTreeFactory", lambda: "factory")
    return engine_class


def _end_workers(engine):
    """Stops what the test left running, with a bound on every join."""
    for record in list(engine.trees.values()):
        with record["cond"]:
            record["command"][0] = False
            record["cond"].notify()
        thread = record["thread"]
        if thread is not None and thread.ident is not None:
            thread.join(JOIN_TIMEOUT)
            assert not thread.is_alive(), "a worker did not end"
    engine.trees.clear()


@pytest.fixture
def make_engine(mt, stand_in, logs):
    engines = []

    def make(cls=None):
        engine = (cls or mt.ThreadEngine)()
        engines.append(engine)
        return engine

    yield make
    for engine in engines:
        _end_workers(engine)


@pytest.fixture
def engine(make_engine, logs):
    made = make_engine()
    gc.collect()  # finalisers of earlier tests' engines log too
    logs.clear()
    return made


@pytest.fixture(autouse=True)
def no_thread_left():
    before = set(threading.enumerate())
    yield
    for thread in set(threading.enumerate()) - before:
        thread.join(JOIN_TIMEOUT)
        assert not thread.is_alive(), f"thread left running: {thread}"


@pytest.fixture(scope="session")
def ray_session():
    """One local Ray instance for the whole session (started by the first cluster test)."""
    from cluster_support import local_ray

    with local_ray() as ray:
        yield ray
