"""A stand-in for an Ollama server: CANNED answers, no model runs here.

It speaks the part of the Ollama HTTP API that a streamed chat needs, on a
loopback port, so the demonstration and the tests can run without a model
server. Every answer is made up from the request itself, deterministically:
`answer_pieces(request)` gives the exact pieces a chat request gets, so a test
can predict what a client prints.

Served:
- ``GET /api/version``: ``{"version": ...}`` (what a probe for a server asks).
- ``POST /api/chat``: for a served model, the canned answer as newline-delimited
  JSON (one piece per line, then a final ``done`` line), or as one JSON object
  when the request says ``"stream": false``.

Error cases, for tests (which models are served, and which break, is set per
server; the defaults are `SERVED_MODELS` and `BROKEN_STREAM_MODEL`):
- a model that is not served: status 404 with ``{"error": ...}``;
- a broken model: the first piece, then an error line ``{"error": ...}`` in
  the middle of the stream (status 200);
- a body that is not a JSON object, or one without a model name: status 400.

Run on its own:  python -m morvlen.testing.ollama_standin --port 11434
"""

from __future__ import annotations

import argparse
import json
import math
import re
import sys
import threading
import time
from datetime import datetime, timezone
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Collection, Iterable

CANNED_NOTICE = "the Ollama stand-in answers with canned text made from each request; no model runs"
VERSION = "0.0.0-standin"
DEMO_MODEL = "qwen3:30b"
BROKEN_STREAM_MODEL = "standin-broken-stream"
SERVED_MODELS = (DEMO_MODEL, "standin-echo", BROKEN_STREAM_MODEL)
MID_STREAM_ERROR = "stand-in: the stream broke off on purpose"

# Whitespace stays with the word after it, so the pieces join back into the text.
_PIECE = re.compile(r"\s*\S+")


