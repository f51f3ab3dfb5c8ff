"""The language additions (named indices, infinity, mod, indexed dexpr,
implication, whole numbers for int), the size and computed-index checks, and
the exact text of every message added with them."""
import math
import os
import random

import pytest

from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler
from test_compiler_robustness import mutate, outcome

OBJ = "dvar float x;\nminimize z: x;\n"

# Valid models with the new constructs: (model, data, {data name: value}).
NEW_MODELS = {
    "per-element bounds": (
        "{string} P = {\"a\", \"b\"};\nfloat cap[P] = ...;\nrange I = 1..2;\nfloat lo[I] = ...;\n"
        "float hi[I][P] = ...;\ndvar float x[j in P] in 0..cap[j];\n"
        "dvar int+ y[i in I][j in P] in lo[i]..hi[i][j];\n"
        "maximize z: sum(j in P) x[j] + sum(i in I, j in P) y[i][j];",
        "cap = [1, 2.5];\nlo = [0, 1];\nhi = [[3, 4], [5, 6]];",
        {"cap": [1.0, 2.5], "hi": [[3.0, 4.0], [5.0, 6.0]]}),
    "infinity": (
        "float big = infinity;\nfloat u[1..3] = ...;\ndvar float x in -infinity..big;\n"
        "tuple T { string n; float cap; }\n{T} S = {<\"a\", infinity>, <\"b\", -infinity>};\n"
        "minimize z: x;\nsubject to { x >= -5; }",
        "u = [1, infinity, -infinity];",
        {"big": math.inf, "u": [1.0, math.inf, -math.inf],
         "S": [{"n": "a", "cap": math.inf}, {"n": "b", "cap": -math.inf}]}),
    "mod": (
        "range Days = 1..7;\nint shift = 3 mod 2;\ndvar float w[Days];\n"
        "minimize z: sum(t in Days) w[t];\n"
        "subject to { forall(t in Days) w[(t - 2) mod 7 + 1] + w[t] >= 1; }",
        "", {}),
    "indexed dexpr": (
        "range Months = 1..3;\nfloat init = 5;\ndvar float+ buy[Months];\ndvar float+ sell[Months];\n"
        "dexpr float stock[t in Months] = init + sum(s in Months: s <= t) (buy[s] - sell[s]);\n"
        "dexpr int n = 2;\nmaximize z: sum(t in Months) sell[t];\n"
        "subject to { forall(t in Months) stock[t] >= 0; last: stock[3] <= 10; }",
        "", {"init": 5.0}),
    "implication": (
        "range I = 1..2;\nrange J = 1..3;\ndvar boolean open[I];\ndvar boolean b;\n"
        "dvar float+ ship[I][J] in 0..100;\ndvar float x in 0..50;\ndvar float y in 0..50;\n"
        "minimize z: sum(i in I) open[i] + x;\n"
        "subject to {\n  forall(i in I) open[i] == 0 => sum(j in J) ship[i][j] <= 0;\n"
        "  either: b == 1 => x + y >= 10;\n  b == 0 => x == 3;\n}",
        "", {}),
    "whole numbers for int": (
        "int n = 1e9;\nint m;\n{int} S = {2.0, 3};\ntuple T { int k; float c; }\nT t = <4, 5>;\n"
        "range R = 1..3.0;\nint a[R] = ...;\n" + OBJ,
        "m = 3.0;\na = [1e2, -2.0, 3];",
        {"n": 1000000000, "m": 3, "S": [2, 3], "t": {"k": 4, "c": 5.0}, "R": {"low": 1, "high": 3},
         "a": [100, -2, 3]}),
}


def compile_(model, data=""):
    return KelmCompiler().compile_model(model, data)


def message(model, data=""):
    with pytest.raises(SemanticError) as info:
        compile_(model, data)
    return str(info.value)


