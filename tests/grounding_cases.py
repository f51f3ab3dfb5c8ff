"""The grounded problems the engine must keep giving: every library example,
every benchmark gold pair and a table of models written for the shapes of
grounding (index arithmetic, coefficients from data, filtered sums over
tuple sets, dexprs, implications), each reduced to a digest of its arrays,
bounds and names.

    python tests/grounding_cases.py --write   # records tests/data/grounding_golden.json

The recorded file was written by the engine before term templates and the
indexed filters; test_grounding_golden.py compares the current engine with it.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
import sys
from importlib.resources import files
from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np

from tavro import _kelm

HERE = pathlib.Path(__file__).resolve().parent
GOLDEN = HERE / "data" / "grounding_golden.json"
GOLD_PAIRS = HERE / "data" / "benchmark_gold"

# (name, model, data): shapes the library does not cover, small enough to read.
MODELS: Tuple[Tuple[str, str, str], ...] = (
    ("affine_indices", """
range T = 1..6; range I = 1..3;
float d[T] = ...; float a[I][T] = ...;
dvar float+ stock[T]; dvar float+ make[I][T]; dvar float+ x[I][I];
minimize z: sum(i in I, t in T) a[i][t] * make[i][t] + sum(t in 2..6) 0.5 * stock[t - 1];
subject to {
  forall(t in T: t > 1) Bal: stock[t - 1] + sum(i in I) make[i][t] - d[t] == stock[t];
  forall(t in T: t < 6) Ahead: stock[t + 1] - 2 * stock[t] <= 10;
  forall(i in I, j in I: i != j) Sym: x[i][j] - x[j][i] + make[i][1] >= 0;
  forall(t in 3..6) Back2: stock[t - 2] + stock[t] + stock[t - 1] >= t;
  forall(i in I) Rev: x[4 - i][i] + x[i][(i mod 3) + 1] <= 7;
  Fixed: stock[1] + make[2][3] + x[1][1] >= 1;
}""", "d = [1, 2, 3, 4, 5, 6];\na = [[1, 2, 3, 4, 5, 6], [2, 2, 2, 2, 2, 2], [0.5, 0.25, 3, 1, 1, 9]];"),
    ("coefficients", """
{string} P = ...; {string} R = ...; int n = ...; range K = 1..n;
float w[P] = ...; float use[R][P] = ...; float cap[R] = ...; float scale = ...;
dvar float+ y[P]; dvar int+ k[K] in 0..10;
maximize z: sum(p in P) (w[p] / scale) * y[p] - sum(q in K) 0.1 * q * k[q];
subject to {
  forall(r in R) Cap: sum(p in P) use[r][p] * (2 * y[p]) <= cap[r] * 2;
  forall(r in R) Mix: sum(p in P: use[r][p] > 1) -use[r][p] * y[p] / 4 + scale * sum(q in K: q >= 2) k[q] >= -100;
  Div: sum(p in P) y[p] / w[p] <= 50;
  Neg: -(sum(p in P) -y[p]) - k[1] >= 0;
  Twice: sum(p in P) y[p] + sum(p in P) 2 * y[p] - y["B"] <= 99;
  Range: 1 <= sum(q in K) k[q] <= 2 * n;
}""", 'P = {"A", "B", "C"}; R = {"r1", "r2"}; n = 4; w = [1.5, 2, 4]; '
      'use = [[1, 2, 3], [0.5, 0, 2.5]]; cap = [10, 20]; scale = 3;'),
    ("tuple_filters", """
