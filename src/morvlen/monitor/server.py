"""The monitor's web server: the page, and its updates as server-sent events.

Read-only: the only input taken from a page is the name of the tree it shows,
used as a lookup key; nothing a page sends is evaluated or changes a tree.
"""

from __future__ import annotations

import asyncio
import json
import threading
from pathlib import Path
from typing import Any

try:
    import uvicorn
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import FileResponse, Response, StreamingResponse
    from starlette.routing import Route
except ImportError as missing:  # pragma: no cover - depends on the installed extras
    raise ImportError("the monitor needs its web server: pip install 'morvlen[monitor]'") from missing

from morvlen.monitor.collector import Collector

STATIC = Path(__file__).parent / "static"
# No script but the page's own file, nothing fetched from elsewhere.
HEADERS = {
    "Content-Security-Policy": "default-src 'self'; style-src 'self'; img-src 'self' data:; object-src 'none'; "
                               "base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-store",
}


def build_app(collector: Collector) -> Starlette:
    def static(name: str, media_type: str):
        async def endpoint(request: Request) -> Response:
            return FileResponse(STATIC / name, media_type=media_type, headers=HEADERS)
        return endpoint

    async def state(request: Request) -> Response:
        tree = request.query_params.get("tree")
        state = {"trees": collector.latest.summaries, "detail": collector.detail(tree) if tree else None}
        return Response(json.dumps(state), media_type="application/json", headers=HEADERS)

    async def events(request: Request) -> Response:
        return StreamingResponse(stream(collector, request), media_type="text/event-stream", headers=HEADERS)

    return Starlette(routes=[
        Route("/", static("index.html", "text/html")),
        Route("/monitor.js", static("monitor.js", "text/javascript")),
        Route("/monitor.css", static("monitor.css", "text/css")),
        Route("/state", state),
        Route("/events", events),
    ])


def payload(collector: Collector, tree: str | None) -> dict[str, Any]:
    poll = collector.latest
    return {"trees": poll.summaries, "detail": poll.details.get(tree) if tree else None}


async def stream(collector: Collector, request: Request):
    """One update per poll of the collector, and only when something changed."""
    tree = request.query_params.get("tree")
    collector.want(tree, +1)
    try:
        version, last = -1, None
        while not collector.stopped and not await request.is_disconnected():
            if collector.latest.version != version:
                version = collector.latest.version
                text = json.dumps(payload(collector, tree))
                if text != last:
                    last = text
                    yield f"data: {text}\n\n"
            await asyncio.sleep(collector.period / 2)
    finally:
        collector.want(tree, -1)


class Monitor:
    """A running monitor: its URL, and stop() (also on leaving a with block)."""

    def __init__(self, engine: Any, host: str, port: int, rate: float) -> None:
        self.collector = Collector(engine, rate)
        config = uvicorn.Config(build_app(self.collector), host=host, port=port, log_level="warning",
                                lifespan="off", timeout_graceful_shutdown=1)
        self._server = uvicorn.Server(config)
        self._thread = threading.Thread(target=self._server.run, name="morvlen-monitor", daemon=True)

    def start(self, timeout: float) -> None:
        self.collector.start()
        self._thread.start()
        # The server is up once it listens; it gives up on a port in use.
        while not self._server.started and self._thread.is_alive():
            self._thread.join(0.01)
            timeout -= 0.01
            if timeout <= 0:
                self.stop()
                raise TimeoutError("the monitor's web server did not start")
        if not self._server.started:
            self.collector.stop()
            raise OSError(f"the monitor could not listen on {self._server.config.host}:{self._server.config.port}")

    @property
    def port(self) -> int:
        return self._server.servers[0].sockets[0].getsockname()[1]

    @property
    def url(self) -> str:
        return f"http://{self._server.config.host}:{self.port}/"

    def stop(self, timeout: float = 5.0) -> None:
        # The collector first: that ends the pages' streams, so the server can close.
        self.collector.stop(timeout)
        self._server.should_exit = True
        self._thread.join(timeout)

    def __enter__(self) -> Monitor:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def serve(engine: Any, port: int = 8765, host: str = "127.0.0.1", rate: float = 10.0,
          start_timeout: float = 10.0) -> Monitor:
    """Serves the monitor page for `engine` (a ThreadEngine, a SequentialEngine, or None
    for every named tree of the process) from this process, in the background, and
    returns it once it listens. port=0 takes a free port (see Monitor.port). rate:
    updates per second at most. Turns observation on for the trees it shows."""
    monitor = Monitor(engine, host, port, rate)
    monitor.start(start_timeout)
    return monitor
