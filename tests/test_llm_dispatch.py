"""The dispatcher and the Gemini and Ollama calls, through fake provider
packages: progress messages, request shapes, results with and without usage,
and the errors of client set-up and reply reading."""

import inspect
import types

import pytest

import fakes
from llm_support import fake_genai, fake_ollama, fake_openai, progress, sleeps, usage_extractors  # noqa: F401
from tavro import modelwright as mw

NS = types.SimpleNamespace
P = mw.LLMProvider


# ---- _build_create_params -----------------------------------------------------

@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"model": "gpt-5", "input": "hi", "response_format": {"type": "json"}}),
    ({"max_tokens": 0, "temperature": 0.0, "stop": []},
     {"model": "gpt-5", "input": "hi", "response_format": {"type": "json"}, "max_output_tokens": 0,
      "temperature": 0.0}),
    ({"stop": ["END"], "temperature": 0.7, "max_tokens": 100},
     {"model": "gpt-5", "input": "hi", "response_format": {"type": "json"}, "max_output_tokens": 100,
      "temperature": 0.7, "stop": ["END"]}),
])
def test_build_create_params(kwargs, expected):
    params = mw._build_create_params("gpt-5", "hi", **kwargs)
    assert params == expected and list(params) == list(expected)


def test_build_create_params_keeps_the_stop_list_object():
    stop = ["a"]
    assert mw._build_create_params("m", "x", stop=stop)["stop"] is stop
    first, second = mw._build_create_params("m", "x"), mw._build_create_params("m", "x")
    assert first["response_format"] is not second["response_format"]


TYPE_CASES = [
    ({"model_name": b"m"}, "model_name", "str", "bytes"),
    ({"input_text": None}, "input_text", "str", "NoneType"),
    ({"max_tokens": True}, "max_tokens", "int", "bool"),
    ({"max_tokens": 1.0}, "max_tokens", "int", "float"),
    ({"temperature": 1}, "temperature", "float", "int"),
    ({"stop": ("x",)}, "stop", "list", "tuple"),
]


@pytest.mark.parametrize("func", ["_build_create_params", "_llm_generate_text"])
@pytest.mark.parametrize("override, name, expected, got", TYPE_CASES)
def test_argument_types(func, override, name, expected, got):
    kwargs = {"model_name": "m", "input_text": "x", **override}
    if func == "_llm_generate_text":
        kwargs["provider"] = P.OPENAI
    with pytest.raises(TypeError) as info:
        getattr(mw, func)(**kwargs)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def test_signatures():
    assert str(inspect.signature(mw._llm_generate_text)) == (
        "(provider, model_name, input_text, max_tokens=None, temperature=None, stop=None, progress=None, "
        "capture_usage=False)")
    assert str(inspect.signature(mw._build_create_params)) == \
        "(model_name, input_text, max_tokens=None, temperature=None, stop=None)"
    assert str(inspect.signature(mw._ollama_generate_text)) == \
        "(model_name, prompt, num_predict=None, return_usage=False)"
    assert str(inspect.signature(mw._google_client)) == "()"
    with pytest.raises(TypeError):
        mw._llm_generate_text(P.OPENAI, "m")
    with pytest.raises(TypeError):
        mw._llm_generate_text(P.OPENAI, "m", "x", bogus=1)


def test_defaults_are_fixed_at_load(monkeypatch, fake_ollama):
    monkeypatch.setattr(mw, "MAX_OUTPUT_TOKENS", 99)
    fake_ollama.script.append({"response": "r"})
    mw._llm_generate_text(P.OLLAMA, "llama3", "x")
    assert fake_ollama.calls[0]["options"] == {}


# ---- provider selection ---------------------------------------------------------

@pytest.mark.parametrize("provider", ["openai", "OPENAI", None, 0, "LLMProvider.OPENAI"])
def test_unsupported_provider(provider, progress):
    with pytest.raises(ValueError) as info:
        mw._llm_generate_text(provider, "m", "x", progress=progress)
    assert str(info.value) == f"Unsupported LLM provider: {provider}"
    assert progress == []


