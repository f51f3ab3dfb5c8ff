"""Token counting and the usage dictionaries read from provider responses."""

import sys
import types

import pytest

from tavro import tokenmeter


@pytest.mark.parametrize("text, count", [("", 0), ("a", 1), ("abcd", 1), ("abcde", 2), ("\U0001F600" * 10, 3),
                                         ("x" * 4000, 1000)])
def test_approx_token_count(text, count):
    assert tokenmeter._approx_token_count(text) == count


class FakeEncoding:
    def __init__(self, name, log):
        self.name, self.log = name, log

    def encode(self, text):
        self.log.append((self.name, text))
        return text.split()


def fake_tiktoken(monkeypatch, known=("gpt-4o",), broken=()):
    log = []
    module = types.ModuleType("tiktoken")

    def encoding_for_model(name):
        if name not in known:
            raise KeyError(name)
        return FakeEncoding("model:" + name, log)

    def get_encoding(name):
        if name in broken:
            raise ConnectionError("offline")
        return FakeEncoding(name, log)

    module.encoding_for_model = encoding_for_model
    module.get_encoding = get_encoding
    monkeypatch.setitem(sys.modules, "tiktoken", module)
    return log


def test_count_without_tiktoken_is_the_estimate(monkeypatch):
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    assert tokenmeter._count_openai_tokens("hello world", "gpt-4o") == 3


@pytest.mark.parametrize("model, broken, encoding", [
    ("gpt-4o", (), "model:gpt-4o"),
    ("unknown", (), "o200k_base"),
    ("unknown", ("o200k_base",), "cl100k_base"),
])
def test_count_picks_encoding(monkeypatch, model, broken, encoding):
    log = fake_tiktoken(monkeypatch, broken=broken)
    assert tokenmeter._count_openai_tokens("one two three", model) == 3
    assert log == [(encoding, "one two three")]


def test_count_falls_back_when_no_encoding_loads(monkeypatch):
    fake_tiktoken(monkeypatch, broken=("o200k_base", "cl100k_base"))
    calls = []
    monkeypatch.setattr(tokenmeter, "_approx_token_count", lambda text: calls.append(text) or 42)
    assert tokenmeter._count_openai_tokens("one two", "unknown") == 42
    assert calls == ["one two"]


def test_count_lets_interrupts_through(monkeypatch):
    module = types.ModuleType("tiktoken")

    def encoding_for_model(name):
        raise KeyboardInterrupt

    module.encoding_for_model = encoding_for_model
    monkeypatch.setitem(sys.modules, "tiktoken", module)
    with pytest.raises(KeyboardInterrupt):
        tokenmeter._count_openai_tokens("x", "gpt-4o")


@pytest.mark.parametrize("p, c, expected", [(None, 5, (0, 5)), (0, None, (0, 0)), (7, 8, (7, 8))])
def test_usage_dict(p, c, expected):
    usage = tokenmeter._usage_dict(p, c)
    assert list(usage.items()) == [("prompt_tokens", expected[0]), ("completion_tokens", expected[1])]


@pytest.mark.parametrize("args, message", [
    ((1.0, 1), "Argument 'prompt_tokens' has incorrect type (expected int, got float)"),
    ((1, True), "Argument 'completion_tokens' has incorrect type (expected int, got bool)"),
    ((1, "2"), "Argument 'completion_tokens' has incorrect type (expected int, got str)"),
])
def test_usage_dict_rejects_other_types(args, message):
    with pytest.raises(TypeError) as info:
        tokenmeter._usage_dict(*args)
    assert str(info.value) == message


class Boom:
    @property
    def usage(self):
        raise RuntimeError("broken property")

    usage_metadata = usage


class HalfBroken:
    input_tokens = 9

    @property
    def output_tokens(self):
        raise ValueError("no")


@pytest.fixture
def counted(monkeypatch):
    calls = []

    def count(text, model_name):
        calls.append((text, model_name))
        return 100 + len(calls)

    monkeypatch.setattr(tokenmeter, "_count_openai_tokens", count)
    return calls


@pytest.mark.parametrize("resp, expected, counted_texts", [
    (types.SimpleNamespace(usage=types.SimpleNamespace(input_tokens=120, output_tokens=30)), (120, 30), []),
    ({"usage": {"prompt_tokens": 11, "completion_tokens": 4}}, (11, 4), []),
    (types.SimpleNamespace(usage=types.SimpleNamespace(input_tokens=0, output_tokens=3)), (101, 3), ["in"]),
    (types.SimpleNamespace(usage={"input_tokens": 0, "prompt_tokens": 0, "output_tokens": 2}), (0, 2), []),
    (types.SimpleNamespace(), (101, 102), ["in", "out"]),
    (types.SimpleNamespace(usage=None), (101, 102), ["in", "out"]),
    ({"usage": None}, (101, 102), ["in", "out"]),
    (Boom(), (101, 102), ["in", "out"]),
    (types.SimpleNamespace(usage=HalfBroken()), (9, 101), ["out"]),
])
def test_extract_openai_usage(counted, resp, expected, counted_texts):
    usage = tokenmeter._extract_openai_usage(resp, "in", "out", "gpt-4o")
    assert usage == {"prompt_tokens": expected[0], "completion_tokens": expected[1]}
    assert counted == [(t, "gpt-4o") for t in counted_texts]


def test_extract_openai_usage_passes_bad_counts_to_usage_dict():
    resp = {"usage": {"input_tokens": 1.5, "output_tokens": 2}}
    with pytest.raises(TypeError, match="Argument 'prompt_tokens' has incorrect type"):
        tokenmeter._extract_openai_usage(resp, "in", "out", "gpt-4o")


@pytest.mark.parametrize("resp, expected", [
    (types.SimpleNamespace(usage_metadata=types.SimpleNamespace(prompt_token_count=0, candidates_token_count=6)),
     (0, 6)),
    ({"usage_metadata": {"prompt_token_count": 3}}, (3, 1)),
    (types.SimpleNamespace(), (2, 1)),
    (Boom(), (2, 1)),
])
def test_extract_gemini_usage(counted, resp, expected):
    usage = tokenmeter._extract_gemini_usage(resp, "input", "out")
    assert usage == {"prompt_tokens": expected[0], "completion_tokens": expected[1]}
    assert counted == []  # no tokenizer for Gemini


@pytest.mark.parametrize("call", [
    lambda: tokenmeter._extract_openai_usage({}, None, "", "m"),
    lambda: tokenmeter._extract_openai_usage({}, "", "", 3),
    lambda: tokenmeter._extract_gemini_usage({}, "", b""),
    lambda: tokenmeter._count_openai_tokens("x", None),
    lambda: tokenmeter._approx_token_count(["x"]),
])
def test_text_arguments_are_checked(call):
    with pytest.raises(TypeError, match="has incorrect type"):
        call()
