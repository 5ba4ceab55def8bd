"""The Ollama stand-in: what it answers over HTTP, to raw requests and to the ollama client."""

import json
import re
import socket
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

from morvlen.testing import ollama_standin as standin

QUESTION = "中国上海的新闻"


def chat_request(model, question=QUESTION, **extra):
    return {
        "model": model,
        "stream": True,
        "messages": [
            {"role": "system", "content": "You are a reporter."},
            {"role": "user", "content": "an earlier question"},
            {"role": "assistant", "content": "an earlier answer"},
            {"role": "user", "content": question},
        ],
        "tools": [],
        **extra,
    }


def post(host, path, body: bytes, timeout=10):
    """(status, content type, body lines) of one POST; error statuses included."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    request = urllib.request.Request(f"http://{host}{path}", data=body, method="POST")
    try:
        with opener.open(request, timeout=timeout) as reply:
            return reply.status, reply.headers["Content-Type"], reply.read().decode().splitlines()
    except urllib.error.HTTPError as error:
        return error.code, error.headers["Content-Type"], error.read().decode().splitlines()


@pytest.fixture(scope="module")
def server():
    with standin.RunningStandin() as running:
        yield running


class TestAnswerPieces:
    @pytest.mark.parametrize(
        "model, question",
        [("qwen3:30b", QUESTION), ("qwen3:30b", "中国北京的新闻"), ("standin-echo", "Hi there"), ("qwen3:30b", "")],
    )
    def test_pieces_rebuild_an_answer_naming_model_and_question(self, model, question):
        pieces = standin.answer_pieces(chat_request(model, question))
        text = "".join(pieces)
        assert len(pieces) > 3 and all(pieces)
        assert "canned" in text and model in text and f"You asked: {question} " in text

    def test_the_last_user_message_is_the_question(self):
        text = "".join(standin.answer_pieces(chat_request("qwen3:30b")))
        assert QUESTION in text and "earlier" not in text

    def test_different_questions_get_different_answers(self):
        first = standin.answer_pieces(chat_request("qwen3:30b", "中国上海的新闻"))
        second = standin.answer_pieces(chat_request("qwen3:30b", "中国北京的新闻"))
        assert first != second


class TestStreamedChat:
    @pytest.mark.parametrize("model", ["qwen3:30b", "standin-echo"])
    def test_one_line_per_piece_then_a_final_line(self, server, model):
        request = chat_request(model)
        status, content_type, lines = post(server.host, "/api/chat", json.dumps(request).encode())
        assert (status, content_type) == (200, "application/x-ndjson")
        received = [json.loads(line) for line in lines]
        *pieces, final = received
        assert [p["message"] for p in pieces] == [
            {"role": "assistant", "content": c} for c in standin.answer_pieces(request)
        ]
        assert all(p["done"] is False and p["model"] == model for p in pieces)
        assert all(re.fullmatch(r"\d{4}-\d\d-\d\dT[\d:.]+Z", p["created_at"]) for p in received)
        assert final["done"] is True and final["message"] == {"role": "assistant", "content": ""}
        assert final["done_reason"] == "stop" and final["eval_count"] == len(pieces)
        # agno adds up the two counts, so every integer field must be there as an int.
        counts = ("total_duration", "load_duration", "prompt_eval_count", "prompt_eval_duration", "eval_count",
                  "eval_duration")
        assert all(type(final[field]) is int for field in counts)

    def test_unstreamed_request_gets_the_whole_answer_at_once(self, server):
        request = chat_request("qwen3:30b", stream=False)
        status, _, lines = post(server.host, "/api/chat", json.dumps(request).encode())
        assert status == 200 and len(lines) == 1
        reply = json.loads(lines[0])
        assert reply["message"]["content"] == "".join(standin.answer_pieces(request))
        assert reply["done"] is True

    def test_broken_stream_model_sends_one_piece_then_an_error_line(self, server):
        request = chat_request(standin.BROKEN_STREAM_MODEL)
        status, _, lines = post(server.host, "/api/chat", json.dumps(request).encode())
        assert status == 200
        assert [json.loads(line) for line in lines][1:] == [{"error": standin.MID_STREAM_ERROR}]
        assert json.loads(lines[0])["message"]["content"] == standin.answer_pieces(request)[0]


class TestRefusals:
    @pytest.mark.parametrize(
        "path, body, status, error_part",
        [
            ("/api/chat", json.dumps(chat_request("llama-none")).encode(), 404, 'model "llama-none" not found'),
            ("/api/chat", json.dumps(chat_request("")).encode(), 400, "model is required"),
            ("/api/chat", json.dumps({"stream": True}).encode(), 400, "model is required"),
            ("/api/chat", b"[1, 2]", 400, "must be a JSON object"),
            ("/api/chat", b"{not json", 400, "invalid JSON body"),
            ("/api/generate", json.dumps(chat_request("qwen3:30b")).encode(), 404, "no such endpoint"),
        ],
    )
    def test_error_status_with_json_error(self, server, path, body, status, error_part):
        got_status, content_type, lines = post(server.host, path, body)
        assert (got_status, content_type) == (status, "application/json")
        assert error_part in json.loads("".join(lines))["error"]


def test_negative_content_length_is_refused_at_once(server):
    host, port = server.host.split(":")
    with socket.create_connection((host, int(port)), timeout=10) as sock:
        sock.sendall(b"POST /api/chat HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n{}")
        reply = sock.makefile("rb").read()
    assert reply.startswith(b"HTTP/1.0 400 ") and b"invalid Content-Length" in reply


@pytest.mark.parametrize(
    "args, error",
    [
        (["--port", "70000"], "--port must be between 0 and 65535"),
        (["--port", "-1"], "--port must be between 0 and 65535"),
        (["--delay", "-0.5"], "--delay must be a finite number"),
        (["--delay", "nan"], "--delay must be a finite number"),
        (["--delay", "inf"], "--delay must be a finite number"),
    ],
)
def test_command_line_refuses_bad_values(args, error):
    done = subprocess.run(
        [sys.executable, "-m", "morvlen.testing.ollama_standin", *args], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 2 and error in done.stderr and "Traceback" not in done.stderr


class TestWithOllamaClient:
    """The client agno uses must read the stand-in's answers as a real server's."""

    @pytest.fixture
    def client(self, server):
        ollama = pytest.importorskip("ollama")
        return ollama.Client(host=f"http://{server.host}", trust_env=False, timeout=10)

    def test_streamed_pieces_arrive_in_order(self, client):
        request = chat_request("qwen3:30b")
        parts = client.chat(model="qwen3:30b", messages=request["messages"], stream=True)
        contents = [part.message.content for part in parts]
        assert contents == standin.answer_pieces(request) + [""]

    @pytest.mark.parametrize(
        "model, status, text",
        [("no-such-model", 404, 'model "no-such-model" not found'), (standin.BROKEN_STREAM_MODEL, -1, "broke off")],
    )
    def test_errors_reach_the_reader(self, client, model, status, text):
        import ollama

        with pytest.raises(ollama.ResponseError) as caught:
            for _ in client.chat(model=model, messages=chat_request(model)["messages"], stream=True):
                pass
        assert caught.value.status_code == status and text in caught.value.error


def test_runs_on_its_own_and_says_its_answers_are_canned():
    process = subprocess.Popen(
        [sys.executable, "-m", "morvlen.testing.ollama_standin", "--port", "0", "--delay", "0"],
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        banner = process.stderr.readline()
        host = re.search(r"listening on (127\.0\.0\.1:\d+)", banner).group(1)
        assert "canned" in banner and "qwen3:30b" in banner
        status, _, lines = post(host, "/api/chat", json.dumps(chat_request("qwen3:30b")).encode())
        assert status == 200 and json.loads(lines[-1])["done"] is True
    finally:
        process.terminate()
        process.wait(timeout=10)
        process.stderr.close()


def test_docstring_says_canned():
    assert "CANNED" in standin.__doc__
