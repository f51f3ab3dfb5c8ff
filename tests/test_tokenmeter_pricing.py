"""Price-list reading: table rows, header units, plain lines, the cache and unreadable sources."""

import logging
import random

import pytest
from hypothesis import given, settings, strategies as st

from tavro import tokenmeter
from tokenmeter_twin import twin


@pytest.fixture(autouse=True)
def fresh_cache():
    tokenmeter.clear_pricing_cache()
    yield
    tokenmeter.clear_pricing_cache()


def native_parse(tmp_path, text, name="list.md"):
    path = tmp_path / name
    path.write_text(text, encoding="utf8", newline="")
    return tokenmeter._parse_pricing(str(path))


def rates(p, c):
    return {"prompt_per_1M": p, "completion_per_1M": c}


K_HEADER = "| Model | Prompt ($ per 1K tokens) | Completion ($ per 1K tokens) |\n|---|---|---|\n"
M_HEADER = "| Model | Prompt ($ per 1M tokens) | Completion ($ per 1M tokens) |\n|---|---|---|\n"
BARE_HEADER = "| Model | Prompt | Completion |\n|---|---|---|\n"

CASES = [
    (K_HEADER + "| gpt-x | 0.0015 | 0.002 |", {"gpt-x": rates(1.5, 2.0)}),
    (M_HEADER + "| gpt-x | 0.0015 | 0.002 |", {"gpt-x": rates(0.0015, 0.002)}),
    (BARE_HEADER + "| gpt-x | 0.0015 | 0.002 |", {"gpt-x": rates(0.0015, 0.002)}),
    (M_HEADER + "| a | $0.03 / 1K tokens | 1 |", {"a": rates(30.0, 1.0)}),
    ("| a | 1,000 | x |", {"a": rates(1000.0, None)}),
    (K_HEADER + "| a | 1,000 | N/A |", {"a": rates(1000000.0, None)}),
    ("| a | N/A | - |\n| b |  | 2 |", {"b": rates(None, 2.0)}),
    ("| --- | :---: | ---: |\n| -- | -- | -- |", {}),
    ("| a | 1 |", {}),
    ("gpt-4o: prompt $2.50 / 1M tokens, completion $10.00 / 1M tokens", {"gpt-4o": rates(2.5, 10.0)}),
    ("claude-3-haiku - Prompt: $0.25, Completion: $1.25", {"claude-3-haiku": rates(0.25, 1.25)}),
    ("gpt-4o-mini prompt $0.15", {"gpt-4o": rates(0.15, None)}),
    ("# gpt: prompt $1\n\nNote: prices change often", {}),
    ("m: Prompt: 0.25, Completion: 1.25", {"m": rates(5.0, 5.0)}),
    ("m: prompt 0.5 per 1M", {"m": rates(1.0, None)}),
    ("| Model | Input $/1M | Output $/1M |", {"model": rates(1.0, 1.0)}),
    ("| A | 1 | 2 |\n| b | 3 | 4 |\n| a | 5 | 6 |", {"a": rates(5.0, 6.0), "b": rates(3.0, 4.0)}),
    (K_HEADER + "| a | 1 | 1 |\n| model | prompt | x |\n| b | 1 | 1 |",
     {"a": rates(1000.0, 1000.0), "b": rates(1.0, 1.0)}),
    ("| a | per 1k | $2 per 1m |", {"a": rates(1000.0, 2.0)}),
    ("| a | 3/1Kb | ,.5 |", {"a": rates(3.0, 0.5)}),
    ("| ÄB | ٣ | 1 |", {"äb": rates(3.0, 1.0)}),
    ("x: COMPLETİON $7", {"x": rates(None, 7.0)}),
]

BOUNDARIES = ["\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]


class TestRules:
    """One set of cases for the native reader and its pure-Python twin."""

    @pytest.fixture(params=["native", "python"])
    def parse(self, request, tmp_path):
        if request.param == "python":
            return twin.parse_pricing_text
        return lambda text: native_parse(tmp_path, text)

    @pytest.mark.parametrize("text, expected", CASES)
    def test_cases(self, parse, text, expected):
        table = parse(text)
        assert table == expected
        assert list(table) == list(expected)
        for entry in table.values():
            assert list(entry) == ["prompt_per_1M", "completion_per_1M"]

    @pytest.mark.parametrize("boundary", BOUNDARIES)
    def test_every_line_boundary(self, parse, boundary):
        text = boundary.join(["| model | prompt 1k | completion |", "| a | 2 | 3 |", "b: prompt $4"])
        assert parse(text) == {"a": rates(2000.0, 3.0), "b": rates(4.0, None)}

    def test_key_keeps_first_position(self, parse):
        assert list(parse("| a | 1 | 1 |\n| b | 1 | 1 |\na: prompt $9")) == ["a", "b"]


TOKENS = ["|", " | ", "-", "---", ":", "$", ",", ".", "1", "0", "7", "٣", " ", "\t", "\u00a0", "\n", "\r\n",
          "\x85", "\u2028", "prompt", "Completion", "COMPLETİON", "model", "per 1k", "/1M", "/ 1 K", "K", "m",
          "\u212a", "ſ", "#", "_", "@", "/", "gpt-4o", "x", "é", "İ", "Ⅰ", "N/A", "\U0001F600"]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=80))