tuple Option { string task; string agent; float cost; float hours; int day; }
{Option} Options = ...; {string} Tasks = ...; {string} Agents = ...; range Days = 1..3;
float available[Agents] = ...;
dvar boolean assign[Options]; dvar float+ slack[Agents];
minimize TotalCost: sum(o in Options) o.cost * assign[o] + sum(a in Agents) 100 * slack[a];
subject to {
  forall(t in Tasks) Once: sum(o in Options: o.task == t) assign[o] == 1;
  forall(a in Agents) Hours: sum(o in Options: o.agent == a) o.hours * assign[o] <= available[a] + slack[a];
  forall(a in Agents, d in Days) Daily: sum(o in Options: o.agent == a && o.day == d) assign[o] <= 1;
  forall(a in Agents) Rev: sum(o in Options: a == o.agent && o.cost > 3) assign[o] <= 2;
  forall(o in Options) Same: sum(q in Options: q.task == o.task) assign[q] >= assign[o];
  forall(o in Options) Other: sum(q in Options: q.agent == o.agent && q.task != o.task) q.hours * assign[q]
                              + o.hours * assign[o] <= available[o.agent] + slack[o.agent];
  forall(t in Tasks) NotAda: sum(o in Options: o.task == t && o.agent != "Ada") assign[o] >= 0;
  forall(d in Days) ByDay: sum(o in Options: o.day == d) o.hours * assign[o] <= 30;
}""", 'Options = {<"T1", "Ada", 4, 3, 1>, <"T1", "Bo", 5, 2, 2>, <"T2", "Ada", 2, 4, 1>, <"T2", "Cy", 3, 3, 3>,\n'
      '  <"T3", "Bo", 6, 1, 2>, <"T3", "Cy", 1, 5, 2>, <"T4", "Ada", 7, 2, 3>};\n'
      'Tasks = {"T1", "T2", "T3", "T4"}; Agents = {"Ada", "Bo", "Cy"}; available = [8, 6, 9];'),
    ("dexprs_and_implications", """
