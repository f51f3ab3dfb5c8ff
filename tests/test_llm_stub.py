"""The real `openai` and `ollama` client packages against the loopback stub
server: replies, usage, refused parameters, server errors, resets."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from llm_support import progress, sleeps, usage_extractors  # noqa: F401 - fixtures
from stub_server import Reply, StubServer, ollama_generate_body
from tavro import modelwright as mw

openai = pytest.importorskip("openai")
ollama = pytest.importorskip("ollama")

P = mw.LLMProvider
RESPONSES = ("POST", "/v1/responses")
GENERATE = ("POST", "/api/generate")


@pytest.fixture(scope="module")
def server():
    with StubServer() as stub:
        yield stub


@pytest.fixture
def stub(server, monkeypatch):
    server.reset()
    monkeypatch.setenv("OPENAI_BASE_URL", server.openai_base_url)
    monkeypatch.setenv("OPENAI_API_KEY", "test")
    # The package's module-level functions belong to a client built at its
    # first import; point them at the stub with a client of the same package.
    monkeypatch.setattr(ollama, "generate", ollama.Client(host=server.host).generate)
    return server


def test_reply_and_usage_through_the_real_client(stub, progress, usage_extractors):
    stub.script(*RESPONSES, Reply.openai_text("the answer", input_tokens=12, output_tokens=7))
    result = mw._llm_generate_text(P.OPENAI, "gpt-5", "question", max_tokens=256, stop=["END"],
                                   progress=progress, capture_usage=True)
    assert result == ("the answer", {"prompt_tokens": 12, "completion_tokens": 7})
    assert progress == ["[LLM] OpenAI \u2022 gpt-5: sending request", "[LLM] OpenAI: response received"]
    (request,) = stub.requests(*RESPONSES)
    assert request.headers["authorization"] == "Bearer test"
    # The client's create has neither response_format nor stop: both are dropped before sending.
    assert request.json == {"model": "gpt-5", "input": "question", "max_output_tokens": 256}


def test_refused_temperature_is_dropped_for_the_second_request(stub, progress, sleeps):
    stub.script(*RESPONSES,
                Reply.error(400, "Unsupported parameter: 'temperature' is not supported with this model.",
                            param="temperature", code="unsupported_parameter"),
                Reply.openai_text("ok"))
    assert mw._llm_generate_text(P.OPENAI, "o3", "q", temperature=0.2, progress=progress) == "ok"
    first, second = stub.requests(*RESPONSES)
    assert first.json["temperature"] == 0.2 and "temperature" not in second.json
    assert progress[1].startswith("[LLM] OpenAI: Error code: 400 - ")
    assert progress[2] == "[LLM] OpenAI: retrying without unsupported parameters"
    assert sleeps == []


def test_server_errors_exhaust_the_attempts(stub, progress, sleeps):
    stub.set_default(*RESPONSES, Reply.error(500, "The server had an error", type="server_error"))
    with pytest.raises(RuntimeError) as info:
        mw._llm_generate_text(P.OPENAI, "gpt-5", "q", progress=progress)
    message = str(info.value)
    assert message.startswith("OpenAI request failed after 3 attempts: Error code: 500 - ")
    assert "The server had an error" in message
    assert len(stub.requests(*RESPONSES)) == 3  # x-should-retry: false keeps the client to one request each
    assert sleeps == [1.5, 3.0, 6.0]
    assert [m.split(" after error")[0] for m in progress if "retry " in m] == \
        ["[LLM] OpenAI: retry 1/3", "[LLM] OpenAI: retry 2/3", "[LLM] OpenAI: retry 3/3"]


def test_connection_reset_is_retried(stub, progress, sleeps):
    # The client retries a broken connection twice by itself; the third reset
    # reaches our loop as APIConnectionError.
    stub.script(*RESPONSES, *[Reply.connection_reset()] * 3, Reply.openai_text("after reset"))
    assert mw._llm_generate_text(P.OPENAI, "gpt-5", "q", progress=progress) == "after reset"
    assert len(stub.requests(*RESPONSES)) == 4
    assert progress[1:3] == ["[LLM] OpenAI: Connection error.",
                             "[LLM] OpenAI: retry 1/3 after error: Connection error."]
    assert sleeps == [1.5]


def test_caller_params_survive_the_real_client(stub):
    params = mw._build_create_params("gpt-5", "q", temperature=0.1, stop=["x"])
    before = json.dumps(params)
    client = mw._openai_client()
    response = mw._call_openai_with_retry(client, params)
    assert json.dumps(params) == before
    assert mw._coalesce_response_text(response) == "hello"


def test_ollama_generate_through_the_real_package(stub, progress):
    stub.script(*GENERATE, Reply.json(ollama_generate_body("hi there", 26, 290)))
    result = mw._llm_generate_text(P.OLLAMA, "llama3:8b", "hi", max_tokens=32, temperature=0.5,
                                   progress=progress, capture_usage=True)
    assert result == ("hi there", {"prompt_tokens": 26, "completion_tokens": 290})
    (request,) = stub.requests(*GENERATE)
    assert request.json["model"] == "llama3:8b" and request.json["prompt"] == "hi"
    assert request.json["options"] == {"num_predict": 32}
    assert progress == ["[LLM] Ollama \u2022 llama3:8b: generating", "[LLM] Ollama: response received"]


def test_ollama_sends_empty_options(stub):
    assert mw._ollama_generate_text("llama3:8b", "hi") == "hello"
    assert stub.requests(*GENERATE)[0].json["options"] == {}


def test_ollama_missing_model_propagates(stub):
    stub.script(*GENERATE, Reply.ollama_error(404, "model 'nope' not found"))
    with pytest.raises(ollama.ResponseError) as info:
        mw._ollama_generate_text("nope", "hi")
    assert info.value.status_code == 404
    assert str(info.value) == "model 'nope' not found (status code: 404)"


def test_ollama_host_from_environment(server, tmp_path):
    """OLLAMA_HOST set before the package's first import, in a fresh process."""
    server.reset()
    server.script(*GENERATE, Reply.json(ollama_generate_body("from env", 3, 4)))
    code = textwrap.dedent("""
        from tavro import modelwright as mw
        print(repr(mw._llm_generate_text(mw.LLMProvider.OLLAMA, "llama3:8b", "hi", capture_usage=True)))
    """)
    env = dict(os.environ, OLLAMA_HOST=server.host)
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == repr(("from env", {"prompt_tokens": 3, "completion_tokens": 4}))
    assert len(server.requests(*GENERATE)) == 1


