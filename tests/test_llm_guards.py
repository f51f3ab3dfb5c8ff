"""What the LLM glue shares across providers: the guards of the optional
provider packages, the provider table behind inference, dispatch and listing,
and messages that keep every code point of the values they show."""

import sys
import types

import pytest

from llm_support import fake_genai, fake_openai, progress  # noqa: F401
from tavro import lpwriter, lpwriter_base
from tavro import modelwright as mw

P = mw.LLMProvider

OLLAMA_MISSING = "ollama package is not installed. pip install ollama"
# (package, call, message): each entry point that imports an optional package.
PACKAGE_GUARDS = [
    ("openai", lambda: mw._openai_client(), "openai is not installed. pip install openai"),
    ("google.generativeai", lambda: mw._google_client(),
     "google.generativeai is not installed. pip install google-generativeai"),
    ("ollama", lambda: mw._ollama_generate_text("llama3", "hi"), OLLAMA_MISSING),
    ("ollama", lambda: mw.list_ollama_models(), OLLAMA_MISSING),
]


# None in sys.modules blocks the import; a module without the imported name
# cannot supply it (google.generativeai is imported whole, so only blocked).
GUARD_CASES = [
    pytest.param(package, call, message, absent, id=f"{package}-{absent}-{i}")
    for i, (package, call, message) in enumerate(PACKAGE_GUARDS)
    for absent in (["blocked"] if "." in package else ["blocked", "without-name"])
]


@pytest.mark.parametrize("package, call, message, absent", GUARD_CASES)
def test_missing_package(monkeypatch, package, call, message, absent):
    monkeypatch.setenv("OPENAI_API_KEY", "sk")
    monkeypatch.setenv("GEMINI_API_KEY", "gk")
    monkeypatch.setitem(sys.modules, package, None if absent == "blocked" else types.ModuleType(package))
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == message
    assert isinstance(info.value.__cause__, ImportError)
    assert info.value.__context__ is info.value.__cause__


# (fixture, variable, call, what the client set-up made): each API key read.
KEY_GUARDS = [
    ("fake_openai", "OPENAI_API_KEY", lambda: mw._openai_client(), lambda fake: fake.clients),
    ("fake_genai", "GEMINI_API_KEY", lambda: mw._google_client(), lambda fake: fake.configured),
]


@pytest.mark.parametrize("fixture, variable, call, made", KEY_GUARDS, ids=["openai", "genai"])
@pytest.mark.parametrize("value", [None, ""])
def test_missing_key(request, monkeypatch, fixture, variable, call, made, value):
    fake = request.getfixturevalue(fixture)
    if value is None:
        monkeypatch.delenv(variable)
    else:
        monkeypatch.setenv(variable, value)
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == f"{variable} environment variable not set."
    assert info.value.__cause__ is None and made(fake) == []


# ---- the provider table ------------------------------------------------------

# (member, value, llm_provider names, a model name that implies it, listing function)
PROVIDERS = [
    ("OPENAI", "openai", ["openai", "oai"], "gpt-5", "list_openai_models"),
    ("GOOGLE", "google", ["google", "genai", "gemini", "google.generativeai"], "gemini-2.5", "list_gemini_models"),
    ("OLLAMA", "ollama", ["ollama"], "qwen3", "list_ollama_models"),
]


def test_enumeration_follows_the_table():
    assert [(m.name, m.value) for m in P] == [(name, value) for name, value, *_ in PROVIDERS]


@pytest.mark.parametrize("member, value, names, model, lister", PROVIDERS)
def test_each_provider_is_chosen_and_listed(monkeypatch, member, value, names, model, lister):
    for name in names:
        assert mw._infer_provider(f"  {name.upper()} ", "gpt-5") is P[member]
    assert mw._infer_provider(None, model) is P[member]
    monkeypatch.setattr(mw, lister, lambda: [member])
    assert mw.list_models(None, model) == [member]


def test_each_provider_generates_through_its_own_call(monkeypatch):
    seen = []
    monkeypatch.setattr(mw, "_openai_client", lambda: seen.append("openai") or object())
    monkeypatch.setattr(mw, "_call_openai_with_retry", lambda client, params, progress=None: "r")
    monkeypatch.setattr(mw, "_coalesce_response_text", lambda response: "from openai")
    assert mw._llm_generate_text(P.OPENAI, "gpt-5", "p") == "from openai"
    monkeypatch.setattr(mw, "_ollama_generate_text", lambda **kw: seen.append("ollama") or "from ollama")
    assert mw._llm_generate_text(P.OLLAMA, "llama3", "p") == "from ollama"
    assert seen == ["openai", "ollama"]


# ---- messages keep what they show ---------------------------------------------

ODD = "x\ud800 \U0001F600 é"


class Shown:
    def __str__(self):
        return ODD


MESSAGES = [
    (lambda: mw._llm_generate_text(ODD, "m", "t"), ValueError, f"Unsupported LLM provider: {ODD}"),
    (lambda: mw._get_grammar_implementation(Shown()), ValueError, f"Invalid mode: {ODD}"),
    (lambda: lpwriter.SciPyCodeGenerator(None, mode=ODD), ValueError, f"Unknown mode: {ODD}"),
]


@pytest.mark.parametrize("call, error, message", MESSAGES, ids=["provider", "grammar", "lpwriter"])
def test_raised_messages_keep_every_code_point(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("factory, message", [
    ("_unsupported_type_error", f"Unsupported {ODD} type: {ODD}"),
    ("_unsupported_operator_error", f"Unsupported {ODD} operator: '{ODD}'"),
])
def test_returned_errors_keep_every_code_point(factory, message):
    error = getattr(lpwriter_base.SciPyCodeGeneratorBase, factory)(Shown(), ODD)
    assert str(error) == message


def test_progress_shows_the_model_name_unchanged(monkeypatch, progress):
    monkeypatch.setattr(mw, "_ollama_generate_text", lambda **kw: "ok")
    mw._llm_generate_text(P.OLLAMA, ODD, "p", progress=progress)
    assert progress[0] == f"[LLM] Ollama \u2022 {ODD}: generating"


def test_retry_messages_keep_the_error_text(monkeypatch, progress):
    monkeypatch.setattr(mw, "sleep", lambda s: None)

    class Client:
        class responses:
            @staticmethod
            def create(**kw):
                raise ConnectionError(ODD)

    with pytest.raises(RuntimeError) as info:
        mw._call_openai_with_retry(Client(), {"model": "m"}, retries=2, backoff_sec=0, progress=progress)
    assert str(info.value) == f"OpenAI request failed after 2 attempts: {ODD}"
    assert f"[LLM] OpenAI: retry 2/2 after error: {ODD}" in progress
