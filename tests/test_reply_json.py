"""Cutting the JSON object out of an LLM reply and parsing it leniently."""

import json
import random
import re

import pytest

from tavro import modelwright as mw

FENCE = re.compile(r"```(?:json)?\s*(\{.*\})\s*```", re.DOTALL)


def reference_extract(text):
    """The documented algorithm, written out plainly."""
    m = FENCE.search(text)
    if m:
        return m.group(1)
    start = text.find("{")
    if start == -1:
        return text
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "{":
            depth += 1
        elif text[i] == "}":
            depth -= 1
            if depth == 0:
                return text[start : i + 1]
    return text


def test_docstring():
    assert mw.extract_json_from_markdown.__doc__ == (
        "\n    Extract JSON object from a Markdown code block if present.\n"
        "    Fallback: find the first balanced {...} JSON object.\n    "
    )


OBJ = '{"model": "m", "data": "d"}'


@pytest.mark.parametrize(
    "reply, expected",
    [
        ("Here it is:\n```json\n" + OBJ + "\n```\nThanks", OBJ),
        ("```\n" + OBJ + "\n```", OBJ),
        ("```json" + OBJ + "```", OBJ),
        ("```JSON\n" + OBJ + "\n```", OBJ),  # no fence match; the brace walk finds it
        ("before " + OBJ + " after", OBJ),
        ("no braces at all", "no braces at all"),
        ("", ""),
        ("x {a {b} c", "x {a {b} c"),  # unbalanced: whole text back
        ("}{a}", "{a}"),
        ("{a}}", "{a}"),
        ("{\"v\": \"}\"} tail", '{"v": "}'),  # braces in strings count
        ("```json\n{1}\n```\ntext\n```json\n{2}\n```", "{1}\n```\ntext\n```json\n{2}"),
        ("```json\n{1}\n```\u2003", "{1}"),
        ("```json {1}\u3000\u2028```", "{1}"),  # Unicode whitespace before the fence
        ("```json\n{1}\n``", "{1}"),  # no closing fence: brace walk
        ("````{1}```", "{1}"),
        ("```jsonx{1}```", "{1}"),
    ],
)
def test_extract(reply, expected):
    assert mw.extract_json_from_markdown(reply) == expected
    assert reference_extract(reply) == expected


def test_extract_returns_input_object_when_nothing_found():
    text = "plain " * 3
    assert mw.extract_json_from_markdown(text) is text


@pytest.mark.parametrize("bad", [b"{}", None, 1, ["{}"]])
@pytest.mark.parametrize("fn", ["extract_json_from_markdown", "_json_loads_relaxed"])
def test_text_must_be_str(fn, bad):
    with pytest.raises(TypeError) as info:
        getattr(mw, fn)(bad)
    assert str(info.value) == (
        f"Argument 'text' has incorrect type (expected str, got {type(bad).__name__})"
    )


@pytest.mark.parametrize("fn", ["extract_json_from_markdown", "_json_loads_relaxed"])
def test_argument_binding(fn):
    f = getattr(mw, fn)
    assert f(text='x {"a": 1} y') == f('x {"a": 1} y')
    assert f(**{"te" + "xt": "{}"}) == f("{}")  # a keyword name that is equal but not the same object
    for args, kwargs, message in [
        ((), {}, "missing required argument 'text'"),
        (("{}", "{}"), {}, "takes 1 positional arguments but 2 were given"),
        ((), {"txt": "{}"}, "unexpected keyword argument 'txt'"),
        (("{}",), {"text": "{}"}, "multiple values for argument 'text'"),
    ]:
        with pytest.raises(TypeError, match=message):
            f(*args, **kwargs)


def test_str_subclass_rejected():
    class S(str):
        pass

    with pytest.raises(TypeError, match="expected str, got S"):
        mw.extract_json_from_markdown(S("{}"))


ALPHABET = ["{", "}", "`", "```", "json", "JSON", " ", "\n", "\u2003", "a", '"', "\\", "\ud800", "\U0001f600", "}```"]


def test_seeded_random_matches_documented_algorithm():
    rng = random.Random(20240611)
    for _ in range(3000):
        text = "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 40)))
        assert mw.extract_json_from_markdown(text) == reference_extract(text), repr(text)
        try:
            value = mw._json_loads_relaxed(text)
        except (ValueError, TypeError):
            continue
        assert value is None or type(value) is dict


def test_seeded_random_relaxed_matches_python_version():
    def relaxed(text):
        try:
            obj = json.loads(text)
            if obj is None or type(obj) is dict:
                return obj
            raise TypeError
        except Exception:
            obj = json.loads(reference_extract(text))
            if obj is None or type(obj) is dict:
                return obj
            raise TypeError(f"Expected dict, got {type(obj).__name__}")

    rng = random.Random(7)
    pieces = ['{"a": 1}', "[", "]", "{", "}", ",", '"x"', "null", "1", "```json\n", "\n```", " ", "prose"]
    for _ in range(2000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 12)))
        try:
            want = ("ok", relaxed(text))
        except Exception as exc:
            want = ("err", type(exc), str(exc))
        try:
            got = ("ok", mw._json_loads_relaxed(text))
        except Exception as exc:
            got = ("err", type(exc), str(exc))
        assert got == want, repr(text)