def test_large_prompt_through_the_real_client(stub):
    prompt = "\u00e9" * 100_000
    assert mw._llm_generate_text(P.OPENAI, "gpt-5", prompt) == "hello"
    assert stub.requests(*RESPONSES)[0].json["input"] == prompt


# ---- the stub itself ------------------------------------------------------------

def _fetch(stub, method, path, body=None):
    import urllib.error
    import urllib.request

    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(f"http://{stub.host}{path}", data=data, method=method,
                                     headers={"Content-Type": "application/json", "X-Probe": "1"})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, dict(reply.headers), json.loads(reply.read())
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), json.loads(error.read())


def test_stub_scripts_defaults_and_log(server):
    server.reset()
    server.script("POST", "/api/generate", lambda req: Reply.json({"echo": req.json["prompt"]}, status=201,
                                                                   x_extra="yes"))
    assert _fetch(server, "POST", "/api/generate", {"prompt": "p"})[::2] == (201, {"echo": "p"})
    assert _fetch(server, "POST", "/api/generate", {"prompt": "p"})[2]["response"] == "hello"  # default again
    assert _fetch(server, "GET", "/nowhere")[0] == 404
    status, headers, body = _fetch(server, "POST", "/v1/responses", {})
    assert status == 200 and body["usage"]["input_tokens"] == 12
    log = server.requests()
    assert [(r.method, r.path) for r in log] == [("POST", "/api/generate")] * 2 + [("GET", "/nowhere"),
                                                                                 ("POST", "/v1/responses")]
    assert log[0].headers["x-probe"] == "1" and log[2].json is None


def test_stub_error_and_reset_replies(server):
    server.reset()
    server.script("POST", "/v1/responses", Reply.error(429, "slow down"), Reply.connection_reset())
    status, headers, body = _fetch(server, "POST", "/v1/responses", {})
    assert status == 429 and headers["x-should-retry"] == "false" and body["error"]["message"] == "slow down"
    with pytest.raises(OSError):
        _fetch(server, "POST", "/v1/responses", {})
