"""Model listing: the per-provider lists, their filters and failures, and list_models."""

import inspect
import json
import os
import subprocess
import sys
import types
from types import SimpleNamespace as NS

import pytest

from tavro import modelwright


def scripted(result=None, error=None):
    """A provider listing call that returns `result` or raises `error`."""

    def call():
        if error is not None:
            raise error
        return result

    return call


@pytest.fixture
def use_openai(monkeypatch):
    def install(result=None, error=None):
        client = NS(models=NS(list=scripted(result, error)))
        monkeypatch.setattr(modelwright, "_openai_client", lambda: client, raising=False)

    return install


@pytest.fixture
def use_gemini(monkeypatch):
    def install(models=None, error=None):
        genai = types.ModuleType("google.generativeai")
        genai.list_models = scripted(models, error)
        monkeypatch.setattr(modelwright, "_google_client", lambda: genai, raising=False)

    return install


@pytest.fixture
def use_ollama(monkeypatch):
    def install(result=None, error=None):
        module = types.ModuleType("ollama")
        module.list = scripted(result, error)
        monkeypatch.setitem(sys.modules, "ollama", module)

    return install


@pytest.mark.parametrize(
    "fn, signature",
    [
        ("list_openai_models", "(prefix='gpt')"),
        ("list_gemini_models", "(prefix='gemini')"),
        ("list_ollama_models", "(prefix=None)"),
        ("list_models", "(llm_provider=None, model_name='gpt-5')"),
    ],
)
def test_signatures(fn, signature):
    assert str(inspect.signature(getattr(modelwright, fn))) == signature


def test_list_models_default_is_load_time_model_name(monkeypatch):
    assert inspect.signature(modelwright.list_models).parameters["model_name"].default == modelwright.MODEL_NAME
    seen = []
    monkeypatch.setattr(modelwright, "MODEL_NAME", "gemini-pro")
    monkeypatch.setattr(modelwright, "_infer_provider", lambda p, m: seen.append(m) or modelwright.LLMProvider.OLLAMA)
    monkeypatch.setattr(modelwright, "list_ollama_models", lambda: [])
    modelwright.list_models()
    assert seen == ["gpt-5"]


@pytest.mark.parametrize("fn", ["list_openai_models", "list_gemini_models", "list_ollama_models"])
@pytest.mark.parametrize("prefix, got", [(1, "int"), (b"gpt", "bytes"), (["g"], "list")])
def test_prefix_type_checked(fn, prefix, got):
    with pytest.raises(TypeError) as exc:
        getattr(modelwright, fn)(prefix)
    assert str(exc.value) == f"Argument 'prefix' has incorrect type (expected str, got {got})"


# ---- OpenAI -------------------------------------------------------------------

ENTRIES = [NS(id="gpt-4o"), NS(id="gpt-4o"), NS(id="o3"), NS(object="model")]


@pytest.mark.parametrize(
    "prefix, expected",
    [("gpt", ["gpt-4o"]), (None, ["gpt-4o", "o3"]), ("", ["gpt-4o", "o3"]), ("GPT", []), ("o", ["o3"])],
)
def test_openai_prefix_filter(use_openai, prefix, expected):
    use_openai(NS(data=ENTRIES))
    assert modelwright.list_openai_models(prefix) == expected


def test_openai_default_prefix_and_sorting(use_openai):
    use_openai(NS(data=[NS(id=i) for i in ["gpt-b", "gpt-B", "o1", "gpt-a", "gpt-\u00e9", "gpt-b"]]))
    assert modelwright.list_openai_models() == ["gpt-B", "gpt-a", "gpt-b", "gpt-\u00e9"]


class DictWithId(dict):
    id = ""


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([{"id": "gpt-x"}, {"name": "gpt-y"}], ["gpt-x"]),
        ([DictWithId(id="gpt-from-key")], ["gpt-from-key"]),  # a false attribute falls back to the key
        ([NS(id=5), NS(id=None), {"id": 7}, NS(id=b"gpt")], []),
        ([NS(id="gpt-1"), {"id": "gpt-2"}], ["gpt-1", "gpt-2"]),
    ],
)
def test_openai_entry_forms(use_openai, entries, expected):
    use_openai(NS(data=entries))
    assert modelwright.list_openai_models(prefix=None) == expected


class Page:
    """A listing result without a list `data`: iterated itself."""

    def __init__(self, entries, data=None):
        self.entries = entries
        if data is not None:
            self.data = data

    def __iter__(self):
        return iter(self.entries)


@pytest.mark.parametrize(
    "result, expected",
    [
        (Page([NS(id="gpt-2"), NS(id="gpt-1")]), ["gpt-1", "gpt-2"]),
        (Page([NS(id="gpt-it")], data=(NS(id="gpt-tuple"),)), ["gpt-it"]),
        ([NS(id="gpt-list")], ["gpt-list"]),
        (None, []),
        (NS(data=[]), []),
    ],
)
def test_openai_result_forms(use_openai, result, expected):
    use_openai(result)
    assert modelwright.list_openai_models() == expected


