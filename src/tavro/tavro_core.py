"""Tavro compiler: KelmCompiler().compile_model(model_code, data_code).

A Tavro model is a model text (.mod) and a data text (.dat). Names are
case-sensitive and declared before use; comments are // and /* */.

Example model (items end with ';'; it compiles with the data after it):
  tuple Arc { string src; string dst; float cost; }   // fields int/float/string
  int n;                               // no value or '= ...': from the data
  float r = 0.5;  string s = "A";  float big = infinity;
  range I = 1..n;                      // int bounds over data
  {string} S = ...;  {int} K = {1, 2};  {Arc} Arcs = ...;
  float c[S] = ...;  float d[I][1..2];  // arrays from the data
  float net[i in S] = sqrt(c[i]) - r;  // computed array: every index named, data only
  dvar float x;  dvar float+ y[S];  dvar int+ k[I] in 0..9;  dvar boolean b[S];
  dvar float f[a in Arcs] in 0..a.cost;  // bounds (not boolean), per element
  dexpr float t = sum(i in S) c[i] * y[i];
  dexpr float u[i in I] = x + d[i][1];  // indexed dexpr, used as u[i]
  minimize Cost: t + sum(i in I) u[i];  // exactly one minimize/maximize
  subject to {                         // at most one block
    Budget: t <= 100;  x >= -5;  0 <= x <= big;
    forall(i in I, j in I: i != j) k[i] + k[j] >= (i + j) mod 3;
    forall(a in Arcs) b[a.src] == 0 => f[a] <= 0;  // implication, b boolean
  }
Example data:
  n = 2;  S = {"A", "B"};  Arcs = {<"A", "B", 3.5>};
  c = #["B": 2, "A": 1]#;  d = [[1, 2], [3, 4]];  // arrays in index order, or keyed

Expressions: numbers, "strings", names, a[i][j], t.field, ( ), + - * /,
unary -, infinity; sum(i in S, j in 1..n: filter) term (one term: sum(...)
a + b is (sum(...) a) + b). Data only: a ^ b (right to left, above unary
minus: -2^2 is -4), pow(a, b), sqrt exp log, floor ceil round (ints; round
halves away from 0), a mod b (int, sign of b), min/max(a, b), min/max(i in
S) e, abs, card(S), == != < <= > >=, &&, ||, !. Precedence: ^, unary,
* / mod, + -, comparisons, &&, ||.

Answers model ('not:' is refused):
  tuple Row { string prod; string proc; }
  {string} P = ...;  {Row} Rows = ...;  float x[P] = ...;  float y[P] = ...;
  int n;                               // the same as 'int n = ...;'
  string top = "A";
  float half = n / 2;                  // '/' gives a float; not: int half = n / 2;
  int h = floor(n / 2);                // data may go unused
  float dist[i in P][j in P] = sqrt((x[i] - x[j])^2 + (y[i] - y[j])^2);  // not: float e[i in P: i != top] = 1;
  int nA = sum(q in Rows: q.proc == "A") 1;  // strings: == != only; not: int nB = sum(q in Rows: q.proc < "B") 1;
  dvar float+ make[P];
  dvar int+ k in 0..9;                 // int+ takes bounds too
  dexpr float r = x[top] / 2;          // no dvar: r * make[p] is linear
  maximize Z: sum(q in Rows) r * make[q.prod] + k;  // a field or string datum indexes
  subject to {
    forall(p in P) make[p] / n <= 5;   // data divides; not: forall(p in P) n / make[p] <= 1;
    forall(t in 1..7) make[top] >= (t + 5) mod 7;  // mod on ints of data; not: make[top] mod 2 >= 0;
  }
Answers data:
  // data files take comments
  P = {"A", "B"};  Rows = {<"A", "A">, <"B", "C">};  x = [0, 3];  y = [0, 4];  n = 4;

CSV tables, only for data given as tables (a file inside the data folder,
header row; the shape follows the declaration):
  S = csv("sites.csv", "site");                      // set: distinct values
  Arcs = csv("arcs.csv", "from", "to", "km");        // tuple set: a column per field
  cost = csv("cost.csv", "site", "zone" -> "cost");  // key columns -> value
  near = csv("pairs.csv", "site", "zone" -> 1) default 0;    // missing keys: 0
  km = csv("roads.csv", "a", "b" -> "km") symmetric diagonal 0;  // [b][a] from [a][b]
  n = csv("settings.csv", "name" -> "value")["open"];        // one cell
Every key in its index set, given once (or 'default V', which also fills
blank cells); int columns fill float arrays.

Not in the language: var/param/set, a[i,j], < > = =< in constraints, if
(filters or =>), % and ** (mod, ^), inf (infinity), boolean data, filters
in a declaration's index, array literals in the model.

Checks (SemanticError "model:LINE:COL: ..." or "data:LINE:COL: ..."): syntax;
unknown, redeclared or out-of-scope names and fields; missing, extra or
ill-typed data; array sizes; index count, kind and range; exactly one
objective; constraints must hold a decision variable and be linear (no
product of two variables, no division by one); sqrt/log of a negative,
log(0), overflow; swapped model and data files; a table's faults name its
row and column.
"""

import os
import threading
from typing import Any, Dict, Optional, Union

from . import _kelm
from .semantic_error import SemanticError

__all__ = ["KelmCompiler", "SemanticError"]


class KelmCompiler:
    """Compiles a Tavro model (.mod text) with its data (.dat text)."""

    def compile_model(self, model_code: str, data_code: str, *,
                      data_dir: Optional[Union[str, "os.PathLike[str]"]] = None, work_limit: Optional[int] = None,
                      deadline: Optional[float] = None,
                      cancel: Union[_kelm.CancelToken, threading.Event, None] = None) -> Dict[str, Any]:
        """Return the compiled model; raise SemanticError for any fault.
        Tables bound in the data are read from data_dir (default: the current folder).

        Optional bounds on the work (tavro._kelm.compile): work_limit (steps,
        default 200000000), deadline (a time.monotonic() value; TimeoutError
        past it), cancel (a tavro._kelm.CancelToken or a threading.Event;
        KeyboardInterrupt once set).
        """
        bounds: Dict[str, Any] = {k: v for k, v in (("work_limit", work_limit), ("deadline", deadline),
                                                         ("cancel", cancel)) if v is not None}
        return _kelm.compile(model_code, data_code, data_dir, **bounds)
