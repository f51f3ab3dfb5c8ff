"""tavro._providers, the Python side's provider facts, agrees with what
modelwright does: its LLMProvider members, the provider names it accepts,
the key each provider reads and the message of a missing client."""

import sys

import pytest

import fakes
from tavro import _providers
from tavro import modelwright as mw

P = mw.LLMProvider
ENTRIES = {p.name: p for p in _providers.PROVIDERS}
# Model names that imply each provider, to see that a name is ignored.
MODELS = {"openai": "gpt-5", "google": "gemini-2.5", "ollama": "llama3"}


def test_the_table_follows_the_enumeration():
    assert [p.name for p in _providers.PROVIDERS] == [m.value for m in P] == list(MODELS)
    assert _providers.NAMES == tuple(a for p in _providers.PROVIDERS for a in p.aliases)
    assert [p.name for p in _providers.PROVIDERS if p.free] == ["ollama"]


@pytest.mark.parametrize("name", _providers.NAMES)
def test_every_accepted_name_chooses_its_provider(name):
    for spelt in (name, " %s " % name.upper(), name.title()):
        entry = _providers.lookup(spelt)
        for model in MODELS.values():
            assert mw._infer_provider(spelt, model).value == entry.name


def near_misses():
    names = {n + "x" for n in _providers.NAMES} | {n[:-1] for n in _providers.NAMES}
    return sorted(names - set(_providers.NAMES)) + ["open ai", "gemeni", "olama", "google-genai", ""]


@pytest.mark.parametrize("name", near_misses())
def test_no_other_name_is_accepted(name):
    assert _providers.lookup(name) is None
    for model in MODELS.values():
        assert mw._infer_provider(name, model) is mw._infer_provider(None, model)


@pytest.fixture
def clients(monkeypatch):
    for p in _providers.PROVIDERS:
        if p.key_variable:
            monkeypatch.delenv(p.key_variable, raising=False)
    fakes.install(monkeypatch, "openai", fakes.openai_module(fakes.response("hi")))
    fakes.install(monkeypatch, "google.generativeai", fakes.genai_module(fakes.gemini_response("hi")))
    fakes.install(monkeypatch, "ollama", fakes.ollama_module({"response": "hi"}))


@pytest.mark.parametrize("member", list(P))
def test_the_key_each_provider_reads(clients, monkeypatch, member):
    entry = _providers.by_name(member)
    if entry.key_variable is None:
        assert mw._llm_generate_text(member, MODELS[entry.name], "p") == "hi"
        return
    with pytest.raises(RuntimeError) as info:
        mw._llm_generate_text(member, MODELS[entry.name], "p")
    assert str(info.value) == "%s environment variable not set." % entry.key_variable
    monkeypatch.setenv(entry.key_variable, "k")
    assert mw._llm_generate_text(member, MODELS[entry.name], "p") == "hi"


@pytest.mark.parametrize("member", list(P))
def test_the_message_of_a_missing_client(monkeypatch, member):
    entry = _providers.by_name(member)
    if entry.key_variable:
        monkeypatch.setenv(entry.key_variable, "k")
    monkeypatch.setitem(sys.modules, entry.client, None)
    with pytest.raises(RuntimeError) as info:
        mw._llm_generate_text(member, MODELS[entry.name], "p")
    assert str(info.value) == entry.missing_client


@pytest.mark.parametrize("provider, env, expected", [
    ("openai", {}, "https://api.openai.com/v1"),
    ("openai", {"OPENAI_BASE_URL": "http://h:1/v1"}, "http://h:1/v1"),
    ("ollama", {}, "http://127.0.0.1:11434"),
    ("ollama", {"OLLAMA_HOST": "box:11434"}, "box:11434"),
    ("google", {"OPENAI_BASE_URL": "http://h:1/v1"}, "https://generativelanguage.googleapis.com"),
])
def test_provider_address(monkeypatch, provider, env, expected):
    for name in ("OPENAI_BASE_URL", "OLLAMA_HOST"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert _providers.address(provider) == expected
    assert _providers.address(mw.LLMProvider(provider)) == expected


def test_free_and_unknown_providers():
    assert _providers.is_free(P.OLLAMA) and _providers.is_free("ollama")
    assert not any(_providers.is_free(x) for x in (P.OPENAI, "google", "nonsense", None))
    assert _providers.address("nonsense") == "?" and _providers.choices_text() == "openai, google or ollama"