class RequestError(Exception):
    """A chat request the stand-in refuses; carries the HTTP status to answer with."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


def _last_user_text(messages: Any) -> str:
    if not isinstance(messages, list):
        return ""
    for message in reversed(messages):
        if isinstance(message, dict) and message.get("role") == "user":
            return str(message.get("content", ""))
    return ""


def check_request(request: Any, models: Collection[str] = SERVED_MODELS) -> str:
    """Return the requested model name, or raise RequestError saying what is wrong."""
    if not isinstance(request, dict):
        raise RequestError(HTTPStatus.BAD_REQUEST, "the request body must be a JSON object")
    model = request.get("model")
    if not isinstance(model, str) or not model:
        raise RequestError(HTTPStatus.BAD_REQUEST, "model is required")
    if model not in models:
        raise RequestError(HTTPStatus.NOT_FOUND, f'model "{model}" not found, try pulling it first')
    return model


def answer_pieces(request: dict) -> list[str]:
    """The pieces of the canned answer to a chat request, in streaming order.

    Derived only from the model name and the last user message, so the same
    request always gets the same pieces.
    """
    model = request.get("model", "")
    question = _last_user_text(request.get("messages"))
    text = f"[canned answer, {model} did not run] You asked: {question} -- nothing more to report."
    return _PIECE.findall(text)


def stream_lines(request: dict, broken: bool = False) -> list[dict]:
    """Every JSON line of the streamed answer, the final line included; a broken
    stream ends in an error line after its first piece instead."""
    model = request["model"]
    pieces = answer_pieces(request)
    if broken:
        return [_piece_line(model, pieces[0]), {"error": MID_STREAM_ERROR}]
    return [_piece_line(model, piece) for piece in pieces] + [_final_line(model, len(pieces))]


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def _piece_line(model: str, piece: str) -> dict:
    return {
        "model": model,
        "created_at": _now(),
        "message": {"role": "assistant", "content": piece},
        "done": False,
    }


def _final_line(model: str, piece_count: int) -> dict:
    return {
        "model": model,
        "created_at": _now(),
        "message": {"role": "assistant", "content": ""},
        "done": True,
        "done_reason": "stop",
        "total_duration": 0,
        "load_duration": 0,
        "prompt_eval_count": 0,
        "prompt_eval_duration": 0,
        "eval_count": piece_count,
        "eval_duration": 0,
    }


class _Handler(BaseHTTPRequestHandler):
    server: StandinServer
    server_version = "ollama-standin"

    def do_GET(self) -> None:
        if self.path == "/api/version":
            self._send_json(HTTPStatus.OK, {"version": VERSION})
        elif self.path == "/":
            self._send_text(HTTPStatus.OK, "Ollama stand-in is running (canned answers)")
        else:
            self._send_json(HTTPStatus.NOT_FOUND, {"error": f"no such endpoint: {self.path}"})

    def do_POST(self) -> None:
        try:
            length = int(self.headers.get("Content-Length") or 0)
            if length < 0:  # read(-1) would wait for the client to close
                raise ValueError(length)
            body = self.rfile.read(length)
        except ValueError:
            self._send_json(HTTPStatus.BAD_REQUEST, {"error": "invalid Content-Length"})
            return
        if self.path != "/api/chat":
            self._send_json(HTTPStatus.NOT_FOUND, {"error": f"no such endpoint: {self.path}"})
            return
        try:
            request = json.loads(body or b"null")
            model = check_request(request, self.server.models)
        except json.JSONDecodeError as exc:
            self._send_json(HTTPStatus.BAD_REQUEST, {"error": f"invalid JSON body: {exc}"})
            return
        except RequestError as exc:
            self._send_json(exc.status, {"error": str(exc)})
            return
        if request.get("stream", True) is False:
            pieces = answer_pieces(request)
            reply = _final_line(model, len(pieces))
            reply["message"]["content"] = "".join(pieces)
            self._send_json(HTTPStatus.OK, reply)
            return
        self._stream(stream_lines(request, broken=model in self.server.broken_models))

    def _stream(self, lines: list[dict]) -> None:
        # No length: the body ends when the connection closes (HTTP/1.0), which
        # lets every line go out the moment it is written.
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "application/x-ndjson")
        self.end_headers()
        try:
            for index, line in enumerate(lines):
                if index and self.server.piece_delay:
                    time.sleep(self.server.piece_delay)
                self.wfile.write(json.dumps(line, ensure_ascii=False).encode() + b"\n")
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the reader stopped reading: nothing left to answer

    def _send_json(self, status: HTTPStatus, payload: dict) -> None:
        self._send_bytes(status, json.dumps(payload, ensure_ascii=False).encode(), "application/json")

    def _send_text(self, status: HTTPStatus, text: str) -> None:
        self._send_bytes(status, text.encode(), "text/plain; charset=utf-8")

    def _send_bytes(self, status: HTTPStatus, body: bytes, content_type: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.verbose:
            super().log_message(format, *args)


class StandinServer(ThreadingHTTPServer):
    """The stand-in's HTTP server on 127.0.0.1.

    `models` are served; those also in `broken_models` break off mid-stream;
    `piece_delay` seconds pass between streamed lines.
    """

    daemon_threads = True

    def __init__(
        self,
        port: int = 0,
        piece_delay: float = 0.0,
        models: Iterable[str] = SERVED_MODELS,
        broken_models: Iterable[str] = (BROKEN_STREAM_MODEL,),
        verbose: bool = False,
    ) -> None:
        super().__init__(("127.0.0.1", port), _Handler)
        self.piece_delay = piece_delay
        self.broken_models = frozenset(broken_models)
        self.models = frozenset(models) | self.broken_models
        self.verbose = verbose

    @property
    def host(self) -> str:
        """The address in the form OLLAMA_HOST takes."""
        address, port = self.server_address[:2]
        return f"{address}:{port}"


class RunningStandin:
    """A stand-in serving from a background thread; a context manager that shuts it down."""

    def __init__(self, port: int = 0, piece_delay: float = 0.0, **server_options: Any) -> None:
        self.server = StandinServer(port, piece_delay, **server_options)
        self._thread = threading.Thread(
            target=self.server.serve_forever, name="ollama-standin", daemon=True
        )
        self._thread.start()

    @property
    def host(self) -> str:
        return self.server.host

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self._thread.join(timeout=5)

    def __enter__(self) -> RunningStandin:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m morvlen.testing.ollama_standin",
        description="Serve CANNED chat answers on 127.0.0.1 in the Ollama API's format (no model runs).",
    )
    parser.add_argument("--port", type=int, default=11434, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument(
        "--delay", type=float, default=0.05, help="seconds between streamed pieces (default 0.05)"
    )
    parser.add_argument(
        "--model", action="append", dest="models", metavar="NAME",
        help=f"a model to serve (repeatable; default: {', '.join(SERVED_MODELS)})",
    )
    parser.add_argument(
        "--broken-model", action="append", dest="broken_models", metavar="NAME", default=[],
        help=f"a model whose stream breaks off with an error line (repeatable; {BROKEN_STREAM_MODEL} always does)",
    )
    parser.add_argument("--verbose", action="store_true", help="log each request on stderr")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    if not (math.isfinite(args.delay) and args.delay >= 0):  # nan and inf included
        parser.error("--delay must be a finite number of seconds, not negative")
    try:
        server = StandinServer(
            args.port,
            args.delay,
            models=args.models or SERVED_MODELS,
            broken_models=[BROKEN_STREAM_MODEL, *args.broken_models],
            verbose=args.verbose,
        )
    except OSError as exc:
        print(f"ollama stand-in: cannot listen on 127.0.0.1:{args.port}: {exc}", file=sys.stderr)
        return 1
    print(
        f"ollama stand-in listening on {server.host}: {CANNED_NOTICE}; models: {', '.join(sorted(server.models))}",
        file=sys.stderr,
        flush=True,
    )
    with server:
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