@pytest.mark.parametrize(
    "install, fn, message",
    [
        ("use_openai", "list_openai_models", "Failed to list OpenAI models: boom"),
        ("use_gemini", "list_gemini_models", "Failed to list Gemini models: boom"),
    ],
)
def test_list_failure_is_wrapped_in_handler(request, install, fn, message):
    err = ConnectionError("boom")
    request.getfixturevalue(install)(error=err)
    with pytest.raises(RuntimeError) as exc:
        getattr(modelwright, fn)()
    assert str(exc.value) == message
    assert exc.value.__context__ is err
    assert exc.value.__cause__ is None and not exc.value.__suppress_context__


@pytest.mark.parametrize("client, fn", [("_openai_client", "list_openai_models"),
                                        ("_google_client", "list_gemini_models")])
def test_client_errors_propagate_unchanged(monkeypatch, client, fn):
    err = RuntimeError("API key environment variable not set.")
    monkeypatch.setattr(modelwright, client, scripted(error=err), raising=False)
    with pytest.raises(RuntimeError) as exc:
        getattr(modelwright, fn)()
    assert exc.value is err


def test_openai_client_without_models_is_wrapped(monkeypatch):
    monkeypatch.setattr(modelwright, "_openai_client", lambda: object(), raising=False)
    with pytest.raises(RuntimeError, match="^Failed to list OpenAI models: 'object' object has no attribute"):
        modelwright.list_openai_models()


def test_openai_entry_errors_are_not_wrapped(use_openai):
    class Broken:
        @property
        def id(self):
            raise ValueError("bad entry")

    use_openai(NS(data=[Broken()]))
    with pytest.raises(ValueError, match="^bad entry$"):
        modelwright.list_openai_models()


