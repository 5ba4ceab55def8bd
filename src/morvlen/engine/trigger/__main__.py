"""Runs the thread engine's demonstration:  python -m morvlen.engine.trigger [--cluster]

The engine, morvlen.engine.trigger.mthread, is an extension module, which
`python -m` cannot run; this launcher loads it under the name "__main__", so
that the module's own check starts the demonstration.

The demonstration asks the Ollama server at OLLAMA_HOST (default
127.0.0.1:11434) for the model qwen3:30b. A server the user named is used or the
launcher exits 1 with the reason: canned answers are never passed off as that
server's. Only when OLLAMA_HOST is unset and nothing at all answers at the
default address does the launcher start the canned-answer stand-in
(morvlen.testing.ollama_standin) on a free loopback port, say so on stderr, and
run against it.

With --cluster the same two trees run on a ClusterEngine (a local Ray instance,
or the cluster that RAY_ADDRESS names), one actor each.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import sys
import traceback
import urllib.error
import urllib.request
from types import ModuleType
from typing import Callable

ENGINE_MODULE = "morvlen.engine.trigger.mthread"
PROBE_TIMEOUT_SECONDS = 2.0
# Slow enough that the stand-in's answer is seen arriving piece by piece.
STANDIN_PIECE_DELAY_SECONDS = 0.05


def load_engine_as_main() -> ModuleType:
    """A new engine module named "__main__", created but not executed yet."""
    found = importlib.util.find_spec(ENGINE_MODULE)
    if found is None or found.origin is None:
        raise ImportError(f"{ENGINE_MODULE} is not installed (build the package first)")
    # The built file also exports its init function under the name "__main__".
    spec = importlib.util.spec_from_file_location("__main__", found.origin)
    return importlib.util.module_from_spec(spec)


def run_engine_as_main() -> None:
    """Executes the engine module as the main program; its errors propagate."""
    module = load_engine_as_main()
    sys.modules["__main__"] = module
    module.__spec__.loader.exec_module(module)


def run_on_cluster() -> None:
    if "RAY_ADDRESS" not in os.environ:
        # A local Ray instance: its servers listen on loopback only. Read when Ray
        # is imported, and only right for a single machine.
        os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    from morvlen.engine.trigger.cluster.demo import run_cluster_demonstration

    run_cluster_demonstration()


def run_demonstration(runner: Callable[[], None] = run_engine_as_main) -> int:
    """Runs the demonstration; on failure shows the error and returns 1."""
    try:
        runner()
    except Exception as error:
        traceback.print_exc()
        print(f"morvlen demo: the demonstration failed: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


def ollama_url() -> str:
    """The server address the ollama client will use, from OLLAMA_HOST or its default."""
    from ollama._client import _parse_host  # the client's own reading of OLLAMA_HOST

    return _parse_host(os.environ.get("OLLAMA_HOST"))


class NotOllama(Exception):
    """Something answered at the address, but not as an Ollama server does."""


def check_server(url: str) -> None:
    """Returns when an Ollama server answers at `url`. Raises NotOllama when something
    else answers, and OSError (URLError) when nothing does."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(f"{url}/api/version", timeout=PROBE_TIMEOUT_SECONDS) as response:
            body = response.read(4096)
    except urllib.error.HTTPError as error:
        raise NotOllama(f"{url} answered HTTP {error.code} to a version request, so it is no Ollama server") from None
    except ValueError as error:  # a URL that urllib cannot open at all
        raise NotOllama(f"{url} is not an address the demonstration can use ({error})") from None
    try:
        version = json.loads(body).get("version")
    except (ValueError, AttributeError):
        version = None
    if not isinstance(version, str):
        raise NotOllama(f"{url} answered a version request without an Ollama version, so it is no Ollama server")


def run_against_standin(reason: str, runner: Callable[[], None]) -> int:
    from morvlen.testing.ollama_standin import CANNED_NOTICE, RunningStandin

    # Offline: agno's telemetry call would wait for its timeout, and a proxy
    # must not capture loopback requests.
    os.environ["AGNO_TELEMETRY"] = "false"
    os.environ["NO_PROXY"] = ",".join(filter(None, [os.environ.get("NO_PROXY"), "127.0.0.1", "localhost"]))
    with RunningStandin(piece_delay=STANDIN_PIECE_DELAY_SECONDS) as standin:
        os.environ["OLLAMA_HOST"] = standin.host
        print(
            f"morvlen demo: {reason}; running against the Ollama stand-in at {standin.host} instead.\n"
            f"morvlen demo: the answers below are CANNED: {CANNED_NOTICE}. "
            "Start an Ollama server with the model qwen3:30b (or set OLLAMA_HOST) for real ones.",
            file=sys.stderr,
            flush=True,
        )
        return run_demonstration(runner)


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m morvlen.engine.trigger", description=__doc__.splitlines()[0])
    parser.add_argument("--cluster", action="store_true",
                        help="run the trees on a ClusterEngine (needs the 'cluster' extra: Ray)")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    runner = run_on_cluster if parse_arguments(argv).cluster else run_engine_as_main
    try:
        url = ollama_url()
    except ImportError as error:
        return refuse(f"the demonstration needs agno and ollama ({error}); "
                      "install the package with its 'demo' extra")
    except ValueError as error:
        return refuse(f"OLLAMA_HOST is not a usable address: {error}")
    # A local model server is often used without internet access, where agno's
    # telemetry call after each answer would block; the user may still turn it on.
    os.environ.setdefault("AGNO_TELEMETRY", "false")
    try:
        check_server(url)
    except NotOllama as error:
        return refuse(str(error))
    except OSError as error:
        reason = f"no Ollama server answered at {url} ({getattr(error, 'reason', error)})"
        if os.environ.get("OLLAMA_HOST"):
            # The user named this server: canned answers would be passed off as its own.
            return refuse(reason)
        return run_against_standin(reason, runner)
    return run_demonstration(runner)


def refuse(reason: str) -> int:
    print(f"morvlen demo: {reason}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
