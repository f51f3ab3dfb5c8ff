"""Data computed in the model (arrays with named indices, scalars) and the
data functions: their values in the compiled data, the same problem from the
texts and from the compiled tree, and a routing model whose distances come
from coordinates solving to the optimum of the same model with the distances
typed in. (Their golden trees: test_compiler_golden.py.)
"""
import math

import pytest

from tavro import _kelm, solver
from tavro.lpwriter import SciPyCodeGenerator
from tavro.tavro_core import KelmCompiler

OBJ = "dvar float w;\nminimize z: w;\n"

# (model, data, {name: value in the compiled data})
VALUES = {
    "net price": (
        '{string} P = {"a", "b"};\nfloat price[P] = ...;\nfloat cost[P] = ...;\n'
        "float net[p in P] = price[p] - cost[p];\n" + OBJ + "subject to { forall(p in P) w >= net[p]; }",
        "price = [10, 7.5];\ncost = [4, 8];",
        {"net": [6.0, -0.5]}),
    "distances from coordinates": (
        "range N = 1..3;\nfloat x[N] = ...;\nfloat y[N] = ...;\n"
        "float dist[i in N][j in N] = sqrt((x[i] - x[j])^2 + (y[i] - y[j])^2);\n" + OBJ,
        "x = [0, 3, 0];\ny = [0, 4, 1];",
        {"dist": [[0.0, 5.0, 1.0], [5.0, 0.0, math.sqrt(18)], [1.0, math.sqrt(18), 0.0]]}),
    "one computed array from another": (
        "range I = 1..3;\nint a[I] = ...;\nint sq[i in I] = a[i]^2;\n"
        "float share[i in I] = sq[i] / sum(k in I) sq[k];\nfloat total = sum(i in I) share[i];\n" + OBJ
        + "subject to { forall(i in I) w >= share[i] * sq[i] + total; }",
        "a = [1, 2, 3];",
        {"sq": [1, 4, 9], "share": [1 / 14, 4 / 14, 9 / 14], "total": 1.0}),
    "ints from rounding": (
        "range I = 1..4;\nfloat v[I] = ...;\nint r[i in I] = round(v[i]);\nint f[i in I] = floor(v[i]);\n"
        "int c[i in I] = ceil(v[i]);\nrange H = 1..ceil(card(I) / 3);\n" + OBJ,
        "v = [2.5, -2.5, 0.4, -0.6];",
        {"r": [3, -3, 0, -1], "f": [2, -3, 0, -1], "c": [3, -2, 1, 0], "H": {"low": 1, "high": 2}}),
    "powers and logarithms": (
        "float e = exp(1);\nfloat l = log(e^2);\nfloat p = pow(2.0, -1);\nint q = 2^3^2;\nint m = -2^2;\n"
        "float big = exp(-infinity) + sqrt(infinity);\n" + OBJ,
        "",
        {"e": math.e, "l": 2.0, "p": 0.5, "q": 512, "m": -4, "big": math.inf}),
    "tuple fields": (
        "tuple Arc { string src; string dst; float km; }\n{Arc} Arcs = ...;\n"
        "float minutes[a in Arcs] = a.km / 50 * 60;\n" + OBJ,
        'Arcs = {<"A", "B", 90>, <"B", "C", 30>};',
        {"minutes": [108.0, 36.0]}),
    "strings computed": (
        "tuple Row { string prod; string proc; }\n{Row} Rows = ...;\nstring what[r in Rows] = r.proc;\n" + OBJ,
        'Rows = {<"a", "cut">, <"b", "weld">};',
        {"what": ["cut", "weld"]}),
    "two-dimensional over sets and ranges": (
        '{string} P = {"a", "b"};\nrange T = 1..3;\nfloat rate[P] = ...;\n'
        "float grow[p in P][t in T] = rate[p] * t + (t mod 2);\n" + OBJ,
        "rate = [1, 0.5];",
        {"grow": [[2.0, 2.0, 4.0], [1.5, 1.0, 2.5]]}),
}


def compile_(model, data=""):
    return KelmCompiler().compile_model(model, data)


def flat(v):
    return [x for item in v for x in flat(item)] if isinstance(v, list) else [v]


@pytest.mark.parametrize("name", VALUES)
def test_computed_values(name):
    model, data, expected = VALUES[name]
    got = compile_(model, data)["data"]
    for key, value in expected.items():
        if isinstance(value, dict) or isinstance(flat(value)[0], str):
            assert got[key] == value, key
            continue
        assert flat(got[key]) == pytest.approx(flat(value)), key
        assert [type(v) for v in flat(got[key])] == [type(v) for v in flat(value)], key  # ints stay ints


