"""OpenAI access through a fake `openai` package: client set-up, the request
loop with attempts, back-off and refused-parameter stripping, and reply text."""

import copy
import inspect
import types
from fractions import Fraction

import pytest

import fakes
from llm_support import fake_openai, progress, sleeps  # noqa: F401 - fixtures
from tavro import modelwright as mw

NS = types.SimpleNamespace


class Boom(Exception):
    pass


class FalseError(Exception):
    def __bool__(self):
        return False


class UnprintableError(Exception):
    def __str__(self):
        raise ValueError("cannot print")


class Raising:
    """An object whose every listed attribute raises `error`."""

    def __init__(self, error, **plain):
        object.__setattr__(self, "_error", error)
        self.__dict__.update(plain)

    def __getattr__(self, name):
        raise self._error


def client(*replies, responses=None):
    mod = fakes.openai_module(*replies, responses_class=responses or fakes.openai.Responses)
    return mod.OpenAI(api_key="k"), mod


# ---- _openai_client ---------------------------------------------------------

def test_client_gets_key_from_environment(fake_openai):
    c = mw._openai_client()
    assert c.api_key == "sk-test" and c.kwargs == {}
    assert mw._openai_client() is not c and len(fake_openai.clients) == 2


def test_client_package_without_class_is_not_installed(monkeypatch):
    fakes.install(monkeypatch, "openai", fakes.module("openai"))
    with pytest.raises(RuntimeError, match="openai is not installed") as info:
        mw._openai_client()
    assert "cannot import name 'OpenAI'" in str(info.value.__cause__)


# ---- _call_openai_with_retry --------------------------------------------------

def test_first_success_is_returned_unchanged(progress, sleeps):
    reply = object()
    c, mod = client(reply)
    params = {"model": "m", "input": "x"}
    assert mw._call_openai_with_retry(c, params, progress=progress) is reply
    assert mod.calls == [params] and progress == [] and sleeps == []


def test_generic_failures_back_off_and_give_up(progress, sleeps):
    c, mod = client(Boom("e1"), Boom("e2"), Boom("e3"))
    with pytest.raises(RuntimeError) as info:
        mw._call_openai_with_retry(c, {"model": "m"}, progress=progress)
    assert str(info.value) == "OpenAI request failed after 3 attempts: e3"
    assert info.value.__cause__ is None
    assert progress == [
        "[LLM] OpenAI: e1", "[LLM] OpenAI: retry 1/3 after error: e1",
        "[LLM] OpenAI: e2", "[LLM] OpenAI: retry 2/3 after error: e2",
        "[LLM] OpenAI: e3", "[LLM] OpenAI: retry 3/3 after error: e3",
        "[LLM] OpenAI: failed after 3 attempts",
    ]
    assert sleeps == [1.5, 3.0, 6.0] and all(type(s) is float for s in sleeps)
    assert len(mod.calls) == 3


@pytest.mark.parametrize("backoff, waits", [
    (2, [2.0, 4.0]), (0.25, [0.25, 0.5]), (True, [1.0, 2.0]), (Fraction(1, 2), [0.5, 1.0])])
def test_backoff_is_converted_to_float(sleeps, backoff, waits):
    c, _ = client(Boom("a"), Boom("b"))
    with pytest.raises(RuntimeError):
        mw._call_openai_with_retry(c, {}, 2, backoff)
    assert sleeps == waits and all(type(s) is float for s in sleeps)


def test_recovery_after_generic_failure(progress, sleeps):
    c, _ = client(Boom("busy"), "ok")
    assert mw._call_openai_with_retry(c, {"model": "m"}, progress=progress) == "ok"
    assert progress == ["[LLM] OpenAI: busy", "[LLM] OpenAI: retry 1/3 after error: busy"]
    assert sleeps == [1.5]