@pytest.mark.parametrize("name", NEW_MODELS)
def test_new_constructs_compile_with_exact_data(name):
    model, data, expected = NEW_MODELS[name]
    got = compile_(model, data)["data"]
    for key, value in expected.items():
        assert got[key] == value and type(got[key]) is type(value), (key, got[key])
    for value in got.values():  # ints stay ints, floats floats, one level down too
        if isinstance(value, list) and value and isinstance(value[0], dict):
            assert all(type(v) in (int, float, str) for d in value for v in d.values())


def test_whole_floats_read_as_int_values():
    data = compile_(*NEW_MODELS["whole numbers for int"][:2])["data"]
    assert [type(v) for v in data["a"]] == [int, int, int]
    assert type(data["t"]["c"]) is float  # an int in a float field of a model tuple


def find(tree, type_):
    found = []

    def walk(node):
        if isinstance(node, dict):
            if node.get("type") == type_:
                found.append(node)
            for v in node.values():
                walk(v)
        elif isinstance(node, list):
            for v in node:
                walk(v)
    walk(tree["declarations"])
    return found


def test_tree_of_the_additions():
    tree = compile_(*NEW_MODELS["implication"][:2])
    imp = find(tree, "implication")
    assert [(c["name"], c["value"], c["op"], c["line"]) for c in imp] == [
        (None, 0, "<=", 10), ("either", 1, ">=", 11), (None, 0, "==", 12)]
    assert imp[0]["variable"] == {"type": "index", "name": "open", "indices": [{"type": "name", "name": "i"}]}
    assert imp[1]["variable"] == {"type": "name", "name": "b"}
    assert list(imp[1]) == ["type", "name", "line", "variable", "value", "op", "left", "right"]

    tree = compile_(*NEW_MODELS["indexed dexpr"][:2])
    stock, n = find(tree, "dexpr")
    assert stock["indices"] == [{"type": "name", "name": "Months"}] and stock["index_names"] == ["t"]
    assert n["indices"] == [] and n["index_names"] == []
    assert find(tree, "index")[-1] == {"type": "index", "name": "stock", "indices": [{"type": "number", "value": 3}]}

    tree = compile_(*NEW_MODELS["per-element bounds"][:2])
    x, y = find(tree, "dvar")
    assert x["index_names"] == ["j"] and y["index_names"] == ["i", "j"]
    assert x["high"] == {"type": "index", "name": "cap", "indices": [{"type": "name", "name": "j"}]}

    tree = compile_(*NEW_MODELS["infinity"][:2])
    x = find(tree, "dvar")[0]
    assert x["low"] == {"type": "unary", "op": "-", "operand": {"type": "number", "value": math.inf}}

    mods = find(compile_(*NEW_MODELS["mod"][:2]), "binary")
    assert [b["op"] for b in mods if b["op"] == "mod"] == ["mod", "mod"]


@pytest.mark.parametrize("expr,value", [
    ("7 mod 3 * 2", ("*", "mod")),        # same precedence as '*', left to right
    ("1 + 7 mod 3", ("+", None)),
])
def test_mod_binds_like_times(expr, value):
    tree = compile_(f"int v = {expr};\n" + OBJ)
    top = tree["declarations"][0]["value"]
    assert top["op"] == value[0]
    if value[1]:
        assert top["left"]["op"] == value[1]


@pytest.mark.parametrize("expr,value", [("(1 - 2) mod 7 + 1", 7), ("-7 mod 3", 2), ("7 mod -3", -2)])
def test_mod_value_has_the_sign_of_the_divisor(expr, value):
    assert compile_(f"int v = {expr};\n" + OBJ)["data"]["v"] == value


def test_flat_sum_of_a_thousand_terms_compiles():
    terms = " + ".join(f"{k}*x" for k in range(1, 1001))
    tree = compile_(f"dvar float x;\nminimize z: {terms};\nsubject to {{ x >= 0; }}")
    assert tree["declarations"][1]["expr"]["right"]["left"]["value"] == 1000