def test_provider_members_are_read_at_call_time(monkeypatch, fake_ollama):
    fake_ollama.script.append({"response": "r"})
    swapped = NS(OPENAI="never", GOOGLE="never", OLLAMA="custom")
    monkeypatch.setattr(mw, "LLMProvider", swapped)
    assert mw._llm_generate_text("custom", "m", "x") == "r"


# ---- OpenAI branch ------------------------------------------------------------------

def test_openai_branch(fake_openai, progress, usage_extractors):
    reply = fakes.response("answer", usage={"input_tokens": 12, "output_tokens": 7})
    fake_openai.script.append(reply)
    result = mw._llm_generate_text(P.OPENAI, "gpt-5", "prompt", max_tokens=64, temperature=0.3, stop=["X"],
                                   progress=progress, capture_usage=True)
    assert result == ("answer", {"prompt_tokens": 12, "completion_tokens": 7}) and type(result) is tuple
    assert progress == ["[LLM] OpenAI \u2022 gpt-5: sending request", "[LLM] OpenAI: response received"]
    assert fake_openai.calls == [{"model": "gpt-5", "input": "prompt", "response_format": {"type": "json"},
                                  "max_output_tokens": 64, "temperature": 0.3, "stop": ["X"]}]
    assert fake_openai.clients[0].api_key == "sk-test"


def test_openai_plain_result(fake_openai):
    fake_openai.script.append(fakes.response("answer"))
    assert mw._llm_generate_text(P.OPENAI, "gpt-5", "p") == "answer"


@pytest.mark.parametrize("capture", [False, True])
def test_openai_empty_reply_is_an_error(fake_openai, progress, capture):
    reply = fakes.response("", output=[])
    fake_openai.script.append(reply)
    with pytest.raises(RuntimeError) as info:
        mw._llm_generate_text(P.OPENAI, "gpt-5", "p", progress=progress, capture_usage=capture)
    assert str(info.value) == f"Empty OpenAI response: {reply}."
    assert progress[-1] == "[LLM] OpenAI: response received"


@pytest.mark.parametrize("missing", ["package", "key"])
def test_openai_setup_fails_before_any_message(monkeypatch, fake_openai, progress, missing):
    if missing == "package":
        fakes.uninstall(monkeypatch, "openai")
    else:
        monkeypatch.delenv("OPENAI_API_KEY")
    with pytest.raises(RuntimeError):
        mw._llm_generate_text(P.OPENAI, "gpt-5", "p", progress=progress)
    assert progress == []


def test_openai_retry_messages_pass_through(fake_openai, progress, sleeps):
    fake_openai.script.extend([RuntimeError("Unsupported parameter: 'temperature'"), fakes.response("ok")])
    assert mw._llm_generate_text(P.OPENAI, "o3", "p", temperature=0.2, progress=progress) == "ok"
    assert progress == ["[LLM] OpenAI \u2022 o3: sending request",
                        "[LLM] OpenAI: Unsupported parameter: 'temperature'",
                        "[LLM] OpenAI: retrying without unsupported parameters",
                        "[LLM] OpenAI: response received"]
    assert "temperature" not in fake_openai.calls[1] and sleeps == []


def test_openai_exhausted_attempts_propagate(fake_openai, progress, sleeps):
    fake_openai.script.extend([ConnectionError("down")] * 3)
    with pytest.raises(RuntimeError) as info:
        mw._llm_generate_text(P.OPENAI, "gpt-5", "p", progress=progress)
    assert str(info.value) == "OpenAI request failed after 3 attempts: down"
    assert progress[-1] == "[LLM] OpenAI: failed after 3 attempts" and sleeps == [1.5, 3.0, 6.0]