def test_megabyte_reply():
    body = json.dumps({"model": "x" * 500_000, "data": "y" * 500_000})
    reply = "Sure.\n" + "prose " * 50_000 + "\n```json\n" + body + "\n```\n"
    assert mw.extract_json_from_markdown(reply) == body
    assert mw._json_loads_relaxed(reply)["data"] == "y" * 500_000


def test_many_opening_fences_stay_fast():
    # Openers after the last closing fence cannot match; the search must not
    # rescan the rest of the text from each of them.
    text = "{}```" + "```{" * 200_000
    assert mw.extract_json_from_markdown(text) == "{}"


@pytest.mark.parametrize("depth", [10_000, 200_000])
def test_deep_nesting(depth):
    text = "{" * depth + "}" * depth
    assert mw.extract_json_from_markdown(text) == text
    with pytest.raises(RecursionError):  # the decoder's own error, not a crash
        mw._json_loads_relaxed('{"a":' * depth + "1" + "}" * depth)


def test_lone_surrogates():
    text = '\ud800 {"k": "\udfff"} \udc00'
    assert mw.extract_json_from_markdown(text) == '{"k": "\udfff"}'
    assert mw._json_loads_relaxed(text) == {"k": "\udfff"}


# ---- _json_loads_relaxed --------------------------------------------------


@pytest.mark.parametrize(
    "reply, expected",
    [
        (OBJ, {"model": "m", "data": "d"}),
        ("null", None),
        ("  null  ", None),
        ("Reply:\n```json\n" + OBJ + "\n```", {"model": "m", "data": "d"}),
        ('[{"a": 1}, {"b": 2}]', {"a": 1}),
        ('{"a": NaN, "a": Infinity}', {"a": float("inf")}),
        ("text {\"a\": {\"b\": [1, 2]}} more", {"a": {"b": [1, 2]}}),
    ],
)
def test_relaxed_parses(reply, expected):
    assert mw._json_loads_relaxed(reply) == expected


def test_first_step_wins_without_extraction(monkeypatch):
    monkeypatch.setattr(mw, "extract_json_from_markdown", lambda text: pytest.fail("consulted"))
    assert mw._json_loads_relaxed(OBJ) == {"model": "m", "data": "d"}


@pytest.mark.parametrize(
    "reply, got",
    [("[1, 2]", "list"), ('"text"', "str"), ("3", "int"), ("2.5", "float"), ("true", "bool")],
)
def test_wrong_type_raises(reply, got):
    with pytest.raises(TypeError) as info:
        mw._json_loads_relaxed(reply)
    assert str(info.value) == f"Expected dict, got {got}"
    first = info.value.__context__
    assert type(first) is TypeError and str(first) == f"Expected dict, got {got}"
    assert info.value.__cause__ is None


def test_decoder_error_chains_to_first_failure():
    reply = "no json here"
    with pytest.raises(json.JSONDecodeError) as info:
        mw._json_loads_relaxed(reply)
    err = info.value
    assert err.msg == "Expecting value"

    def python_version(text):
        try:
            json.loads(text)
        except Exception:
            json.loads(text)

    with pytest.raises(json.JSONDecodeError) as twin:
        python_version(reply)
    # json raises "Expecting value" inside its own handler, so the chain runs
    # through a StopIteration to the first attempt's error.
    assert chain_types(err) == chain_types(twin.value)
    assert chain_types(err)[:2] == [StopIteration, json.JSONDecodeError]


def chain_types(exc):
    types = []
    e = exc.__context__
    while e is not None:
        types.append(type(e))
        e = e.__context__
    return types


def test_decoder_error_direct_context():
    reply = '{"a": 1} {"b": 2} trailing'  # step 1: Extra data; step 2: cut-out parses
    assert mw._json_loads_relaxed(reply) == {"a": 1}
    with pytest.raises(json.JSONDecodeError) as info:
        mw._json_loads_relaxed('```json\n{"a": 1}\n```\n```json\n{"b": 2}\n```')
    first = info.value.__context__
    assert isinstance(first, json.JSONDecodeError)
    assert first.msg == "Expecting value"


def test_escaped_object_in_string_fails():
    with pytest.raises(json.JSONDecodeError):
        mw._json_loads_relaxed(json.dumps('{"a": "b"}'))


def test_json_attribute_read_at_call_time(monkeypatch):
    class FakeJson:
        @staticmethod
        def loads(text):
            return {"fake": text}

    monkeypatch.setattr(mw, "json", FakeJson)
    assert mw._json_loads_relaxed("anything") == {"fake": "anything"}


def test_extraction_goes_through_module(monkeypatch):
    monkeypatch.setattr(mw, "extract_json_from_markdown", lambda text: '{"patched": true}')
    assert mw._json_loads_relaxed("not json") == {"patched": True}


def test_interrupt_in_first_parse_propagates(monkeypatch):
    class FakeJson:
        @staticmethod
        def loads(text):
            raise KeyboardInterrupt

    monkeypatch.setattr(mw, "json", FakeJson)
    with pytest.raises(KeyboardInterrupt):
        mw._json_loads_relaxed("{}")
