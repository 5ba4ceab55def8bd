"""The demonstration command end to end, in a subprocess, against the Ollama stand-in."""

import http.server
import os
import re
import socket
import subprocess
import sys
import threading

import pytest

from morvlen.testing.ollama_standin import DEMO_MODEL, RunningStandin, answer_pieces

pytest.importorskip("agno")

RUN_TIMEOUT = 90
DEFAULT_ADDRESS = ("127.0.0.1", 11434)  # where the launcher looks when OLLAMA_HOST is unset
REQUESTS = ["中国上海的新闻", "中国北京的新闻"]
LOG_LINES = [
    "初始化线程引擎",
    "注册动作节点: CreateAgentOllama",
    "注册动作节点: GetStreamResponse",
    "创建行为树: tree0",
    "创建行为树: tree1",
    "停止行为树: tree0",
    "停止行为树: tree1",
    "停止所有行为树",
]
# loguru's default line: time | level | where - message
LOG_LINE = re.compile(r"^\S+ \S+ \| (\w+)\s*\| .*? - (.*)$")

LAUNCHER = [sys.executable, "-m", "morvlen.engine.trigger"]
# The demonstration alone, without the launcher's choice of server.
DEMO_ONLY = [
    sys.executable, "-c",
    "import sys; from morvlen.engine.trigger.__main__ import run_demonstration; sys.exit(run_demonstration())",
]


def expected_answer(request):
    return "".join(answer_pieces({"model": DEMO_MODEL, "messages": [{"role": "user", "content": request}]}))


def free_port():
    """A loopback port with nothing listening on it."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def run(command, ollama_host):
    """Runs the command with OLLAMA_HOST set to `ollama_host`, or unset for None."""
    env = {
        **{k: v for k, v in os.environ.items() if k != "OLLAMA_HOST"},
        **({"OLLAMA_HOST": ollama_host} if ollama_host is not None else {}),
        "AGNO_TELEMETRY": "false",
        "NO_PROXY": "127.0.0.1,localhost",
        "PYTHONIOENCODING": "utf-8",
    }
    return subprocess.run(command, env=env, capture_output=True, text=True, encoding="utf-8", timeout=RUN_TIMEOUT)


def messages(stderr):
    """(level, message) of every log line on stderr."""
    return [m.groups() for m in map(LOG_LINE.match, stderr.splitlines()) if m]


@pytest.fixture
def standin():
    with RunningStandin() as running:
        yield running


def test_demonstration_prints_both_streamed_answers(standin):
    done = run(LAUNCHER, standin.host)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "".join(expected_answer(r) + "\n" for r in REQUESTS)
    logged = messages(done.stderr)
    assert [m for _, m in logged][: len(LOG_LINES)] == LOG_LINES
    assert {level for level, _ in logged} == {"INFO"}
    assert "CANNED" not in done.stderr  # a server answered: no fallback notice


def test_without_a_server_the_launcher_falls_back_to_the_standin():
    with socket.socket() as probe:
        if probe.connect_ex(DEFAULT_ADDRESS) == 0:
            pytest.skip(f"something listens at {DEFAULT_ADDRESS}, where the fallback needs nothing to answer")
    done = run(LAUNCHER, None)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "".join(expected_answer(r) + "\n" for r in REQUESTS)
    notice = done.stderr.split("\n", 2)[:2]
    assert "no Ollama server answered" in notice[0] and "CANNED" in notice[1]


class NotOllamaHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html>a web page</html>" if self.path == "/api/version" else b""
        self.send_response(200 if body else 404)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def not_ollama():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), NotOllamaHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.mark.parametrize("kind, reason", [("nothing", "no Ollama server answered"), ("web page", "is no Ollama server")])
def test_a_named_server_is_used_or_the_run_fails_with_the_reason(kind, reason, request):
    host = request.getfixturevalue("not_ollama") if kind == "web page" else f"127.0.0.1:{free_port()}"
    done = run(LAUNCHER, host)
    assert done.returncode == 1
    assert done.stdout == ""
    assert reason in done.stderr and host in done.stderr
    assert "CANNED" not in done.stderr


@pytest.mark.parametrize(
    "server_options, stdout, error",
    [
        pytest.param({"models": ()}, "", 'model "qwen3:30b" not found', id="unknown-model"),
        pytest.param(
            {"broken_models": (DEMO_MODEL,)},
            answer_pieces({"model": DEMO_MODEL, "messages": [{"role": "user", "content": REQUESTS[0]}]})[0],
            "the stream broke off on purpose",
            id="error-mid-stream",
        ),
    ],
)
def test_a_failing_server_ends_the_run_with_the_error(server_options, stdout, error):
    with RunningStandin(**server_options) as standin:
        done = run(LAUNCHER, standin.host)
    assert done.returncode == 1
    assert done.stdout == stdout
    assert "ResponseError" in done.stderr and error in done.stderr
    assert_trees_stopped(done.stderr)


def test_no_server_ends_the_run_with_the_connection_error():
    done = run(DEMO_ONLY, f"127.0.0.1:{free_port()}")
    assert done.returncode == 1
    assert done.stdout == ""
    assert "ConnectError" in done.stderr
    assert_trees_stopped(done.stderr)


def assert_trees_stopped(stderr):
    logged = [m for _, m in messages(stderr)]
    assert logged[:5] == LOG_LINES[:5]
    assert {"停止行为树: tree0", "停止行为树: tree1", "停止所有行为树"} <= set(logged[5:])