@pytest.mark.parametrize("retries", [0, -2])
def test_no_attempts(progress, sleeps, retries):
    c, mod = client("never")
    with pytest.raises(RuntimeError) as info:
        mw._call_openai_with_retry(c, {"model": "m"}, retries=retries, progress=progress)
    assert str(info.value) == f"OpenAI request failed after {retries} attempts: None"
    assert progress == [f"[LLM] OpenAI: failed after {retries} attempts"]
    assert mod.calls == [] and sleeps == []


FULL = {"model": "m", "input": "x", "response_format": {"type": "json"}, "max_output_tokens": 5,
        "temperature": 0.5, "stop": ["END"]}


@pytest.mark.parametrize("message, removed", [
    ("Unsupported parameter: 'temperature' is not supported with this model.", ["temperature"]),
    ("UNSUPPORTED PARAMETER: 'TEMPERATURE'", ["temperature"]),
    ("create() got an unexpected keyword argument 'response_format'", ["response_format"]),
    ("the connection was STOPPED", ["stop"]),
    ("neither temperature nor stop", ["stop", "temperature"]),
    ("Parameter 'max_output_tokens' is not supported.", ["max_output_tokens"]),
    ("unsupported parameter:   'input'", ["input"]),
    ("Unsupported value: 'temperature' does not support 0.1 with this model.", ["temperature"]),
])
def test_refused_parameter_is_stripped_without_waiting(progress, sleeps, message, removed):
    c, mod = client(Boom(message), "ok")
    params = copy.deepcopy(FULL)
    assert mw._call_openai_with_retry(c, params, progress=progress) == "ok"
    assert params == FULL
    assert mod.calls[0] == FULL
    assert mod.calls[1] == {k: v for k, v in FULL.items() if k not in removed}
    assert list(mod.calls[1]) == [k for k in FULL if k not in removed]
    assert progress == [f"[LLM] OpenAI: {message}", "[LLM] OpenAI: retrying without unsupported parameters"]
    assert sleeps == []


@pytest.mark.parametrize("message", [
    "Unsupported parameter: 'Temperature'",         # captured names match keys case-sensitively
    "parameter 'seed' is not supported",            # not a key of the request
    "quota exceeded",
])
def test_unmatched_message_backs_off(progress, sleeps, message):
    c, mod = client(Boom(message), "ok")
    params = {"model": "m", "input": "x"}
    assert mw._call_openai_with_retry(c, params, progress=progress) == "ok"
    assert mod.calls == [params, params]
    assert progress[-1] == f"[LLM] OpenAI: retry 1/3 after error: {message}"
    assert sleeps == [1.5]


def test_stripping_uses_attempts_and_removal_persists(progress, sleeps):
    c, mod = client(Boom("bad stop"), Boom("bad temperature"), Boom("bad reasoning"))
    params = {"model": "m", "stop": ["x"], "temperature": 0.0, "reasoning": {}}
    with pytest.raises(RuntimeError, match="failed after 3 attempts: bad reasoning"):
        mw._call_openai_with_retry(c, params, progress=progress)
    assert [list(call) for call in mod.calls] == [["model", "stop", "temperature", "reasoning"],
                                                 ["model", "temperature", "reasoning"], ["model", "reasoning"]]
    assert sleeps == []
    assert progress[-1] == "[LLM] OpenAI: failed after 3 attempts"


def test_signature_keeps_only_named_parameters(sleeps):
    c, mod = client("ok", responses=fakes.openai.StrictResponses)
    assert mw._call_openai_with_retry(c, dict(FULL)) == "ok"
    assert mod.calls == [{"model": "m", "input": "x"}]


def test_var_keyword_signature_filters_nothing():
    c, mod = client("ok")
    mw._call_openai_with_retry(c, dict(FULL))
    assert mod.calls == [FULL]


