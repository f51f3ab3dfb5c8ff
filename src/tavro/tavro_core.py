"""Tavro compiler: KelmCompiler().compile_model(model_code, data_code).

A Tavro model is a model text (.mod) and a data text (.dat). Names are
case-sensitive and declared before use; comments are // and /* */.

Model items (each ends with ';'):
  tuple Arc { string src; string dst; float cost; }   fields int/float/string
  range I = 1..n;                      int bounds over data
  int n;  float r = 0.5;  string s = "x";   no value or '= ...': from the data
  {string} S = ...;  {int} K = {1, 2};  {Arc} Arcs = ...;
  float c[S] = ...;  float d[I][J];    arrays: values always from the data
  dvar float x;  dvar float+ y[S];  dvar int+ k[I];  dvar boolean b[S];
  dvar float f[Arcs] in 0..cap;        optional bounds (not for boolean)
  dexpr float t = sum(i in S) c[i]*y[i];   not indexed
  minimize Cost: t;                    exactly one minimize/maximize
  subject to { ... }                   at most one block of constraints:
    label: e1 <= e2;   e1 >= e2;   e1 == e2;   lo <= e <= hi;
    forall(i in I, j in J: i != j) { ... }   or forall(...) constraint;
Expressions: numbers, "strings", names, a[i][j], t.field, + - * /, unary -,
( ), sum(i in S, j in 1..n: filter) term (takes one term: sum(...) a + b is
(sum(...) a) + b). Data only: min/max(a, b), min/max(i in S) e, abs(e),
card(S), == != < <= > >=, &&, ||, !.

Data items: name = value;  values 3, -1.5e2, "text", {1, 2}, [1, 2],
[[1, 2], [3, 4]] (in index order), <"A", "B", 3.5>, {<"A", 1>, <"B", 2>},
keyed arrays #["A": 1, "B": 2]#.

Checks (SemanticError "model:LINE:COL: ..." or "data:LINE:COL: ..."): syntax;
unknown, redeclared or out-of-scope names and fields; missing, extra or
ill-typed data; array sizes; index count, kind and constant range; exactly
one objective; constraints must hold a decision variable and be linear (no
product of two variables, no division by one).
"""

from typing import Any

from . import _kelm
from .semantic_error import SemanticError

__all__ = ["KelmCompiler", "SemanticError"]


class KelmCompiler:
    """Compiles a Tavro model (.mod text) with its data (.dat text)."""

    def compile_model(self, model_code: str, data_code: str, *, work_limit: int | None = None,
                      deadline: float | None = None, cancel: _kelm.CancelToken | None = None) -> dict[str, Any]:
        """Return the compiled model; raise SemanticError for any fault.

        Optional bounds on the work (tavro._kelm.compile): work_limit (steps,
        default 200000000), deadline (a time.monotonic() value; TimeoutError
        past it), cancel (a tavro._kelm.CancelToken; KeyboardInterrupt once set).
        """
        return _kelm.compile(model_code, data_code, work_limit=work_limit, deadline=deadline, cancel=cancel)
