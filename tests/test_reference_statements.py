"""Every statement of the two references an LLM reads (the BNF-mode
'Tavro grammar.md' and the CODE-mode docstring of tavro.tavro_core) is an
example that compiles with its data in the three ways the package reads a
model (compile_model, the engine from the texts, the engine from the
compiled tree) and that the GBNF accepts; every 'not:' form it shows is
refused, at its own line."""
import os
import re
import textwrap

import pytest

import tavro
from tavro import _kelm
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler
from test_grammar_files import TABLES, examples, parse_gbnf, read, recognises

CORE = os.path.join(os.path.dirname(tavro.__file__), "tavro_core.py")


def core_text():
    with open(CORE, encoding="utf-8") as f:
        return f.read()


def core_examples():
    """(model, data) pairs of the CODE text: an indented 'X model' block and the 'X data' block after it."""
    blocks = re.findall(r"^(\w+) (model|data)\b[^\n]*:\n((?:  [^\n]*\n)+)", core_text(), re.M)
    pairs = []
    for (name, kind, text), (next_name, next_kind, data) in zip(blocks, blocks[1:] + [("", "", "")]):
        if kind == "model":
            assert (next_name, next_kind) == (name, "data"), f"{name} model without its data"
            pairs.append((textwrap.dedent(text), textwrap.dedent(data)))
    return pairs


PAIRS = [("grammar %d" % k, m, d) for k, (m, d) in enumerate(examples())]
PAIRS += [("code %d" % k, m, d) for k, (m, d) in enumerate(core_examples())]


def refusals():
    """(id, model with one line replaced by its 'not:' form, that line's number)."""
    out = []
    for name, model, data in PAIRS:
        lines = model.split("\n")
        for k, line in enumerate(lines):
            m = re.search(r"//.*\bnot: (.*)$", line)
            if m:
                indent = line[:len(line) - len(line.lstrip())]
                changed = lines[:k] + [indent + m.group(1)] + lines[k + 1:]
                out.append((f"{name} line {k + 1}", "\n".join(changed), data, k + 1))
    return out


@pytest.fixture(scope="module")
def gbnf():
    return parse_gbnf(read("Tavro_GBNF"))


def test_both_references_carry_examples_and_refusals():
    assert len(examples()) >= 4 and len(core_examples()) >= 2
    names = [r[0] for r in refusals()]
    assert sum(n.startswith("grammar") for n in names) >= 5 and sum(n.startswith("code") for n in names) >= 5


@pytest.mark.parametrize("name,model,data", PAIRS, ids=[p[0] for p in PAIRS])
def test_statement_examples_compile_in_every_mode(gbnf, name, model, data):
    tree = KelmCompiler().compile_model(model, data, data_dir=TABLES)
    direct = _kelm.instantiate(model, data, data_dir=TABLES)
    from_tree = _kelm.instantiate_tree(tree, tree["data"])
    assert direct["columns"] == from_tree["columns"] and direct["rows"] == from_tree["rows"]
    assert list(direct["values"]) == list(from_tree["values"])
    assert recognises(gbnf, model)


@pytest.mark.parametrize("name,model,data,line", refusals(), ids=[r[0] for r in refusals()])
def test_refused_forms_are_refused_at_their_line(name, model, data, line):
    for run in (KelmCompiler().compile_model, _kelm.instantiate):
        with pytest.raises(SemanticError) as info:
            run(model, data)
        assert str(info.value).startswith(f"model:{line}:"), str(info.value)


# The questions an LLM asked about the language, answered in both texts by
# the same example (each compiled above).
ANSWERS = [
    "int n;",                                   # 'int n;' and 'int n = ...;' mean the same
    "'/' gives a float; not: int half = n / 2;",
    "data may go unused",
    "data files take comments",
    "int+ takes bounds too",
    "r * make[p] is linear",                    # a data-only dexpr times a dvar
    "strings: == != only",
    "make[q.prod]",                             # a tuple field as an index
    "x[top]",                                   # a string datum as an index
    "data divides; not: forall(p in P) n / make[p] <= 1;",
    "mod on ints of data; not: make[top] mod 2 >= 0;",
    "sqrt((x[i] - x[j])^2 + (y[i] - y[j])^2)",  # computed data from coordinates
    "not: float e[i in P: i != top] = 1;",      # no filter in a computed array's index
]


@pytest.mark.parametrize("answer", ANSWERS)
def test_both_references_answer_the_open_questions(answer):
    assert answer in read("Tavro grammar.md")
    assert answer in core_text()


@pytest.mark.parametrize("text", ["Tavro grammar.md", "tavro_core.py"])
def test_references_name_every_data_function(text):
    body = read(text) if text.endswith(".md") else core_text()
    for fn in ("sqrt", "exp", "log", "floor", "ceil", "round", "pow", "^", "mod", "infinity", "=>"):
        assert fn in body, fn
    assert "not indexed" not in body

