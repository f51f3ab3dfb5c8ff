"""The grammar references: the examples of 'Tavro grammar.md' compile, and
'Tavro_GBNF' is a well-formed GBNF grammar that accepts the valid models."""

import functools
import glob
import os
import re
import sys

import pytest

import tavro
from tavro.tavro_core import KelmCompiler, SemanticError

GRAMMARS = os.path.join(os.path.dirname(tavro.__file__), "grammars")
MODELS = sorted(glob.glob(os.path.join(os.path.dirname(tavro.__file__), "kelm_models", "*", "*.mod")))


def read(name):
    with open(os.path.join(GRAMMARS, name), encoding="utf-8") as f:
        return f.read()


def examples():
    """(model, data) pairs: each ```tavro block with the ```dat block after it."""
    blocks = re.findall(r"```(tavro|dat)\n(.*?)```", read("Tavro grammar.md"), re.S)
    pairs = []
    for (kind, text), (next_kind, data) in zip(blocks, blocks[1:] + [("", "")]):
        if kind == "tavro":
            assert next_kind == "dat", "a model example without its data"
            pairs.append((text, data))
    return pairs


def test_reference_has_examples_and_stays_small():
    text = read("Tavro grammar.md")
    assert len(examples()) >= 3
    assert len(text) / 4 < 2500


@pytest.mark.parametrize("model,data", examples())
def test_reference_examples_compile(model, data):
    tree = KelmCompiler().compile_model(model, data)
    assert tree["declarations"]


def test_prompt_example_compiles():
    model = "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }"
    tree = KelmCompiler().compile_model(model, "a = 10;\nb= 5;")
    assert [d["type"] for d in tree["declarations"]] == ["param", "param", "dvar", "objective", "constraints"]
    assert (model, "a = 10;\nb= 5;") in [(m.strip(), d.strip()) for m, d in examples()]


def test_prompt_example_error_format():
    with pytest.raises(SemanticError, match=r"^model:\d+:\d+: "):
        KelmCompiler().compile_model("float a\nminimize a;", "a = 1;")


# --- a small GBNF reader and recogniser -------------------------------------

TOKEN = re.compile(r"""
    (?P<ws>\s+|\#[^\n]*)
  | (?P<define>::=)
  | (?P<name>[A-Za-z][A-Za-z0-9-]*)
  | (?P<lit>"(?:\\.|[^"\\])*")
  | (?P<cls>\[(?:\\.|[^\]\\])*\])
  | (?P<op>[()|*+?])
""", re.X)


# The escapes llama.cpp's GBNF reader knows; any other one fails to load there.
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "[": "[", "]": "]"}


def unescape(s):
    def one(m):
        if m.group(1):
            return chr(int(m.group(1), 16))
        assert m.group(2) in ESCAPES, f"escape {m.group(0)!r} is not GBNF"
        return ESCAPES[m.group(2)]

    return re.sub(r"\\x([0-9A-Fa-f]{2})|\\(.)", one, s)


def char_class(body):
    neg = body.startswith("^")
    body = body[1:] if neg else body
    items, k = [], 0
    chars = []
    while k < len(body):
        if body[k] == "\\":
            width = 4 if body[k + 1] == "x" else 2
            chars.append(unescape(body[k:k + width]))
            k += width
        else:
            chars.append(body[k])
            k += 1
    k = 0
    while k < len(chars):
        if k + 2 < len(chars) and chars[k + 1] == "-":
            items.append((chars[k], chars[k + 2]))
            k += 3
        else:
            items.append((chars[k], chars[k]))
            k += 1
    return neg, items


def parse_gbnf(text):
    """Rules as {name: alternatives}; an alternative is a list of items
    ('lit', s) | ('cls', neg, ranges) | ('ref', name) | ('group', alts, quant)."""
    toks = []
    pos = 0
    while pos < len(text):
        m = TOKEN.match(text, pos)
        assert m, f"bad GBNF near {text[pos:pos + 20]!r}"
        pos = m.end()
        if m.lastgroup != "ws":
            toks.append((m.lastgroup, m.group()))
    rules, k = {}, 0

    def alts(stop):
        nonlocal k
        out = [[]]
        while k < len(toks):
            kind, v = toks[k]
            if kind == "name" and k + 1 < len(toks) and toks[k + 1][0] == "define":
                break
            if kind == "op" and v in stop:
                break
            k += 1
            if kind == "op" and v == "|":
                out.append([])
                continue
            if kind == "lit":
                item = ("lit", unescape(v[1:-1]))
            elif kind == "cls":
                item = ("cls",) + char_class(v[1:-1])
            elif kind == "name":
                item = ("ref", v)
            elif v == "(":
                inner = alts(")")
                assert toks[k] == ("op", ")")
                k += 1
                item = ("group", inner, "")
            else:
                raise AssertionError(f"unexpected {v!r}")
            if k < len(toks) and toks[k][0] == "op" and toks[k][1] in "*+?":
                item = ("group", [[item]], toks[k][1])
                k += 1
            out[-1].append(item)
        return out

    while k < len(toks):
        kind, name = toks[k]
        assert kind == "name" and toks[k + 1][0] == "define", f"rule expected near {name!r}"
        k += 2
        assert name not in rules, f"rule {name} defined twice"
        rules[name] = alts(())
    return rules