ROUTE = """\
int n = ...;
range Stops = 1..n;
{distances}
dvar boolean go[Stops][Stops];
dvar float order[Stops] in 1..n;
minimize Length: sum(i in Stops, j in Stops: i != j) dist[i][j] * go[i][j];
subject to {{
  forall(i in Stops) Leave: sum(j in Stops: j != i) go[i][j] == 1;
  forall(j in Stops) Enter: sum(i in Stops: i != j) go[i][j] == 1;
  forall(i in Stops) NoLoop: go[i][i] == 0;
  forall(i in Stops, j in Stops: i != j && j > 1) Tour: order[i] - order[j] + n * go[i][j] <= n - 1;
}}
"""
COMPUTED = "float x[Stops] = ...;\nfloat y[Stops] = ...;\n" \
           "float dist[i in Stops][j in Stops] = sqrt((x[i] - x[j])^2 + (y[i] - y[j])^2);"
POINTS = [(0, 0), (2, 7), (5, 1), (6, 6), (9, 3), (1, 4), (8, 9), (4, 4)]


def test_routing_with_computed_distances_reaches_the_typed_in_optimum():
    n = len(POINTS)
    coords = f"n = {n};\nx = {[p[0] for p in POINTS]};\ny = {[p[1] for p in POINTS]};\n"
    typed = [[math.sqrt((a[0] - b[0]) ** 2 + (a[1] - b[1]) ** 2) for b in POINTS] for a in POINTS]
    rows = ",\n".join("[" + ", ".join(repr(v) for v in row) + "]" for row in typed)
    computed = solver.solve_problem(solver.build_problem(ROUTE.format(distances=COMPUTED), coords))
    by_hand = solver.solve_problem(solver.build_problem(
        ROUTE.format(distances="float dist[Stops][Stops] = ...;"), f"n = {n};\ndist = [\n{rows}];\n"))
    assert computed.status == by_hand.status == "optimal"
    assert computed.objective == pytest.approx(by_hand.objective, rel=1e-9)
    tree = compile_(ROUTE.format(distances=COMPUTED), coords)
    assert tree["data"]["dist"] == typed  # the same doubles as Python's math.sqrt
    # the generated script grounds the tree in the engine too
    ns = {}
    exec(SciPyCodeGenerator(tree, tree["data"]).generate_code(), ns)
    assert ns["objective"] == pytest.approx(by_hand.objective, rel=1e-6)


GOLDEN_MODELS = {
    "routing": (ROUTE.format(distances=COMPUTED), "n = 4;\nx = [0, 3, 3, 0];\ny = [0, 0, 4, 4];\n"),
    "net_price": VALUES["net price"][:2],
    "chained": VALUES["one computed array from another"][:2],
}


@pytest.mark.parametrize("name", GOLDEN_MODELS)
def test_the_engine_reads_computed_data_from_texts_and_from_the_tree(name):
    model, data = GOLDEN_MODELS[name]
    tree = compile_(model, data)
    computed = {d["name"] for d in tree["declarations"] if "index_names" in d and d["type"] == "param"}
    assert computed
    without = {k: v for k, v in tree["data"].items() if k not in computed}
    junk = dict(tree["data"], **{k: "junk" for k in computed})
    direct = _kelm.instantiate(model, data)
    for given in (tree["data"], without, junk, None):  # computed arrays are recomputed, whatever the data says
        problem = _kelm.instantiate_tree(tree, given)
        for key in ("c", "row_lower", "row_upper", "values", "indices"):
            assert list(problem[key]) == list(direct[key]), key


def test_computed_param_node_shape():
    tree = compile_(*VALUES["distances from coordinates"][:2])
    dist = next(d for d in tree["declarations"] if d["name"] == "dist")
    assert list(dist) == ["type", "name", "line", "value_type", "indices", "index_names", "value"]
    assert dist["index_names"] == ["i", "j"]
    power = dist["value"]["args"][0]["left"]
    assert power["op"] == "^" and power["right"] == {"type": "number", "value": 2}
    x = next(d for d in tree["declarations"] if d["name"] == "x")
    assert "index_names" not in x  # data arrays keep their node


@pytest.mark.parametrize("expr,value", [
    ("-2^2", -4), ("2^3^2", 512), ("(2^3)^2", 64), ("2 * 3^2", 18), ("2.0^-1 * 4", 2.0),
    ("-2.0^-2", -0.25), ("2^0", 1), ("7 mod 2^2", 3),
])
def test_power_precedence(expr, value):
    got = compile_(f"float v = {expr};\n" + OBJ)["data"]["v"]
    assert got == value
