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
keyed arrays #["A": 1, "B": 2]#. A value may come from a CSV table (header
row; file relative to the data folder):
  S = csv("sites.csv", "site");                  set: a column's distinct values
  Arcs = csv("arcs.csv", "from", "to", "km");    tuple set: one column per field
  cost = csv("cost.csv", "site", "zone" -> "cost");   array: key columns -> value
  near = csv("pairs.csv", "site", "zone" -> 1) default 0;   options: default V,
  dist = csv("d.csv", "a", "b" -> "km") symmetric diagonal 0;   symmetric, diagonal V
  n = csv("settings.csv", "name" -> "value")["sites_to_open"];   one cell

Checks (SemanticError "model:LINE:COL: ..." or "data:LINE:COL: ..."): syntax;
unknown, redeclared or out-of-scope names and fields; missing, extra or
ill-typed data; array sizes; index count, kind and constant range; exactly
one objective; constraints must hold a decision variable and be linear (no
product of two variables, no division by one).
"""

import os
from typing import Any, Dict, Optional, Union

from . import _kelm
from .semantic_error import SemanticError

__all__ = ["KelmCompiler", "SemanticError"]


class KelmCompiler:
    """Compiles a Tavro model (.mod text) with its data (.dat text)."""

    def compile_model(self, model_code: str, data_code: str, *,
                      data_dir: Optional[Union[str, "os.PathLike[str]"]] = None) -> Dict[str, Any]:
        """Return the compiled model; raise SemanticError for any fault.
        Tables bound in the data are read from data_dir (default: the current folder)."""
        return _kelm.compile(model_code, data_code, data_dir)