def test_signature_goes_through_module_inspect(monkeypatch, sleeps):
    seen = []

    def signature(obj):
        seen.append(obj)
        raise ValueError("no signature")

    monkeypatch.setattr(mw, "inspect", NS(signature=signature, Parameter=inspect.Parameter))
    c, mod = client("ok", responses=fakes.openai.StrictResponses)
    with pytest.raises(RuntimeError, match="unexpected keyword argument 'response_format'"):
        mw._call_openai_with_retry(c, {"model": "m", "input": "x", "response_format": {}}, retries=1)
    assert seen == [c.responses.create]


class Uninspectable:
    """A create callable whose signature cannot be read."""

    def __init__(self):
        self.calls = []

    @property
    def __signature__(self):
        raise RuntimeError("no signature")

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        return "ok"


def test_uninspectable_create_is_sent_unfiltered():
    create = Uninspectable()
    assert mw._call_openai_with_retry(NS(responses=NS(create=create)), dict(FULL)) == "ok"
    assert create.calls == [FULL]


def test_client_without_responses_fails_each_attempt(progress, sleeps):
    with pytest.raises(RuntimeError) as info:
        mw._call_openai_with_retry(object(), {"model": "m"}, retries=2, progress=progress)
    assert "'object' object has no attribute 'responses'" in str(info.value)
    assert sleeps == [1.5, 3.0]


def test_attributes_are_looked_up_for_every_attempt(sleeps):
    looked_up = []
    replies = [Boom("a"), Boom("b"), "ok"]

    def create(**kwargs):
        reply = replies.pop(0)
        if isinstance(reply, Exception):
            raise reply
        return reply

    class Client:
        @property
        def responses(self):
            looked_up.append("responses")
            return NS(create=create)

    assert mw._call_openai_with_retry(Client(), {}) == "ok"
    assert looked_up == ["responses"] * 4  # the signature, then one per attempt


def test_keyboard_interrupt_is_not_retried(progress, sleeps):
    c, mod = client(KeyboardInterrupt(), "ok")
    with pytest.raises(KeyboardInterrupt):
        mw._call_openai_with_retry(c, {}, progress=progress)
    assert len(mod.calls) == 1 and progress == [] and sleeps == []


def test_false_error_reads_unknown_error(progress, sleeps):
    c, _ = client(FalseError("hidden"))
    with pytest.raises(RuntimeError) as info:
        mw._call_openai_with_retry(c, {}, retries=1, progress=progress)
    assert progress[:2] == ["[LLM] OpenAI: unknown error", "[LLM] OpenAI: retry 1/1 after error: unknown error"]
    assert str(info.value) == "OpenAI request failed after 1 attempts: hidden"


def test_error_with_empty_text(progress, sleeps):
    c, _ = client(Boom())
    with pytest.raises(RuntimeError) as info:
        mw._call_openai_with_retry(c, {}, retries=1, progress=progress)
    assert progress[0] == "[LLM] OpenAI: " and str(info.value) == "OpenAI request failed after 1 attempts: "


def test_unprintable_error_propagates_with_context(sleeps):
    c, _ = client(UnprintableError())
    with pytest.raises(ValueError, match="cannot print") as info:
        mw._call_openai_with_retry(c, {})
    assert isinstance(info.value.__context__, UnprintableError)
    assert sleeps == []


def test_huge_error_message(progress, sleeps):
    message = "x" * 100_000 + " temperature"
    c, mod = client(Boom(message), "ok")
    assert mw._call_openai_with_retry(c, {"temperature": 1.0}, progress=progress) == "ok"
    assert mod.calls[1] == {} and progress[0] == "[LLM] OpenAI: " + message


def test_calls_go_through_module_attributes(monkeypatch):
    notes = []
    monkeypatch.setattr(mw, "_notify", lambda *a, **k: notes.append((a, k)))
    waits = []
    monkeypatch.setattr(mw, "sleep", lambda *a, **k: waits.append((a, k)))
    c, _ = client(Boom("e"), "ok")
    cb = object()
    mw._call_openai_with_retry(c, {}, progress=cb)
    assert notes == [((cb, "[LLM] OpenAI: e"), {}), ((cb, "[LLM] OpenAI: retry 1/3 after error: e"), {})]
    assert waits == [((1.5,), {})]


