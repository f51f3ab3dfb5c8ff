"""Grammar references and the two text readers of tavro.modelwright."""

import builtins
import io
import os
import pathlib
from enum import Enum

import pytest

from tavro import modelwright as mw

PACKAGE = pathlib.Path(mw.__file__).resolve().parent


def installed(name):
    return (PACKAGE / "grammars" / name).read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "reader, name",
    [(mw._read_tavro_grammar, "Tavro grammar.md"), (mw._read_tavro_GBNF, "Tavro_GBNF")],
)
def test_resource_readers_return_installed_files(reader, name):
    text = reader()
    assert text == installed(name)
    assert text


def test_code_reference_is_tavro_core_source():
    path = os.path.join(os.path.dirname(mw.__file__), "tavro_core.py")
    with open(path) as f:
        expected = f.read()
    assert mw._read_tavro_code() == expected
    assert mw._get_grammar_implementation(mw.Grammar.CODE) == expected


def test_bnf_reference_is_the_markdown_grammar():
    assert mw._get_grammar_implementation(mw.Grammar.BNF) == installed("Tavro grammar.md")


def resource_tree(tmp_path, grammar="G", gbnf="B"):
    folder = tmp_path / "grammars"
    folder.mkdir()
    (folder / "Tavro grammar.md").write_bytes(grammar.encode("utf-8"))
    (folder / "Tavro_GBNF").write_bytes(gbnf.encode("utf-8"))
    return folder


def test_resources_come_through_module_files(monkeypatch, tmp_path):
    resource_tree(tmp_path, "r\u00e9gle\r\nline", "root ::= x")
    calls = []

    def fake_files(package):
        calls.append(package)
        return tmp_path

    monkeypatch.setattr(mw, "files", fake_files)
    assert mw._read_tavro_grammar() == "r\u00e9gle\nline"  # UTF-8, text-mode newlines
    assert mw._read_tavro_GBNF() == "root ::= x"
    assert calls == ["tavro", "tavro"]


def test_no_caching_between_calls(monkeypatch, tmp_path):
    folder = resource_tree(tmp_path, "first")
    monkeypatch.setattr(mw, "files", lambda package: tmp_path)
    assert mw._get_grammar_implementation(mw.Grammar.BNF) == "first"
    (folder / "Tavro grammar.md").write_text("second", encoding="utf-8")
    assert mw._get_grammar_implementation(mw.Grammar.BNF) == "second"


def test_invalid_utf8_resource_raises_decode_error(monkeypatch, tmp_path):
    folder = resource_tree(tmp_path)
    (folder / "Tavro grammar.md").write_bytes(b"\xff\xfe bad")
    monkeypatch.setattr(mw, "files", lambda package: tmp_path)
    with pytest.raises(UnicodeDecodeError):
        mw._get_grammar_implementation(mw.Grammar.BNF)


def test_missing_resource_raises_file_error(monkeypatch, tmp_path):
    monkeypatch.setattr(mw, "files", lambda package: tmp_path)
    with pytest.raises(FileNotFoundError):
        mw._get_grammar_implementation(mw.Grammar.BNF)
    # NONE reads nothing, so it works without any grammars folder.
    assert mw._get_grammar_implementation(mw.Grammar.NONE) == ""


def test_dispatch_goes_through_module_attributes(monkeypatch):
    monkeypatch.setattr(mw, "_read_tavro_grammar", lambda: "patched grammar")
    monkeypatch.setattr(mw, "_read_tavro_code", lambda: "patched code")
    assert mw._get_grammar_implementation(mw.Grammar.BNF) == "patched grammar"
    assert mw._get_grammar_implementation(mw.Grammar.CODE) == "patched code"


def test_code_reference_reads_through_module_read_file(monkeypatch):
    seen = []

    def fake_read_file(path):
        seen.append(path)
        return "source"

    monkeypatch.setattr(mw, "_read_file", fake_read_file)
    assert mw._read_tavro_code() == "source"
    assert seen == [os.path.join(os.path.dirname(mw.__file__), "tavro_core.py")]


def test_code_reference_follows_module_file(monkeypatch, tmp_path):
    (tmp_path / "tavro_core.py").write_text("# elsewhere\n")
    monkeypatch.setattr(mw, "__file__", str(tmp_path / "modelwright.so"))
    assert mw._read_tavro_code() == "# elsewhere\n"


class Other(Enum):
    BNF = 2


class Matches:
    """Equal to Grammar.CODE only: equality decides, not identity."""

    def __eq__(self, other):
        return other is mw.Grammar.CODE

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "mode, shown",
    [("BNF", "BNF"), (2, "2"), (None, "None"), (Other.BNF, "Other.BNF"), ("", "")],
)
def test_invalid_mode(mode, shown):
    with pytest.raises(ValueError) as info:
        mw._get_grammar_implementation(mode)
    assert str(info.value) == "Invalid mode: " + shown
    assert type(info.value) is ValueError