def test_openai_calls_go_through_module_attributes(monkeypatch):
    log = []
    client, response = object(), object()

    def record(name, result):
        def fake(*args, **kwargs):
            log.append((name, args, kwargs))
            return result
        monkeypatch.setattr(mw, name, fake)

    record("_openai_client", client)
    record("_build_create_params", {"p": 1})
    record("_notify", None)
    record("_call_openai_with_retry", response)
    record("_coalesce_response_text", "text")
    record("_extract_openai_usage", {"u": 1})
    cb = object()
    assert mw._llm_generate_text(P.OPENAI, "m", "in", 5, 0.5, ["s"], cb, True) == ("text", {"u": 1})
    assert log == [
        ("_openai_client", (), {}),
        ("_build_create_params", (), {"model_name": "m", "input_text": "in", "max_tokens": 5,
                                      "temperature": 0.5, "stop": ["s"]}),
        ("_notify", (cb, "[LLM] OpenAI \u2022 m: sending request"), {}),
        ("_call_openai_with_retry", (client, {"p": 1}), {"progress": cb}),
        ("_notify", (cb, "[LLM] OpenAI: response received"), {}),
        ("_coalesce_response_text", (response,), {}),
        ("_extract_openai_usage", (response, "in", "text", "m"), {}),
    ]


def test_progress_callback_errors_are_ignored(fake_openai):
    def broken(msg):
        raise ValueError("callback")

    fake_openai.script.append(fakes.response("fine"))
    assert mw._llm_generate_text(P.OPENAI, "gpt-5", "p", progress=broken) == "fine"


# ---- Gemini -------------------------------------------------------------------------

def test_google_client_configures_the_package(fake_genai):
    assert mw._google_client() is fake_genai
    assert fake_genai.configured == ["gm-test"]


@pytest.mark.parametrize("kwargs, config", [
    ({}, {}),
    ({"max_tokens": 512, "temperature": 0.2, "stop": ["never"]}, {"max_output_tokens": 512, "temperature": 0.2}),
    ({"temperature": 0.0}, {"temperature": 0.0}),
])
def test_gemini_request(fake_genai, progress, kwargs, config):
    fake_genai.script.append(fakes.gemini_response("reply"))
    assert mw._llm_generate_text(P.GOOGLE, "gemini-pro", "prompt", progress=progress, **kwargs) == "reply"
    assert fake_genai.created == ["gemini-pro"]
    assert fake_genai.calls == [("gemini-pro", "prompt", config)]
    assert list(fake_genai.calls[0][2]) == list(config)
    assert progress == ["[LLM] Gemini \u2022 gemini-pro: sending request", "[LLM] Gemini: response received"]


@pytest.mark.parametrize("response, text", [
    (fakes.gemini_response(candidates=[["a", None, "b"]]), "ab"),
    (fakes.gemini_response(text="", candidates=[["x"], ["y"]]), "xy"),
    (fakes.gemini_response(), ""),
    (fakes.gemini_response(text=None, candidates=[]), ""),
    (NS(candidates=[NS(content=None), NS(), NS(content=NS(parts=[NS(), NS(text="z")]))]), "z"),
    (NS(candidates=[NS(content=NS(other=1))]), ""),
    (NS(text="", candidates=[NS(content=NS(parts=[{"text": "dict parts are not read"}]))]), ""),
])
def test_gemini_text(fake_genai, usage_extractors, response, text):
    fake_genai.script.extend([response, response])
    assert mw._llm_generate_text(P.GOOGLE, "gemini-pro", "p") == text
    result = mw._llm_generate_text(P.GOOGLE, "gemini-pro", "p", capture_usage=True)
    assert type(result) is tuple and result[0] == text and list(result[1]) == ["prompt_tokens", "completion_tokens"]


def test_gemini_usage(fake_genai, usage_extractors):
    fake_genai.script.append(fakes.gemini_response("r", usage={"prompt_token_count": 9, "candidates_token_count": 4}))
    assert mw._llm_generate_text(P.GOOGLE, "gemini-pro", "p", capture_usage=True) == \
        ("r", {"prompt_tokens": 9, "completion_tokens": 4})


class NoParts:
    @property
    def text(self):
        raise ValueError("The `response.text` quick accessor only works when the response contains a valid Part")


@pytest.mark.parametrize("reply, error", [
    (NoParts(), ValueError),
    (NS(text=3), TypeError),
    (NS(candidates=[NS(content=NS(parts=[NS(text=1)]))]), TypeError),
    (NS(candidates=5), TypeError),
    (PermissionError("quota"), PermissionError),
])
def test_gemini_errors_propagate(fake_genai, progress, reply, error):
    fake_genai.script.append(reply)
    with pytest.raises(error):
        mw._llm_generate_text(P.GOOGLE, "gemini-pro", "p", progress=progress)
    assert progress[0] == "[LLM] Gemini \u2022 gemini-pro: sending request"