def references(rules):
    seen = set()

    def walk(alts):
        for alt in alts:
            for item in alt:
                if item[0] == "ref":
                    seen.add(item[1])
                elif item[0] == "group":
                    walk(item[1])

    for alts in rules.values():
        walk(alts)
    return seen


def recognises(rules, text):
    """Full-match test by memoised set-of-end-positions over characters."""
    @functools.lru_cache(maxsize=None)
    def rule(name, i):
        return alts_end(id(rules[name]), i)

    groups = {}

    def register(alts):
        groups[id(alts)] = alts
        for alt in alts:
            for item in alt:
                if item[0] == "group":
                    register(item[1])

    for alts in rules.values():
        register(alts)

    @functools.lru_cache(maxsize=None)
    def alts_end(key, i):
        ends = set()
        for alt in groups[key]:
            cur = {i}
            for item in alt:
                cur = set().union(*(item_end(item, j) for j in cur)) if cur else set()
                if not cur:
                    break
            ends |= cur
        return frozenset(ends)

    def item_end(item, i):
        kind = item[0]
        if kind == "lit":
            return {i + len(item[1])} if text.startswith(item[1], i) else set()
        if kind == "cls":
            if i >= len(text):
                return set()
            c = text[i]
            hit = any(lo <= c <= hi for lo, hi in item[2])
            return {i + 1} if hit != item[1] else set()
        if kind == "ref":
            return rule(item[1], i)
        return group_end(id(item[1]), item[2], i)

    @functools.lru_cache(maxsize=None)
    def group_end(key, quant, i):
        once = alts_end(key, i)
        if quant == "":
            return once
        if quant == "?":
            return once | {i}
        seen, todo = set(), set(once)
        while todo:
            j = todo.pop()
            if j in seen:
                continue
            seen.add(j)
            todo |= alts_end(key, j) - seen
        return frozenset(seen | ({i} if quant == "*" else set()))

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(max(old, 20000))
    try:
        return len(text) in rule("root", 0)
    finally:
        sys.setrecursionlimit(old)


@pytest.fixture(scope="module")
def gbnf():
    return parse_gbnf(read("Tavro_GBNF"))


def test_gbnf_is_complete(gbnf):
    assert "root" in gbnf
    assert references(gbnf) <= set(gbnf), references(gbnf) - set(gbnf)


@pytest.mark.parametrize("model", [m for m, _ in examples()])
def test_gbnf_accepts_reference_models(gbnf, model):
    assert recognises(gbnf, model)


@pytest.mark.parametrize("path", MODELS, ids=[os.path.basename(os.path.dirname(p)) for p in MODELS])
def test_gbnf_accepts_library_models(gbnf, path):
    with open(path, encoding="utf-8") as f:
        assert recognises(gbnf, f.read())


@pytest.mark.parametrize("model", [
    "float a\ndvar float x;\nminimize x;",           # missing ';'
    "dvar float x;\nminimize x;\nsubject to { x => 0; }",
    "var float x; minimize x;",
    "dvar float x; minimize x; /* open comment",
    'string s = "no end;\ndvar float x; minimize x;',
])
def test_gbnf_rejects_broken_models(gbnf, model):
    assert not recognises(gbnf, model)


def test_compiled_model_example_from_the_docs():
    model = ('tuple Arc { string src; string dst; float cap; }\n{Arc} Arcs = ...;\nrange T = 1..2;\n'
             'dvar float+ flow[Arcs][T] in 0..10;\nmaximize Flow: sum(a in Arcs, t in T) flow[a][t];\n'
             'subject to { forall(a in Arcs) Cap: flow[a][1] <= a.cap; }')
    tree = KelmCompiler().compile_model(model, 'Arcs = {<"A", "B", 1>};')
    assert list(tree) == ["declarations", "data"]
    assert tree["data"] == {"Arcs": [{"src": "A", "dst": "B", "cap": 1.0}], "T": {"low": 1, "high": 2}}
    forall = tree["declarations"][-1]["constraints"][0]
    assert forall["type"] == "forall" and forall["constraints"][0]["right"] == {
        "type": "field", "base": {"type": "name", "name": "a"}, "field": "cap"}