range T = 1..4; {string} S = ...; float d[S][T] = ...; float big = ...;
dvar float+ make[S][T] in 0..50; dvar boolean on[S][T]; dvar float+ inv[S][T] in 0..80;
dexpr float out[s in S][t in T] = make[s][t] - d[s][t];
dexpr float total = sum(s in S, t in T) make[s][t];
minimize z: total + sum(s in S, t in T) (big * on[s][t] + 0.5 * inv[s][t]);
subject to {
  forall(s in S, t in T: t > 1) Flow: inv[s][t] == inv[s][t - 1] + out[s][t];
  forall(s in S) First: inv[s][1] == out[s][1] + 5;
  forall(s in S, t in T) Setup: on[s][t] == 0 => make[s][t] <= 0;
  forall(s in S, t in T) Min: on[s][t] == 1 => make[s][t] >= 3;
  forall(t in T) Cum: sum(u in 1..t, s in S) make[s][u] >= sum(u in 1..t, s in S) d[s][u];
  forall(t in T) Lim: total <= 400 + t;
}""", 'S = {"a", "b"}; d = [[3, 4, 5, 6], [1, 0, 2, 7]]; big = 20;'),
    ("int_sets_and_ranges", """
{int} Sizes = ...; int n = ...; range I = 1..n;
float len[Sizes] = ...; float need[Sizes] = ...;
dvar int+ cut[I][Sizes] in 0..20; dvar boolean used[I];
minimize z: sum(i in I) used[i];
subject to {
  forall(i in I) Width: sum(s in Sizes) len[s] * cut[i][s] <= 100 * used[i];
  forall(s in Sizes) Demand: sum(i in I) cut[i][s] >= need[s];
  forall(i in 2..n) Order: used[i] <= used[i - 1];
  forall(s in Sizes: s > 10) Big: sum(i in I: i mod 2 == 1) cut[i][s] <= 15;
}""", "Sizes = {7, 12, 20}; n = 5; len = [7, 12, 20]; need = [10, 6, 4];"),
)

# (name, model, data): faults found while grounding, each in a shape the
# templates handle; their messages are recorded as they are.
FAULTS: Tuple[Tuple[str, str, str], ...] = (
    ("index_past_range", "range T = 1..3; dvar float+ s[T]; minimize z: s[1];\n"
     "subject to { forall(t in T) Up: s[t + 1] >= s[t]; }", ""),
    ("index_below_range", "range T = 1..3; dvar float+ s[T]; minimize z: sum(t in T) s[t - 1];", ""),
    ("datum_index_not_in_set", '{string} S = ...; string prev[S] = ...; dvar float x[S];\n'
     'minimize z: x["A"]; subject to { forall(s in S) L: x[s] - x[prev[s]] >= 0; }',
     'S = {"A", "B"}; prev = ["A", "bogus"];'),
    ("division_by_zero_datum", "range I = 1..3; float a[I] = ...; dvar float+ x[I];\n"
     "minimize z: x[1]; subject to { c: sum(i in I) x[i] / a[i] <= 4; }", "a = [1, 2, 0];"),
    ("coefficient_not_finite", "range I = 1..2; float a[I] = ...; dvar float+ x[I];\n"
     "minimize z: sum(i in I) a[i] * x[i];", "a = [1, infinity];"),
    ("coefficient_overflows", "range I = 1..2; float a[I] = ...; dvar float+ x[I];\n"
     "minimize z: x[1]; subject to { c: sum(i in I) a[i] * (a[i] * x[i]) <= 1; }", "a = [1, 1e200];"),
    ("int_index_overflow", "range I = 1..2; int k = ...; dvar float+ x[I];\n"
     "minimize z: x[1]; subject to { c: sum(i in I) x[i + k] <= 1; }", "k = 9223372036854775807;"),
    ("tuple_field_filter_index_outside", "tuple O { string t; int d; } {O} Os = ...; range D = 1..2;\n"
     "dvar float+ x[Os]; dvar float+ y[D]; minimize z: sum(o in Os) x[o];\n"
     "subject to { forall(o in Os) c: sum(q in Os: q.t == o.t) y[q.d] <= 1; }",
     'Os = {<"a", 1>, <"a", 3>};'),
    ("cancels_to_false", "range I = 1..2; dvar float x[I]; minimize z: x[1];\n"
     "subject to { forall(i in I) bad: sum(j in I: j == i) x[j] - x[i] >= 1; }", ""),
)


def _array_digest(a: Any) -> str:
    arr = np.ascontiguousarray(a)
    # +0.0: a zero's sign is no part of the problem.
    if arr.dtype.kind == "f":
        arr = arr + 0.0
    return hashlib.sha256(arr.dtype.str.encode() + arr.tobytes()).hexdigest()[:20]


def digest(problem: Dict[str, Any]) -> Dict[str, Any]:
    """The arrays of a grounded problem as short hashes, its names as one
    hash, and its sizes as they are (to read a failure)."""
    out: Dict[str, Any] = {
        "rows": len(problem["row_lower"]), "columns": len(problem["c"]), "nonzeros": len(problem["values"]),
        "sense": problem["sense"], "offset": repr(float(problem["offset"])),
        "objective_name": problem["objective_name"],
    }
    for name in ("c", "col_lower", "col_upper", "integrality", "row_lower", "row_upper", "indptr", "indices",
                 "values"):
        out[name] = _array_digest(problem[name])
    names = json.dumps([problem["columns"], problem["rows"]], default=list, ensure_ascii=False)
    out["names"] = hashlib.sha256(names.encode()).hexdigest()[:20]
    return out


def _library() -> Iterator[Tuple[str, str, str, Optional[str]]]:
    for kind in ("kelm_models", "kelm_models_csv"):
        root = pathlib.Path(str(files("tavro") / kind))
        for folder in sorted(p for p in root.iterdir() if p.is_dir()):
            model = (folder / (folder.name + ".mod")).read_text(encoding="utf-8")
            data = (folder / (folder.name + ".dat")).read_text(encoding="utf-8")
            yield "%s/%s" % (kind, folder.name), model, data, str(folder)


def cases() -> Iterator[Tuple[str, str, str, Optional[str]]]:
    """(name, model, data, data folder) of every case."""
    yield from _library()
    for mod in sorted(GOLD_PAIRS.glob("*.mod")):
        yield ("benchmark_gold/" + mod.stem, mod.read_text(encoding="utf-8"),
               mod.with_suffix(".dat").read_text(encoding="utf-8"), None)
    for name, model, data in MODELS:
        yield "models/" + name, model, data, None


def ground(model: str, data: str, folder: Optional[str]) -> Dict[str, Any]:
    problem: Dict[str, Any] = _kelm.instantiate(model, data, folder)
    return digest(problem)


def fault(model: str, data: str) -> str:
    """The message of a model that does not ground."""
    try:
        _kelm.instantiate(model, data)
    except Exception as e:  # SemanticError
        return str(e)
    raise AssertionError("grounded without a fault")


def main(argv: list[str]) -> int:
    if argv != ["--write"]:
        print(__doc__)
        return 2
    table: Dict[str, Any] = {name: ground(model, data, folder) for name, model, data, folder in cases()}
    table.update({"faults/" + name: fault(model, data) for name, model, data in FAULTS})
    GOLDEN.write_text(json.dumps(table, indent=1, sort_keys=True) + "\n", encoding="utf-8")
    print("%d cases written to %s" % (len(table), GOLDEN))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
