"""Fixtures shared by the LLM access tests: recorded sleeps, progress messages,
provider fakes installed in sys.modules, and a usage extractor to fall back on
while tavro.tokenmeter is not built."""

import types

import pytest

import fakes
from tavro import modelwright as mw


class Progress(list):
    """A progress callback that keeps every message (true even while empty)."""

    def __bool__(self):
        return True

    def __call__(self, msg):
        self.append(msg)


@pytest.fixture
def progress():
    return Progress()


@pytest.fixture
def sleeps(monkeypatch):
    waits = []
    monkeypatch.setattr(mw, "sleep", waits.append)
    return waits


def _tokenmeter_ready():
    try:
        mw._extract_openai_usage(types.SimpleNamespace(usage=None), "", "", "gpt-5")
        mw._extract_gemini_usage(types.SimpleNamespace(usage_metadata=None), "", "")
    except NotImplementedError:
        return False
    return True


def _openai_usage(resp, input_text, output_text, model_name):
    usage = getattr(resp, "usage", None)
    return {"prompt_tokens": int(getattr(usage, "input_tokens", 0) or 0),
            "completion_tokens": int(getattr(usage, "output_tokens", 0) or 0)}


def _gemini_usage(resp, input_text, output_text):
    usage = getattr(resp, "usage_metadata", None)
    return {"prompt_tokens": int(getattr(usage, "prompt_token_count", 0) or 0),
            "completion_tokens": int(getattr(usage, "candidates_token_count", 0) or 0)}


@pytest.fixture
def usage_extractors(monkeypatch):
    """The module's extractors, or reported-count stand-ins until tokenmeter is built."""
    if not _tokenmeter_ready():
        monkeypatch.setattr(mw, "_extract_openai_usage", _openai_usage)
        monkeypatch.setattr(mw, "_extract_gemini_usage", _gemini_usage)


@pytest.fixture
def fake_openai(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    return fakes.install(monkeypatch, "openai", fakes.openai_module())


@pytest.fixture
def fake_genai(monkeypatch):
    monkeypatch.setenv("GEMINI_API_KEY", "gm-test")
    return fakes.install(monkeypatch, "google.generativeai", fakes.genai_module())


@pytest.fixture
def fake_ollama(monkeypatch):
    return fakes.install(monkeypatch, "ollama", fakes.ollama_module())