def test_gemini_calls_go_through_module_attributes(monkeypatch, fake_genai):
    calls = []
    monkeypatch.setattr(mw, "_google_client", lambda *a, **k: calls.append((a, k)) or fake_genai)
    monkeypatch.setattr(mw, "_extract_gemini_usage", lambda *a, **k: calls.append((a, k)) or {"u": 0})
    reply = fakes.gemini_response("t")
    fake_genai.script.append(reply)
    assert mw._llm_generate_text(P.GOOGLE, "g", "in", capture_usage=1) == ("t", {"u": 0})
    assert calls == [((), {}), ((reply, "in", "t"), {})]
    assert fake_genai.configured == []  # the replaced client factory was used


# ---- Ollama ----------------------------------------------------------------------------

def test_ollama_generate(fake_ollama):
    fake_ollama.script.append({"response": "hello", "prompt_eval_count": 26, "eval_count": 290})
    assert mw._ollama_generate_text("llama3", "hi") == "hello"
    assert fake_ollama.calls == [{"model": "llama3", "prompt": "hi", "options": {}}]


@pytest.mark.parametrize("reply, usage", [
    ({"response": "r", "prompt_eval_count": 26, "eval_count": 290}, {"prompt_tokens": 26, "completion_tokens": 290}),
    ({"response": "r"}, {"prompt_tokens": 0, "completion_tokens": 0}),
    ({"response": "r", "prompt_eval_count": None, "eval_count": "5"}, {"prompt_tokens": 0, "completion_tokens": 5}),
    ({"response": "r", "prompt_eval_count": 3.9, "eval_count": 0}, {"prompt_tokens": 3, "completion_tokens": 0}),
])
def test_ollama_usage(fake_ollama, reply, usage):
    fake_ollama.script.append(reply)
    text, got = mw._ollama_generate_text("llama3", "hi", num_predict=7, return_usage=True)
    assert (text, got) == ("r", usage) and list(got) == ["prompt_tokens", "completion_tokens"]
    assert all(type(v) is int for v in got.values())
    assert fake_ollama.calls[0]["options"] == {"num_predict": 7}


@pytest.mark.parametrize("reply", [{}, {"response": None}, {"response": ""}])
def test_ollama_empty_reply(fake_ollama, reply):
    fake_ollama.script.append(reply)
    assert mw._ollama_generate_text("llama3", "hi") == ""


class BadGet:
    def __init__(self, error):
        self.error = error

    def get(self, *args):
        raise self.error


@pytest.mark.parametrize("reply, cause", [
    (BadGet(KeyError("response")), KeyError),
    (BadGet(TypeError("bad")), TypeError),
    ({"response": 42}, TypeError),
])
def test_ollama_text_errors_are_wrapped(fake_ollama, reply, cause):
    fake_ollama.script.append(reply)
    with pytest.raises(RuntimeError) as info:
        mw._ollama_generate_text("llama3", "hi")
    assert str(info.value) == f"Failed to retrieve response text from Ollama response: {info.value.__context__}"
    assert isinstance(info.value.__context__, cause)
    assert info.value.__cause__ is None and not info.value.__suppress_context__


@pytest.mark.parametrize("reply, error", [
    (BadGet(ValueError("other")), ValueError),
    (["not", "a", "dict"], AttributeError),
    ({"response": "r", "eval_count": "many"}, ValueError),
])
def test_ollama_other_errors_propagate(fake_ollama, reply, error):
    fake_ollama.script.append(reply)
    with pytest.raises(error):
        mw._ollama_generate_text("llama3", "hi", return_usage=True)


def test_ollama_generate_errors_propagate(fake_ollama):
    failure = ConnectionError("refused")
    fake_ollama.script.append(failure)
    with pytest.raises(ConnectionError) as info:
        mw._ollama_generate_text("llama3", "hi")
    assert info.value is failure