def test_openai_interrupt_passes_through(use_openai):
    use_openai(error=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        modelwright.list_openai_models()


# ---- Gemini -------------------------------------------------------------------

def gm(name, methods=("generateContent",)):
    return NS(name=name, supported_generation_methods=list(methods))


GEMINI = [
    gm("models/gemini-pro"),
    gm("models/embedding-001", ["embedContent"]),
    gm("tunedModels/gemini-x"),
    gm("models/text-bison", ["countTokens", "generateContent"]),
    gm("models/gemini-pro"),
    gm(b"models/gemini-bytes"),
    gm(None),
]


@pytest.mark.parametrize(
    "prefix, expected",
    [
        ("gemini", ["gemini-pro"]),
        ("text", ["text-bison"]),
        ("models/", []),
        (None, ["gemini-pro", "text-bison"]),
        ("", ["gemini-pro", "text-bison"]),
    ],
)
def test_gemini_listing(use_gemini, prefix, expected):
    use_gemini(GEMINI)
    assert modelwright.list_gemini_models(prefix) == expected


@pytest.mark.parametrize("models", [None, [], ()])
def test_gemini_empty_results(use_gemini, models):
    use_gemini(models)
    assert modelwright.list_gemini_models() == []


def test_gemini_default_prefix_and_generator_result(use_gemini):
    use_gemini(m for m in [gm("models/gemini-2"), gm("models/gemini-1"), gm("models/palm")])
    assert modelwright.list_gemini_models() == ["gemini-1", "gemini-2"]


def test_gemini_entry_errors_are_not_wrapped(use_gemini):
    use_gemini([NS(name="models/gemini-pro")])
    with pytest.raises(AttributeError):
        modelwright.list_gemini_models()


# ---- Ollama -------------------------------------------------------------------

OLLAMA_DICT = {"models": [{"model": "llama3:8b"}, {"model": "llama3:8b", "name": "x"}, {"name": "qwen2:7b"}]}


@pytest.mark.parametrize(
    "prefix, expected",
    [(None, ["llama3:8b", "qwen2:7b"]), ("", ["llama3:8b", "qwen2:7b"]), ("qwen", ["qwen2:7b"]), ("Qwen", [])],
)
def test_ollama_dictionary_result(use_ollama, prefix, expected):
    use_ollama(OLLAMA_DICT)
    assert modelwright.list_ollama_models(prefix) == expected


@pytest.mark.parametrize(
    "result, expected",
    [
        (NS(models=[NS(model="mistral:7b"), NS(model="", name="llama3"), NS(name="gemma")]),
         ["gemma", "llama3", "mistral:7b"]),
        (NS(models=[NS(model=None, name=None), NS(model=3), {"model": "dict-entry"}]), ["dict-entry"]),
        (NS(), []),
        ({}, []),
        ({"models": []}, []),
    ],
)
def test_ollama_result_forms(use_ollama, result, expected):
    use_ollama(result)
    assert modelwright.list_ollama_models() == expected


class RaisingEntry:
    @property
    def model(self):
        raise ValueError("unreadable entry")


@pytest.mark.parametrize(
    "result, error",
    [
        (None, ValueError("server down")),
        (NS(models=5), None),
        (NS(models=[RaisingEntry()]), None),
    ],
)
def test_ollama_failures_inside_block_are_wrapped(use_ollama, result, error):
    use_ollama(result, error)
    with pytest.raises(RuntimeError) as exc:
        modelwright.list_ollama_models()
    msg = str(exc.value)
    assert msg.startswith("Failed to list Ollama models: ")
    assert msg == "Failed to list Ollama models: " + str(exc.value.__context__)
    assert exc.value.__cause__ is None and not exc.value.__suppress_context__
    if error is not None:
        assert exc.value.__context__ is error


def test_ollama_import_happens_at_call_time(use_ollama):
    use_ollama({"models": [{"model": "a"}]})
    assert modelwright.list_ollama_models() == ["a"]
    use_ollama({"models": [{"model": "b"}]})
    assert modelwright.list_ollama_models() == ["b"]


# ---- list_models --------------------------------------------------------------

def test_list_models_defaults_list_openai_gpt_models(use_openai):
    use_openai(NS(data=[NS(id="o3"), NS(id="gpt-5"), NS(id="gpt-4o")]))
    assert modelwright.list_models() == ["gpt-4o", "gpt-5"]


def test_list_models_ollama_lists_everything(use_ollama):
    use_ollama(OLLAMA_DICT)
    assert modelwright.list_models("ollama") == ["llama3:8b", "qwen2:7b"]


def test_list_models_gemini_by_model_name(use_gemini):
    use_gemini(GEMINI)
    assert modelwright.list_models(None, model_name="gemini-1.5-pro") == ["gemini-pro"]


@pytest.mark.parametrize(
    "member, target",
    [("OPENAI", "list_openai_models"), ("GOOGLE", "list_gemini_models"), ("OLLAMA", "list_ollama_models")],
)
def test_list_models_calls_through_module_attributes(monkeypatch, member, target):
    calls = []

    def infer(*args, **kwargs):
        calls.append(("infer", args, kwargs))
        return getattr(modelwright.LLMProvider, member)

    def listing(*args, **kwargs):
        calls.append((target, args, kwargs))
        return ["sentinel"]

    monkeypatch.setattr(modelwright, "_infer_provider", infer)
    monkeypatch.setattr(modelwright, target, listing)
    assert modelwright.list_models(" X ", "m") == ["sentinel"]
    assert calls == [("infer", (" X ", "m"), {}), (target, (), {})]


def test_list_models_rejects_a_non_member_provider(monkeypatch):
    monkeypatch.setattr(modelwright, "_infer_provider", lambda p, m: "openai")
    with pytest.raises(ValueError) as exc:
        modelwright.list_models()
    assert str(exc.value) == "Unsupported LLM provider: openai"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"llm_provider": 1}, "Argument 'llm_provider' has incorrect type (expected str, got int)"),
        ({"model_name": None}, "Argument 'model_name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_list_models_argument_types(kwargs, message):
    with pytest.raises(TypeError) as exc:
        modelwright.list_models(**kwargs)
    assert str(exc.value) == message


# ---- the real client packages against a loopback stub -------------------------

STUB_SCRIPT = r'''
import json, os, threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROUTES = {
    "/v1/models": {"object": "list", "data": [
        {"id": i, "object": "model", "created": 0, "owned_by": "openai"} for i in ["gpt-5", "o3", "gpt-4o", "gpt-5"]]},
    "/api/tags": {"models": [
        {"name": n, "model": n, "modified_at": "2024-01-01T00:00:00Z", "size": 1, "digest": "abc",
         "details": {"format": "gguf"}} for n in ["qwen2:7b", "llama3:8b", "qwen2:7b"]]},
}

class Stub(BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps(ROUTES[self.path.split("?")[0]]).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass

server = ThreadingHTTPServer(("127.0.0.1", 0), Stub)
threading.Thread(target=server.serve_forever, daemon=True).start()
port = server.server_address[1]
os.environ["OPENAI_BASE_URL"] = f"http://127.0.0.1:{port}/v1"
os.environ["OLLAMA_HOST"] = f"127.0.0.1:{port}"

import openai
from tavro import modelwright

modelwright._openai_client = lambda: openai.OpenAI(api_key="test-key")
print(json.dumps([modelwright.list_openai_models(None), modelwright.list_models(), modelwright.list_ollama_models()]))
server.shutdown()
'''


def test_real_clients_against_stub(tmp_path):
    pytest.importorskip("openai")
    pytest.importorskip("ollama")
    script = tmp_path / "stub_listing.py"
    script.write_text(STUB_SCRIPT)
    env = {k: v for k, v in os.environ.items() if k not in ("OPENAI_BASE_URL", "OLLAMA_HOST")}
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [["gpt-4o", "gpt-5", "o3"], ["gpt-4o", "gpt-5"], ["llama3:8b", "qwen2:7b"]]