@pytest.mark.parametrize("kwargs, name", [
    ({"retries": 3.0}, "retries"), ({"retries": True}, "retries"), ({"retries": None}, "retries"),
])
def test_argument_types(kwargs, name):
    with pytest.raises(TypeError) as info:
        mw._call_openai_with_retry(object(), {}, **kwargs)
    assert str(info.value).startswith(f"Argument '{name}' has incorrect type (expected int, got ")


@pytest.mark.parametrize("backoff", ["soon", "1.5", None, [1]])
def test_backoff_must_be_a_real_number(backoff):
    with pytest.raises(TypeError, match="must be real number, not "):
        mw._call_openai_with_retry(object(), {}, backoff_sec=backoff)


def test_signature_and_defaults():
    assert str(inspect.signature(mw._call_openai_with_retry)) == \
        "(client, create_params, retries=3, backoff_sec=1.5, progress=None)"
    assert str(inspect.signature(mw._openai_client)) == "()"
    assert str(inspect.signature(mw._coalesce_response_text)) == "(resp)"


# ---- _coalesce_response_text --------------------------------------------------

PART = NS
COALESCE_CASES = [
    (NS(output_text="abc"), "abc"),
    (NS(output_text="", output=[NS(content=[PART(text="a"), PART(text="b")])]), "ab"),
    (NS(output=[NS(content=[{"text": "x"}])]), "x"),
    (NS(), ""),
    (NS(output_text=None, output=None), ""),
    (NS(output=[NS(content=None, text="t"), NS(content=[PART(text=None)]), NS(text=None)]), "t"),
    (NS(output=[NS(content=[PART(text=""), {"text": 5}, {"no": "text"}, 7])]), ""),
    (NS(output=[NS(type="reasoning", content=[]), NS(content=[PART(text="m")])]), "m"),
    (NS(output=[{"content": [{"text": "dict item"}]}]), ""),
    # not iterable: rule 2 gives up, rule 3 indexes and fails too
    (NS(output=42), ""),
    # a text that is not a string spoils the join; rule 3 then meets it too
    (NS(output=[NS(content=[PART(text=5)])]), ""),
    # the join fails on the second part; rule 3 still finds the first
    (NS(output=[NS(content=[PART(text="first"), PART(text=3)])]), "first"),
]


@pytest.mark.parametrize("resp, expected", COALESCE_CASES)
def test_coalesce(resp, expected):
    assert mw._coalesce_response_text(resp) == expected


class Indexable:
    """Indexable but not iterable: only rule 3 can read it."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        raise TypeError("not iterable")


def test_coalesce_first_part_fallback():
    resp = NS(output=Indexable(NS(content=Indexable(PART(text="only")))))
    assert mw._coalesce_response_text(resp) == "only"
    assert mw._coalesce_response_text(NS(output=Indexable(NS(content=Indexable(PART(text="")))))) == ""


def test_coalesce_attribute_errors_in_output_are_absorbed():
    assert mw._coalesce_response_text(Raising(ValueError("broken"), output_text="")) == ""
    item = Raising(RuntimeError("x"))
    assert mw._coalesce_response_text(NS(output=[item])) == ""


@pytest.mark.parametrize("resp, error", [
    (NS(output_text=7), "Expected str, got int"),
    (NS(output_text=["a"]), "Expected str, got list"),
])
def test_coalesce_output_text_must_be_str(resp, error):
    with pytest.raises(TypeError, match=error):
        mw._coalesce_response_text(resp)


def test_coalesce_output_text_errors_propagate():
    with pytest.raises(ValueError, match="property"):
        mw._coalesce_response_text(Raising(ValueError("property")))


def test_coalesce_large_text():
    big = "y" * 100_000
    assert mw._coalesce_response_text(NS(output=[NS(content=[PART(text=big), {"text": big}])])) == big * 2
