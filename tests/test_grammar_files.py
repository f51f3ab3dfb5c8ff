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
DATA_FILES = sorted(glob.glob(os.path.join(os.path.dirname(tavro.__file__), "kelm_models*", "*", "*.dat")))
# The tables the reference's binding example reads.
TABLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "grammar_tables")


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
    tree = KelmCompiler().compile_model(model, data, data_dir=TABLES)
    assert tree["declarations"]


def test_reference_shows_each_binding_shape():
    data = "".join(d for _, d in examples() if "csv(" in d)
    for form in ('csv("sites.csv", "site");', '"from", "to", "km");', '-> "capacity");', "symmetric diagonal 0;",
                 '["need"];'):
        assert form in data


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


def recognises(rules, text, start="root"):
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
        return len(text) in rule(start, 0)
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


@pytest.mark.parametrize("path", DATA_FILES, ids=[os.path.basename(p) for p in DATA_FILES])
def test_gbnf_data_root_accepts_library_data(gbnf, path):
    with open(path, encoding="utf-8") as f:
        assert recognises(gbnf, f.read(), "data-root")


@pytest.mark.parametrize("data", [d for _, d in examples()] + [
    'a = [1, -2.5e3, infinity,];\nb = #["x": <1, "y">, <2, "z">: {1}]#;\ns = {};',
    'c = csv("t.csv", "a", "b" -> -1)["k"]default"x";',
    'c = csv ( "t.csv" , "a" -> "v" ) [ 2 ] symmetric default -infinity diagonal 0 ;',
])
def test_gbnf_data_root_accepts(gbnf, data):
    assert recognises(gbnf, data, "data-root")


@pytest.mark.parametrize("data", [
    'c = csv("t.csv");',                      # no column
    'c = csv("t.csv", a -> "v");',            # a column name is a string
    'c = csv("t.csv", "a" -> "v") symmetricdefault 0;',
    'c = csv("t.csv", "a" -> "v") default 0symmetric;',
    'c = csv("t.csv", "a" -> "v") sorted;',
    "a = [1, 2]",
    "a = x;",
])
def test_gbnf_data_root_rejects(gbnf, data):
    assert not recognises(gbnf, data, "data-root")


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


@pytest.mark.parametrize("model,accepted", [
    ("dvar float x;\nminimizex;", False),
    ("dvar float x;\nminimize-x;", True),
    ("dvar float x;\nminimize(x);", True),
    ("dvar float x in-5..5;\nminimize x;", True),
    ("dvar float x in5..5;\nminimize x;", False),
    ("dvar float x[1..2]in 0..1;\nminimize x[1];", True),
    ("range I = 1..2;\ndvar float x[I];\nminimize sum(i in(I)) x[i];", True),
    ("range I = 1..2;\ndvar float x[I];\nminimize sum(i inI) x[i];", False),
    ("int n = 7 mod 2;\ndvar float x;\nminimize x;", True),
    ("int n = 7 mod(2);\ndvar float x;\nminimize x;", True),
    ("int n = 7 %2;\ndvar float x;\nminimize x;", False),
    ("dvar boolean b;\ndvar float x in 0..5;\nminimize x;\nsubject to { b == 1 => x <= 1; }", True),
    ("dvar boolean b;\ndvar float x;\nminimize x;\nsubject to { b == 2 => x <= 1; }", False),
    ("dvar boolean b;\ndvar float x;\nminimize x;\nsubject to { b == 1 => 0 <= x <= 1; }", False),
])
def test_gbnf_keyword_boundaries_and_additions(gbnf, model, accepted):
    assert recognises(gbnf, model) == accepted
    try:
        KelmCompiler().compile_model(model, "")
        compiled = True
    except SemanticError:
        compiled = False
    assert compiled == accepted, "the compiler and the GBNF disagree"


def suite_examples():
    """Every model the compiler tests use, with its data: (id, model, data)."""
    import test_compiler
    import test_compiler_additions as additions
    out = [("valid " + k, *v) for k, v in test_compiler.VALID_MODELS.items()]
    out += [("new " + k, *v[:2]) for k, v in additions.NEW_MODELS.items()]
    out += [("fault " + f[0], f[1], f[2]) for f in test_compiler.FAULTS]
    out += [("message " + m[0], m[1], m[2]) for m in additions.MESSAGES]
    return [x for x in out if len(x[1]) < 2000]


# Messages of the parser: a model that gets one is not in the grammar.
SYNTAX = re.compile(r"^model:\d+:\d+: (.* expected near |unexpected character|unterminated|the language has no 'if'"
                    r"|'=>' follows|the right of '=>'|a label names one|a constraint has at most two|"
                    r"arrays of sets|a decision variable has no value|a range takes its bounds|only a declared array"
                    r"|',' in an index|nesting too deep|expression too long|named indices \[|unknown function"
                    r"|no filter in a declaration's index|one index per pair of brackets|a computed array names every"
                    r"|the model and data files look swapped|this holds data)")


@pytest.mark.parametrize("name,model,data", suite_examples(), ids=[x[0] for x in suite_examples()])
def test_gbnf_agrees_with_the_compiler_on_every_suite_example(gbnf, name, model, data):
    try:
        KelmCompiler().compile_model(model, data)
        message = None
    except SemanticError as exc:
        message = str(exc)
    # Beyond a context-free grammar: reserved words as names, and a misspelt
    # keyword where a tuple type's name may stand ('flaot c = 1;').
    beyond = message and re.search(r"reserved word|declaration expected near '[A-Za-z_]", message)
    if beyond:
        pytest.skip("the GBNF cannot tell: " + message)
    if message is None or not SYNTAX.match(message):
        assert recognises(gbnf, model), f"the compiler parses it, the GBNF rejects it ({message})"
    else:
        assert not recognises(gbnf, model), f"the GBNF accepts a syntax error: {message}"


def reserved_words():
    line = re.search(r"Reserved words: (.*?)\.\n", read("Tavro grammar.md"), re.S).group(1)
    return line.split()


def test_reference_lists_the_reserved_words_of_the_compiler():
    words = reserved_words()
    assert "to" not in words and {"mod", "infinity"} <= set(words)
    for word in words:
        with pytest.raises(SemanticError, match=f"'{word}' is a reserved word"):
            KelmCompiler().compile_model(f"float {word} = 1;\ndvar float x;\nminimize x;", "")
    # 'to' is special only after 'subject'; elsewhere an ordinary name
    KelmCompiler().compile_model("float to = 1;\ndvar float x;\nminimize x;\nsubject to { x >= to; }", "")


def test_syntax_sheet_is_a_compiled_example_within_the_token_budget():
    from tavro import tokenmeter
    sheet, data = examples()[0]
    assert sheet.startswith("tuple Arc") and "=>" in sheet and " mod " in sheet and "[a in Arcs]" in sheet
    KelmCompiler().compile_model(sheet, data)
    # 2,000 in all, shared with the data bindings' section (the language's part is about 1,750).
    assert tokenmeter._approx_token_count(read("Tavro grammar.md")) <= 2000