@pytest.mark.parametrize("kwargs, name, expected", [
    ({"model_name": 1}, "model_name", "str"),
    ({"prompt": None}, "prompt", "str"),
    ({"num_predict": False}, "num_predict", "int"),
])
def test_ollama_argument_types(kwargs, name, expected):
    args = {"model_name": "m", "prompt": "p", **kwargs}
    with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type \\(expected {expected}, got "):
        mw._ollama_generate_text(**args)


@pytest.mark.parametrize("capture", [False, True])
def test_ollama_branch(fake_ollama, progress, capture):
    fake_ollama.script.append({"response": "hey", "prompt_eval_count": 1, "eval_count": 2})
    result = mw._llm_generate_text(P.OLLAMA, "llama3", "hi", max_tokens=10, temperature=0.9, stop=["x"],
                                   progress=progress, capture_usage=capture)
    assert result == (("hey", {"prompt_tokens": 1, "completion_tokens": 2}) if capture else "hey")
    assert progress == ["[LLM] Ollama \u2022 llama3: generating", "[LLM] Ollama: response received"]
    assert fake_ollama.calls == [{"model": "llama3", "prompt": "hi", "options": {"num_predict": 10}}]


def test_ollama_branch_reports_before_import(monkeypatch, progress):
    fakes.uninstall(monkeypatch, "ollama")
    with pytest.raises(RuntimeError, match="ollama package is not installed"):
        mw._llm_generate_text(P.OLLAMA, "llama3", "hi", progress=progress)
    assert progress == ["[LLM] Ollama \u2022 llama3: generating"]


@pytest.mark.parametrize("result, error, message", [
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    (("a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (None, TypeError, "cannot unpack non-iterable NoneType object"),
])
def test_ollama_branch_unpacks_two_values(monkeypatch, progress, result, error, message):
    monkeypatch.setattr(mw, "_ollama_generate_text", lambda **kw: result)
    with pytest.raises(error) as info:
        mw._llm_generate_text(P.OLLAMA, "llama3", "hi", progress=progress, capture_usage=True)
    assert str(info.value) == message
    assert progress == ["[LLM] Ollama \u2022 llama3: generating"]


def test_ollama_branch_call_shape(monkeypatch):
    calls = []
    monkeypatch.setattr(mw, "_ollama_generate_text", lambda *a, **k: calls.append((a, k)) or ["t", "u"])
    assert mw._llm_generate_text(P.OLLAMA, "q", "in", capture_usage=True) == ("t", "u")
    mw._llm_generate_text(P.OLLAMA, "q", "in", max_tokens=3)
    assert calls == [((), {"model_name": "q", "prompt": "in", "num_predict": None, "return_usage": True}),
                     ((), {"model_name": "q", "prompt": "in", "num_predict": 3})]


def test_large_prompt_round_trip(fake_ollama):
    prompt = "\U0001F600" * 50_000 + "z" * 50_000
    fake_ollama.script.append({"response": prompt})
    assert mw._llm_generate_text(P.OLLAMA, "llama3", prompt) == prompt
    assert fake_ollama.calls[0]["prompt"] is prompt or fake_ollama.calls[0]["prompt"] == prompt


def test_gemini_fake_offers_the_real_package_names():
    real = pytest.importorskip("google.generativeai")
    fake = fakes.genai_module()
    for name in ("configure", "GenerativeModel", "list_models"):
        assert callable(getattr(real, name)) and callable(getattr(fake, name))
    assert callable(real.GenerativeModel.generate_content) and callable(fake.GenerativeModel.generate_content)


def test_errors_link_the_exception_the_caller_is_handling(fake_ollama):
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(ValueError) as info:
            mw._llm_generate_text("bogus", "m", "x")
        assert info.value.__context__ is outer


def test_usage_flag_is_tested_after_the_request(fake_ollama):
    seen = []

    class Flag:
        def __bool__(self):
            seen.append(len(fake_ollama.calls))
            return False

    fake_ollama.script.append({"response": "text"})
    assert mw._ollama_generate_text("m", "p", return_usage=Flag()) == "text"
    assert seen == [1]