# (name, model, data, exact message)
MESSAGES = [
    ("sum takes one term",
     "range I = 1..3;\nfloat a[I] = ...;\nfloat b[I] = ...;\ndvar float x[I];\ndvar float y[I];\n"
     "minimize z: sum(i in I) a[i]*x[i] + b[i]*y[i];", "a = [1,2,3];\nb = [1,2,3];",
     "model:6:39: index 'i' is not in scope here: sum(...) takes only the term after it; to sum several "
     "terms put them in parentheses: sum(i in ...) (a[i] + b[i])"),
    ("if in constraints", OBJ + "subject to {\n  if (x >= 1) x <= 2;\n}", "",
     "model:4:3: the language has no 'if': filter a forall or sum (forall(i in I: cap[i] > 0) ...) or, "
     "for a decision, write an implication (b == 1 => x <= 5;)"),
    ("if as an item", "if (1 > 0) { }\n" + OBJ, "",
     "model:1:1: the language has no 'if': filter a forall or sum (forall(i in I: cap[i] > 0) ...) or, "
     "for a decision, write an implication (b == 1 => x <= 5;)"),
    ("percent", "int n = 7 % 2;\n" + OBJ, "",
     "model:1:11: unexpected character '%' (the remainder is written 'a mod b')"),
    ("array as bound of unnamed index", "{string} P = {\"a\"};\nfloat cap[P] = ...;\n"
     "dvar float+ x[P] in 0..cap;\nminimize z: sum(p in P) x[p];", "cap = [1];",
     "model:3:24: bound 'cap' is an array: name the indices and index it, dvar float+ x[i in P] in 0..cap[i];"),
    ("array as lower bound", "range R = 1..2;\nint lo[R] = ...;\ndvar int y[R][R] in lo..9;\nminimize z: y[1][1];",
     "lo = [1, 2];",
     "model:3:21: bound 'lo' is an array: name the indices and index it, dvar int y[i in R][j in R] in lo[i]..9;"),
    ("=> outside a constraint", "dvar float x;\nminimize z: x => 1;", "",
     "model:2:15: ';' expected near '=>' ('=>' is only for implications in 'subject to': b == 1 => x <= 5;)"),
    ("=> for >=", OBJ + "subject to { x => 1; }", "",
     "model:3:16: '>=' expected near '=>' (write '>='; '=>' is for implications: b == 1 => x <= 5;)"),
    ("=> after a float variable", OBJ + "dvar float y;\nsubject to { y == 1 => x <= 1; }", "",
     "model:4:14: the left of '=>' must be a boolean decision variable (declared 'dvar boolean'), found 'y'"),
    ("=> after data", "int k = 1;\n" + OBJ + "subject to { k == 1 => x <= 1; }", "",
     "model:4:14: the left of '=>' must be a boolean decision variable (declared 'dvar boolean'), found 'k'"),
    ("=> after a value other than 0 or 1", "dvar boolean b;\n" + OBJ + "subject to { b == 2 => x <= 1; }", "",
     "model:4:21: '=>' follows a boolean decision variable compared with 0 or 1: b == 1 => x <= 5; "
     "(b declared 'dvar boolean b;')"),
    ("=> after <=", "dvar boolean b;\n" + OBJ + "subject to { b <= 1 => x <= 1; }", "",
     "model:4:21: '=>' follows a boolean decision variable compared with 0 or 1: b == 1 => x <= 5; "
     "(b declared 'dvar boolean b;')"),
    ("=> with a range", "dvar boolean b;\n" + OBJ + "subject to { b == 1 => 0 <= x <= 1; }", "",
     "model:4:31: the right of '=>' is one comparison: e1 <= e2 (write two implications for a range)"),
    ("=> without comparison", "dvar boolean b;\n" + OBJ + "subject to { b == 1 => x; }", "",
     "model:4:25: comparison ('<=', '>=' or '==') expected near ';' (the right of '=>' is one constraint: e1 <= e2)"),
    ("=> on data only", "dvar boolean b;\n" + OBJ + "subject to { b == 1 => 1 <= 2; }", "",
     "model:4:14: constraint without decision variables: it compares data only"),
    ("=<", OBJ + "subject to { x =< 1; }", "", "model:3:16: '<=' expected near '=<' (write '<=')"),
    ("minimise", "dvar float x;\nminimise z: x;", "",
     "model:2:1: declaration expected near 'minimise' (did you mean 'minimize'?)"),
    ("maximise", "dvar float x;\nmaximise x;", "",
     "model:2:1: declaration expected near 'maximise' (did you mean 'maximize'?)"),
    ("flaot", "flaot c = 1;\n" + OBJ, "", "model:1:1: declaration expected near 'flaot' (did you mean 'float'?)"),
    ("dvra", "dvra float y;\n" + OBJ, "", "model:1:1: declaration expected near 'dvra' (did you mean 'dvar'?)"),
    ("param", "param c = 1;\n" + OBJ, "",
     "model:1:1: declaration expected near 'param' (declare data with its type: 'float c = ...;', 'int n = ...;')"),
    ("set S", "set S = {1};\n" + OBJ, "",
     "model:1:1: declaration expected near 'set' (a set is declared with its element type: '{string} S = ...;')"),
    ("inf in data", "float c;\n" + OBJ, "c = inf;",
     "data:1:5: number expected for 'c', found 'inf' (write infinity or -infinity)"),
    ("Infinity in data", "float c[1..2];\n" + OBJ, "c = [1, -Infinity];",
     "data:1:10: number expected for 'c', found 'Infinity' (write infinity or -infinity)"),
    ("inf in the model", "float c = inf;\n" + OBJ, "", "model:1:11: unknown name 'inf'; did you mean 'infinity'?"),
    ("Infinity in the model", "dvar float y in 0..Infinity;\n" + OBJ, "",
     "model:1:20: unknown name 'Infinity'; did you mean 'infinity'?"),
    ("named index on data", "range P = 1..2;\nfloat cap[j in P] = ...;\n" + OBJ, "cap = [1, 2];",
     "model:2:11: named indices [j in ...] are for computed arrays (cap[j in ...] = <expression>;): an array from "
     "the data is declared cap[P] = ...;"),
    ("infinity for an int", "int n;\n" + OBJ, "n = INF;",
     "data:1:5: integer expected for 'n', found 'INF' (an int has no infinity)"),
    ("missing ; in the data: one error", "float c;\nfloat d;\n" + OBJ, "c = 1\nd = 2;",
     "data:1:6: ';' expected near 'd'"),
    ("division by a variable: one error", OBJ + "subject to { 1 / x >= 1; }", "",
     "model:3:16: not linear: division by a term with decision variables (the solver takes linear models only)"),
    ("no objective, at subject to", "dvar float x;\n\nsubject to { x >= 0; }\n", "",
     "model:3:1: no objective: add 'minimize <expression>;' or 'maximize <expression>;'"),
    ("no objective, at the end", "dvar float x;\nfloat c = 1;\n", "",
     "model:3:1: no objective: add 'minimize <expression>;' or 'maximize <expression>;'"),
    ("mod of a variable", "dvar int x;\nminimize z: x mod 2;", "",
     "model:2:13: 'mod' applies to data only, not to decision variables"),
    ("mod of a float", "float c = 2.5;\nint n = c mod 2;\n" + OBJ, "",
     "model:2:9: 'mod' needs int operands, found float"),
    ("mod is a reserved word", "int mod = 2;\n" + OBJ, "",
     "model:1:5: name expected near 'mod' ('mod' is a reserved word)"),
    ("infinity times a variable", "dvar float x;\nminimize z: infinity * x;", "",
     "model:2:22: 'infinity' cannot multiply a decision variable (it is only a value or a bound)"),
    ("dexpr int with a float", "dvar float x;\ndexpr int d = 2.5 * x;\nminimize z: d;", "",
     "model:2:19: dexpr 'd' is int but its expression is float (declare it 'dexpr float')"),
    ("indexed dexpr without names", "range I = 1..2;\ndvar float x[I];\ndexpr float d[I] = 1;\nminimize z: x[1];", "",
     "model:3:15: an indexed dexpr names its indices: dexpr float d[i in I] = ...;"),
    ("indexed dexpr used whole", "range I = 1..2;\ndvar float x[I];\ndexpr float d[i in I] = x[i];\nminimize z: d;", "",
     "model:4:13: 'd' is an array of 1 dimension: index it as d[...]"),
    ("indexed dexpr in data", "range I = 1..2;\ndvar float x[I];\ndexpr float d[i in I] = x[i];\n"
     "int n = d[1];\nminimize z: x[1];", "", "model:4:9: dexpr 'd' is not allowed in a data value (data only)"),
    ("named index hides a declaration", "int j = 1;\nrange P = 1..2;\ndvar float x[j in P];\nminimize z: x[1];", "",
     "model:3:14: index 'j' hides the declaration at line 1: choose another name"),
    ("named index out of its declaration", "range P = 1..2;\ndvar float x[j in P];\nminimize z: x[j];", "",
     "model:3:15: index 'j' is not in scope here: an index exists only inside its sum or forall"),
    ("computed index outside its range", "range I = 1..3;\ndvar float y[I];\nminimize z: y[2+2];", "",
     "model:3:15: index 4 (from 2+2) of 'y' is outside 'I' (1..3)"),
    ("constant name as index", "range I = 1..3;\nint k = 7;\ndvar float y[I];\nminimize z: y[k];", "",
     "model:4:15: index 7 (from k) of 'y' is outside 'I' (1..3)"),
    ("data name as index", "range I = 1..3;\nint k;\ndvar float y[I];\nminimize z: y[k - 1];", "k = 1;",
     "model:4:15: index 0 (from k-1) of 'y' is outside 'I' (1..3)"),
    ("card as index", "{string} S = {\"a\", \"b\"};\nrange I = 1..1;\ndvar float y[I];\nminimize z: y[card(S)];", "",
     "model:4:15: index 2 (from card(S)) of 'y' is outside 'I' (1..1)"),
    ("huge range", "range R = 1..100000000000;\ndvar float x[R];\nminimize z: x[1];", "",
     "model:1:7: range 'R' (1..100000000000) is too large: more than 100000000 elements"),
    ("huge inline range", "dvar float x[0..9223372036854775807];\nminimize z: x[1];", "",
     "model:1:15: range 0..9223372036854775807 is too large: more than 100000000 elements"),
    ("huge forall range", "dvar float x;\nminimize z: x;\nsubject to { forall(k in 1..4294967297) c: x >= k; }", "",
     "model:3:26: range 1..4294967297 is too large: more than 100000000 elements"),
    ("huge sum range over data", "int n;\ndvar float x;\nminimize z: x + sum(k in 0..n) k;", "n = 9223372036854775807;",
     "model:3:26: range 0..9223372036854775807 is too large: more than 100000000 elements"),
    ("big-M that overflows", "dvar boolean b;\ndvar float x in 0..1e308;\ndvar float y in 0..1e308;\n"
     "minimize z: x;\nsubject to { b == 0 => 2*x + 2*y <= 0; }", "",
     "model:5:14: '=>' needs a big-M of infinity (from the bounds of 'x'), too large to be safe: the solver's "
     "integrality tolerance (1e-6) times M is over 1, so the implication could fail by that much; declare tighter "
     "bounds on 'x' (|M| at most 1000000)"),
    ("right-hand side from infinite data", "float r;\ndvar float x;\nminimize z: x;\nsubject to { c: x >= r; }",
     "r = infinity;", "model:4:17: constraint 'c': the right-hand side is infinity (a number overflowed, or the data "
                      "holds one that is not finite)"),
    ("huge keyed array", "range R = 1..100000;\nfloat c[R][R] = ...;\n" + OBJ, "c = #[1: #[1: 2]#]#;",
     "model:2:7: 'c' is too large: more than 100000000 elements over its index sets"),
    ("huge variable", "range R = 1..100000;\ndvar float y[R][R];\n" + OBJ, "",
     "model:2:12: 'y' is too large: more than 100000000 elements over its index sets"),
    ("2.5 for an int in the data", "int n;\n" + OBJ, "n = 2.5;",
     "data:1:5: integer expected for 'n' (declared int), found number '2.5'"),
    ("2.5 for an int in the model", "int n = 2.5;\n" + OBJ, "", "model:1:9: 'n' is int but its value is float"),
    ("1e30 for an int", "int n;\n" + OBJ, "n = 1e30;",
     "data:1:5: integer expected for 'n' (declared int), found number '1e30'"),
    ("2.5 as a range bound", "range R = 1..2.5;\n" + OBJ, "", "model:1:14: range bound must be an int, found float"),
    # computed data and the data functions
    ("misspelt function", "float v = sqr(2);\n" + OBJ, "", "model:1:11: unknown function 'sqr'; did you mean 'sqrt'?"),
    ("capitalised function", "float v = Sqrt(2);\n" + OBJ, "",
     "model:1:11: unknown function 'Sqrt'; did you mean 'sqrt'?"),
    ("array called like a function", "float v = cost(2);\n" + OBJ, "",
     "model:1:11: unknown function 'cost' (the functions are sqrt, exp, log, floor, ceil, round, pow, min, max, "
     "abs, card; an array is indexed with brackets: a[i])"),
    ("** for a power", "float v = 2 ** 2;\n" + OBJ, "",
     "model:1:14: expression expected near '*' (a power is written a ^ b)"),
    ("filter in a computed array's index", "range I = 1..3;\nfloat a[i in I: i > 1] = i;\n" + OBJ, "",
     "model:2:15: no filter in a declaration's index: 'a' has a value at every index (filter where it is used: "
     "sum(i in ...: condition) a[i])"),
    ("comma in a computed array's index", "range I = 1..3;\nfloat a[i in I, j in I] = i;\n" + OBJ, "",
     "model:2:15: one index per pair of brackets: a[i in ...][j in ...]"),
    ("computed array with an unnamed index", "range I = 1..3;\nfloat a[I][j in I] = j;\n" + OBJ, "",
     "model:2:9: a computed array names every index: a[i in ...][j in ...] = <expression>;"),
    ("decision variable in a computed array", "range I = 1..3;\ndvar float y[I];\nfloat a[i in I] = y[i];\n" + OBJ,
     "", "model:3:19: decision variable 'y' is not allowed in a computed array (data only)"),
    ("float value for an int computed array", "range I = 1..3;\nint a[i in I] = i / 2;\n" + OBJ, "",
     "model:2:17: 'a' is int but its value is float (declare it float, or make the value whole with round, floor "
     "or ceil)"),
    ("computed array using itself", "range I = 1..3;\nfloat a[i in I] = a[i];\n" + OBJ, "",
     "model:2:19: 'a' is used in its own value: a value may use only the data declared before it"),
    ("array with a value and no index names", "range I = 1..3;\nfloat c[I] = 5;\n" + OBJ, "",
     "model:2:14: array 'c' takes its values from the data: write '= ...;' and give 'c = [...];' in the data (or "
     "name its indices to compute it: c[i in I] = <expression>;)"),
    ("computed array of tuples", "tuple T { int k; }\nrange I = 1..3;\nT t[i in I] = <1>;\n" + OBJ, "",
     "model:3:1: a computed array holds int, float or string values, not tuples"),
    ("data for a computed array", "range I = 1..3;\nfloat a[i in I] = i;\n" + OBJ, "a = [1, 2, 3];",
     "data:1:1: data for 'a', whose value the model already gives (line 2); declare it with '= ...' or remove it "
     "here"),
    ("huge computed array", "range R = 1..100000;\nfloat a[i in R][j in R] = i;\n" + OBJ, "",
     "model:2:7: 'a' is too large: more than 100000000 elements over its index sets"),
    ("power of a variable", "dvar float y;\nminimize z: y^2;", "",
     "model:2:13: decision variable 'y' is not allowed in '^' (data only)"),
    ("function of a variable", "dvar float y;\nminimize z: sqrt(y);", "",
     "model:2:18: decision variable 'y' is not allowed in sqrt(...) (data only)"),
    ("sqrt of two", "float v = sqrt(1, 2);\n" + OBJ, "", "model:1:11: sqrt takes one argument: sqrt(e)"),
    ("pow of one", "float v = pow(2);\n" + OBJ, "", "model:1:11: pow takes two arguments: pow(a, b)"),
    ("sqrt of a negative datum", "range I = 1..3;\nfloat a[I] = ...;\nfloat s[i in I] = sqrt(a[i]);\n" + OBJ,
     "a = [4, 0, -1];",
     "model:3:19: sqrt(-1): the square root of a negative number (from sqrt(a[3])) for i = 3"),
    ("log of zero", "range I = 1..3;\nfloat a[I] = ...;\nfloat s[i in I] = log(a[i]);\n" + OBJ, "a = [4, 0, -1];",
     "model:3:19: log(0): the logarithm of 0 is -infinity (from log(a[2])) for i = 2"),
    ("exp overflow", "range I = 1..3;\nfloat a[I] = ...;\nfloat s[i in I] = exp(a[i] * 1000);\n" + OBJ,
     "a = [4, 0, -1];",
     "model:3:19: exp(4000): the result overflows to infinity (from exp(a[1]*1000)) for i = 1"),
    ("fractional power of a negative", "range I = 1..3;\nfloat a[I] = ...;\nfloat s[i in I] = a[i] ^ 0.5;\n" + OBJ,
     "a = [4, 0, -1];",
     "model:3:24: (-1)^0.5: a negative number to a fractional power is not a number (from a[3]^0.5) for i = 3"),
    ("int to a negative power", "range I = 1..3;\nint s[i in I] = 2 ^ (i - 2);\n" + OBJ, "",
     "model:2:19: 2^(-1): an int to a negative power (write 2.0^(-1) for a float) (from 2^(1-2)) for i = 1"),
    ("int power overflow", "range I = 1..3;\nint s[i in I][j in I] = 2 ^ (i * j * 10);\n" + OBJ, "",
     "model:2:27: 2^90: the result overflows an int (at most 9223372036854775807) (from 2^(3*3*10)) for i = 3, "
     "j = 3"),
    ("floor beyond an int", "float a = 1e300;\nint f = floor(a * 4);\n" + OBJ, "",
     "model:2:9: floor(4e+300): the result is outside the range of an int (from floor(a*4))"),
    ("round of infinity", "int s = round(infinity);\n" + OBJ, "", "model:1:9: round(infinity): infinity is not an int"),
    ("index outside in a computed array", "range I = 1..3;\nfloat a[I] = ...;\nfloat s[i in I] = a[i + 1];\n" + OBJ,
     "a = [4, 0, -1];", "model:3:21: index 4 (from 3+1) of 'a' is outside 'I' (1..3) for i = 3"),
    ("division by zero in a computed array", "range I = 1..3;\nfloat a[I] = ...;\nfloat s[i in I] = 1 / a[i];\n" + OBJ,
     "a = [4, 0, -1];", "model:3:21: division by zero: a[2] is 0 for i = 2"),
    ("float overflow", "float big = 1e308 * 10;\n" + OBJ, "", "model:1:19: 1e+308*10 overflows to infinity"),
    ("infinity minus infinity", "float big = infinity;\nfloat s = big - big;\n" + OBJ, "",
     "model:2:15: infinity-infinity is not a number (from big-big)"),
    ("function fault in a constraint", OBJ + "subject to { x >= sqrt(-4); }", "",
     "model:3:19: sqrt(-4): the square root of a negative number"),
    ("swapped pair", "a = 10;\nb = 5;", "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }",
     "model:1:1: the model and data files look swapped: this one holds data ('name = value;' items) and the data "
     "file a model ('dvar' at line 3)"),
    ("data as the model", "a = 10;\nb = [1, 2];\nc = {\"x\"};\nd = 1;\ne = 2;\nf = 3;", "",
     "model:1:1: this holds data ('name = value;' items only), not a model: the model and data files look swapped"),
    ("a model as the data", "float a;\n" + OBJ, "a = 1;\ndvar float y;\nminimize z: y;",
     "data:2:1: this holds a model ('dvar' at line 2), not data: the model and data files look swapped"),
]