def test_mode_is_compared_by_equality(monkeypatch):
    monkeypatch.setattr(mw, "_read_tavro_code", lambda: "code")
    assert mw._get_grammar_implementation(Matches()) == "code"


def test_wrong_reader_result_type_is_rejected(monkeypatch):
    monkeypatch.setattr(mw, "_read_tavro_grammar", lambda: 42)
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        mw._get_grammar_implementation(mw.Grammar.BNF)


# ---- _read_file ----------------------------------------------------------


def test_read_file_reads_text(tmp_path):
    path = tmp_path / "f.txt"
    path.write_bytes(b"a\r\nb\n")
    assert mw._read_file(str(path)) == "a\nb\n"


@pytest.mark.parametrize("bad", [pathlib.Path("x"), b"x", None, 1])
def test_read_file_requires_str(bad):
    with pytest.raises(TypeError) as info:
        mw._read_file(bad)
    assert str(info.value) == (
        f"Argument 'path' has incorrect type (expected str, got {type(bad).__name__})"
    )


def test_read_file_missing(tmp_path):
    with pytest.raises(FileNotFoundError):
        mw._read_file(str(tmp_path / "missing"))


def test_read_file_uses_builtin_open_in_text_mode(monkeypatch):
    calls = []

    class Handle(io.StringIO):
        def __exit__(self, *exc):
            calls.append("closed")
            return super().__exit__(*exc)

    def fake_open(*args, **kwargs):
        calls.append((args, kwargs))
        return Handle("content")

    monkeypatch.setattr(builtins, "open", fake_open)
    assert mw._read_file("some/path") == "content"
    assert calls == [(("some/path", "r"), {}), "closed"]


def test_read_file_closes_on_read_error(monkeypatch):
    closed = []

    class Failing(io.StringIO):
        def read(self, *args):
            raise OSError("disk gone")

        def __exit__(self, *exc):
            closed.append(exc[0])
            return False

    monkeypatch.setattr(builtins, "open", lambda *a: Failing())
    with pytest.raises(OSError, match="disk gone"):
        mw._read_file("p")
    assert closed == [OSError]


# ---- _safe_read_text -----------------------------------------------------


@pytest.mark.parametrize(
    "content, limit, expected",
    [
        (b"abcdefghij", 4, "abcd"),
        (b"  abcdefgh", 4, "ab"),  # truncation first, then strip
        (b"  abc  \n", 2147483647, "abc"),
        (b"ab\xffcd", 10, "abcd"),  # undecodable bytes dropped
        (b"\xc3\xa9t\xc3\xa9", 2, "\u00e9t"),  # limit counts characters
        (b"abc", 0, ""),
        (b"abcdef", -2, "abcd"),  # a negative limit slices like Python
        (b"abc", 10**30, "abc"),
    ],
)
def test_safe_read_text(tmp_path, content, limit, expected):
    path = tmp_path / "f.txt"
    path.write_bytes(content)
    assert mw._safe_read_text(path, limit) == expected
    assert mw._safe_read_text(path=path, max_chars=limit) == expected


@pytest.mark.parametrize("path", ["plain string", None, 3])
def test_safe_read_text_without_read_text(path):
    assert mw._safe_read_text(path) == ""


def test_safe_read_text_missing_and_folder(tmp_path):
    assert mw._safe_read_text(tmp_path / "missing.txt") == ""
    assert mw._safe_read_text(tmp_path) == ""


@pytest.mark.parametrize("limit", [True, 4.0, "4", None])
def test_safe_read_text_limit_type(tmp_path, limit):
    with pytest.raises(TypeError) as info:
        mw._safe_read_text(tmp_path, limit)
    assert str(info.value) == (
        f"Argument 'max_chars' has incorrect type (expected int, got {type(limit).__name__})"
    )


class FakePath:
    def __init__(self, result):
        self.result = result
        self.kwargs = None

    def read_text(self, **kwargs):
        self.kwargs = kwargs
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def test_safe_read_text_decoding_options():
    fake = FakePath("  x  ")
    assert mw._safe_read_text(fake) == "x"
    assert fake.kwargs == {"encoding": "utf-8", "errors": "ignore"}


@pytest.mark.parametrize("result", [ValueError("no"), PermissionError("denied"), 5, b"bytes  "])
def test_safe_read_text_never_raises(result):
    assert mw._safe_read_text(FakePath(result)) == ""


def test_safe_read_text_lets_interrupts_through():
    with pytest.raises(KeyboardInterrupt):
        mw._safe_read_text(FakePath(KeyboardInterrupt()))