def test_native_agrees_with_python_reader(tmp_path_factory, tokens):
    text = "".join(tokens)
    path = tmp_path_factory.mktemp("fuzz") / "list.md"
    path.write_text(text, encoding="utf8", newline="")
    tokenmeter.clear_pricing_cache()
    native = tokenmeter._parse_pricing(str(path))
    python = twin.parse_pricing_file(str(path))
    assert native == python and list(native) == list(python)


def test_random_documents_never_fail(tmp_path):
    rng = random.Random(20261208)
    alphabet = "|$,.-: \t\n\r1234567890kKmM/perompticnlPROMPTCOMPLETION#\u2028\x85٣é"
    for i in range(300):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 400)))
        table = native_parse(tmp_path, text, f"r{i}.md")
        for key, entry in table.items():
            assert isinstance(key, str)
            assert any(isinstance(v, float) for v in entry.values())
            assert all(v is None or isinstance(v, float) for v in entry.values())


@pytest.mark.parametrize("content", [bytes(range(256)) * 4, b"\x00\x01\xff" * 1000, random.Random(7).randbytes(20000)])
def test_binary_source_is_unreadable(tmp_path, caplog, content):
    path = tmp_path / "blob.bin"
    path.write_bytes(content)
    with caplog.at_level(logging.WARNING, logger="tavro.tokenmeter"):
        assert tokenmeter._parse_pricing(str(path)) == {}
    assert len(caplog.records) == 1


@pytest.mark.parametrize("line", [
    "| a | " + "," * 1_000_000 + " | " + "1," * 300_000 + " |",
    "m: " + "prompt" * 200_000,
    "m: prompt" + "," * 1_000_000 + "completion" + "9," * 200_000,
    "m: prompt" + " " * 1_000_000 + "$" + "1" * 1000,
    "| a | " + "/ " * 500_000 + " | per " + " " * 500_000 + "1k |",
])
def test_megabyte_lines_stay_linear(tmp_path, line):
    # Python's re needs minutes on these; the native reader reads them at once.
    table = native_parse(tmp_path, line)
    for entry in table.values():
        assert any(isinstance(v, float) for v in entry.values())


def test_fifty_megabyte_document(tmp_path):
    rows = "".join(f"| model-{i} | ${i}.5 | $1 / 1K |\n" for i in range(10000))
    text = rows * (50_000_000 // len(rows) + 1)
    table = native_parse(tmp_path, text)
    assert len(table) == 10000
    assert table["model-9999"] == rates(9999.5, 1000.0)


def test_real_price_list(data_dir):
    table = tokenmeter._parse_pricing(str(data_dir / "pricing_table.md"))
    # Read off the file: gpt-4o costs $2.5 and $10 per 1M; the dall-e rows say "--".
    assert table["gpt-4o"] == rates(2.5, 10.0)
    assert table["gpt-4o-mini"] == rates(0.15, 0.6)
    assert "256-x-256/dall-e-2" not in table
    assert len(table) == 1468
    assert next(iter(table)) == "gpt-4"


def test_cache_returns_same_object_and_clears(data_dir):
    path = str(data_dir / "pricing_table.md")
    first = tokenmeter._parse_pricing(path)
    assert tokenmeter._parse_pricing(path) is first
    assert tokenmeter.clear_pricing_cache() is None
    assert tokenmeter._parse_pricing(path) is not first


def test_cache_keeps_eight_sources(tmp_path):
    paths = []
    for i in range(9):
        paths.append(str(tmp_path / f"{i}.md"))
        (tmp_path / f"{i}.md").write_text(f"m{i}: prompt ${i}", encoding="utf8")
    tables = [tokenmeter._parse_pricing(p) for p in paths]
    assert tokenmeter._parse_pricing(paths[8]) is tables[8]
    assert tokenmeter._parse_pricing(paths[0]) is not tables[0]


def test_unreadable_source_warns_once_and_caches_empty_table(tmp_path, caplog):
    missing = str(tmp_path / "missing.md")
    with caplog.at_level(logging.DEBUG, logger="tavro.tokenmeter"):
        table = tokenmeter._parse_pricing(missing)
        assert table == {}
        assert tokenmeter._parse_pricing(missing) is table
    (record,) = caplog.records
    assert record.levelno == logging.WARNING and record.name == "tavro.tokenmeter"
    assert record.msg == "Failed to load pricing from %s: %s"
    assert record.args[0] == missing and isinstance(record.args[1], FileNotFoundError)
    (tmp_path / "missing.md").write_text("a: prompt $1", encoding="utf8")
    assert tokenmeter._parse_pricing(missing) is table  # cached until cleared
    tokenmeter.clear_pricing_cache()
    assert tokenmeter._parse_pricing(missing) == {"a": rates(1.0, None)}


@pytest.mark.parametrize("value, got", [(5, "int"), (None, "NoneType"), (b"x", "bytes"), (["x"], "list"),
                                        ({}, "dict")])
def test_path_must_be_str(value, got):
    with pytest.raises(TypeError) as info:
        tokenmeter._parse_pricing(value)
    assert str(info.value) == f"Argument 'path' has incorrect type (expected str, got {got})"
    assert tokenmeter._parse_pricing.cache_info().currsize == 0