@pytest.mark.parametrize("model,data,expected", [m[1:] for m in MESSAGES], ids=[m[0] for m in MESSAGES])
def test_message(model, data, expected):
    assert message(model, data) == expected


@pytest.mark.parametrize("name", NEW_MODELS)
def test_new_models_pass_every_check_with_no_false_error(name):
    model, data, _ = NEW_MODELS[name]
    compile_(model, data)  # raises on any false error


@pytest.mark.parametrize("model,data,expected", [
    # ranges whose bounds are data-only expressions get the size and index checks
    ("range I = 1..max(n, 2);\nint n;\ndvar float y[I];\nminimize z: y[6];", "n = 5;",
     "model:1:18: 'n' is used before its declaration at line 2: declare it first"),
    ("int n;\nrange I = 1..max(n, 2);\ndvar float y[I];\nminimize z: y[6];", "n = 5;",
     "model:4:15: index 6 of 'y' is outside 'I' (1..5)"),
    ("int n;\nrange I = 1..n * 100000000000;\ndvar float y[I];\nminimize z: y[1];", "n = 5;",
     "model:2:7: range 'I' (1..500000000000) is too large: more than 100000000 elements"),
])
def test_ranges_over_data_expressions(model, data, expected):
    assert message(model, data) == expected


@pytest.mark.parametrize("model,data,expected", [
    ("range S = 1..3;\nint a[S] = ...;\nrange I = 1..sum(s in S) a[s];\ndvar float y[I];\nminimize z: y[7];",
     "a = [1, 2, 3];", "model:5:15: index 7 of 'y' is outside 'I' (1..6)"),
    ("range S = 1..3;\nint a[S] = ...;\ndvar float y[S];\nminimize z: y[a[3] + 1];", "a = [1, 2, 3];",
     "model:4:15: index 4 (from a[3]+1) of 'y' is outside 'S' (1..3)"),
    ("range S = 1..3;\nint a[S] = ...;\nrange I = 1..max(s in S) a[s] * 100000000000;\ndvar float y[I];\n"
     "minimize z: y[1];", "a = [1, 2, 3];",
     "model:3:7: range 'I' (1..300000000000) is too large: more than 100000000 elements"),
])
def test_ranges_and_indices_that_need_the_evaluator(model, data, expected):
    assert message(model, data) == expected


def test_mutations_of_the_new_constructs_raise_only_semantic_error():
    rng = random.Random(20261208)
    pairs = [m[:2] for m in NEW_MODELS.values()] + [(m[1], m[2]) for m in MESSAGES]
    cases = []
    for _ in range(2000):
        model, data = rng.choice(pairs)
        if rng.random() < 0.7:
            model = mutate(rng, model)
        else:
            data = mutate(rng, data)
        cases.append((model, data))
    dump = os.environ.get("KELM_CASES_DUMP")
    if dump:  # for the sanitizer driver, next to the robustness test's cases
        with open(dump + ".additions", "wb") as f:
            for model, data in cases:
                f.write(model.encode("utf-8", "surrogatepass") + b"\x01" + data.encode("utf-8") + b"\x02")
    assert {outcome(m, d) for m, d in cases} <= {"ok", "error"}
