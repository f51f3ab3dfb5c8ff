"""A linear program written by tavro (SciPyCSCCodeGenerator).

Builds the problem with numpy and scipy.sparse and solves it with
HiGHS through scipy.optimize (linprog, or milp for integers). Run as a program it prints a short report;
executed in any other way it solves at top level and leaves `results`
(SciPy's result), `status`, `objective` (in the model's sense) and
`solution` (the values keyed by the model's names) in its namespace.
"""


import numpy as np
import scipy.sparse

# ---- tavro._answer: the solve and the shaping of values, as tavro.solver runs them ----
"""Checking an answer against the problem and shaping it into the model's
names; the SciPy solve of a generated script.

`tavro.solver` imports this module, and the SciPy script writer embeds its
source, so a generated script and `tavro solve` check and shape their
answers through the same lines. Everything but `solve_scipy` needs numpy
only.
"""

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

STATUSES = ("optimal", "infeasible", "unbounded", "infeasible_or_unbounded", "limit", "error")

# A point is accepted when every row and bound holds to TOLERANCE in the
# model's units, or to RELATIVE_TOLERANCE of the row's size where that is
# larger (size: max(|bound|, largest |a_ij x_j| of the row)). HiGHS works to
# 1e-7 on its scaled problem: on a row it scales down (a big-M row of size
# 1e8) that allows a violation of 10 in the model's units, which this check
# reports; double precision itself is good to about 1e-15 of the size.
TOLERANCE = 1e-6
RELATIVE_TOLERANCE = 1e-9
# Coefficients whose largest and smallest magnitude in one row (or in the
# objective) differ by more than this defeat double precision at HiGHS's
# tolerances (1e-7 relative on 16 digits): its answer cannot be trusted.
RANGE_LIMIT = 1e9
# HiGHS drops matrix entries at or below small_matrix_value and refuses
# entries at or above large_matrix_value (its option defaults).
SMALL_COEFFICIENT = 1e-9
LARGE_COEFFICIENT = 1e15
# Rows whose largest magnitude lies outside [SCALE_BELOW, SCALE_ABOVE) are
# handed to HiGHS multiplied by a power of two (exact in binary floating
# point): small rows up to [0.5, 1), so that HiGHS neither drops their
# entries nor judges them to an absolute tolerance larger than the row
# itself; large rows down to [SCALE_ABOVE / 2, SCALE_ABOVE), within what
# HiGHS accepts. A small row's tolerance is taken in its own units
# (TOLERANCE times its largest magnitude).
SCALE_BELOW = 2.0 ** -10
SCALE_ABOVE = 2.0 ** 40
# HiGHS takes a bound of this size or more for no bound (its infinite_bound).
INFINITE_BOUND = 1e20
# Rows named in one warning.
_NAMED = 5

# (kind, index, amount): the row or column bound violated furthest beyond
# its tolerance, and by how much in the model's units.
Violation = Tuple[str, int, float]


def _rows_of(indptr: Any, n: int) -> Any:
    return np.repeat(np.arange(n), np.diff(indptr))


def _row_largest(indices: Any, data: Any, m: int) -> Any:
    largest = np.zeros(m)
    np.maximum.at(largest, indices, np.abs(data))
    return largest


def row_scales(indices: Any, data: Any, m: int, row_lower: Any = None, row_upper: Any = None,
               largest: Any = None) -> Optional[Any]:
    """The power of two each row is multiplied by before HiGHS sees it (see
    SCALE_BELOW), or None when every row is left as it is. A row whose
    bounds the factor would carry to INFINITE_BOUND or past is left as it
    is (HiGHS would take the bound for none). `largest`: each row's largest
    magnitude, when the caller has it."""
    if not data.size:
        return None
    size = np.abs(data)
    if size.min() >= SCALE_BELOW and size.max() < SCALE_ABOVE:
        return None
    largest = _row_largest(indices, data, m) if largest is None else largest
    exponent = np.frexp(largest)[1]  # largest = f * 2**exponent, f in [0.5, 1)
    small = (largest > 0) & (largest < SCALE_BELOW)
    large = largest >= SCALE_ABOVE
    if not (small.any() or large.any()):
        return None
    scale = np.ones(m)
    scale[small] = np.ldexp(1.0, np.minimum(-exponent[small], 1000))
    scale[large] = np.ldexp(1.0, int(np.frexp(SCALE_ABOVE)[1]) - 1 - exponent[large])
    if row_lower is not None and row_upper is not None:
        with np.errstate(invalid="ignore", over="ignore"):
            bound = np.fmax(np.where(np.isfinite(row_lower), np.abs(row_lower), 0.0),
                            np.where(np.isfinite(row_upper), np.abs(row_upper), 0.0))
            scale[bound * scale >= INFINITE_BOUND] = 1.0
    return scale


def check_point(x: Any, indptr: Any, indices: Any, data: Any, row_lower: Any, row_upper: Any, col_lower: Any,
                col_upper: Any) -> Tuple[float, Optional[Violation]]:
    """The largest absolute violation of any row or bound at x (A in CSC
    arrays), and the violation furthest beyond its tolerance (None when
    every row and bound holds)."""
    m = row_lower.size
    coef_x = data * np.repeat(x, np.diff(indptr))
    activity = np.bincount(indices, weights=coef_x, minlength=m)[:m] if m else np.zeros(0)
    with np.errstate(invalid="ignore"):
        row_excess = np.maximum(np.maximum(row_lower - activity, activity - row_upper), 0.0)
        col_excess = np.maximum(np.maximum(col_lower - x, x - col_upper), 0.0)
    row_excess[np.isnan(row_excess)] = 0.0
    col_excess[np.isnan(col_excess)] = 0.0
    worst_amount = max(float(row_excess.max(initial=0.0)), float(col_excess.max(initial=0.0)))
    # Only a violation over a row's own tolerance can be beyond its scaled one.
    limit = np.full(m, TOLERANCE)
    if data.size and np.abs(data).min() < SCALE_BELOW:
        largest = _row_largest(indices, data, m)
        small = (largest > 0) & (largest < SCALE_BELOW)
        limit[small] *= largest[small]
    worst: Optional[Violation] = None
    worst_ratio = 1.0
    rows = np.flatnonzero(row_excess > limit)
    if rows.size:
        term = np.zeros(m)
        np.maximum.at(term, indices, np.abs(coef_x))
        bound = np.where(activity < row_lower, row_lower, row_upper)[rows]
        size = np.maximum(np.abs(bound), term[rows])
        ratio = row_excess[rows] / np.maximum(limit[rows], RELATIVE_TOLERANCE * size)
        k = int(np.argmax(ratio))
        if ratio[k] > worst_ratio:
            worst_ratio, worst = float(ratio[k]), ("row", int(rows[k]), float(row_excess[rows[k]]))
    cols = np.flatnonzero(col_excess > TOLERANCE)
    if cols.size:
        bound = np.where(x < col_lower, col_lower, col_upper)[cols]
        ratio = col_excess[cols] / np.maximum(TOLERANCE, RELATIVE_TOLERANCE * np.abs(bound))
        k = int(np.argmax(ratio))
        if ratio[k] > worst_ratio:
            worst = ("column", int(cols[k]), float(col_excess[cols[k]]))
    return worst_amount + 0.0, worst


def settle_point(x: Any, integrality: Any, indptr: Any, indices: Any, data: Any, row_lower: Any, row_upper: Any,
                 col_lower: Any, col_upper: Any) -> Tuple[Any, float, Optional[Violation], Optional[Violation]]:
    """The point to report: integer columns rounded when the rounded point
    still holds every row and bound, else the solver's own point; with its
    largest violation, the violation beyond tolerance (if any) and, when
    rounding was refused, what rounding would have violated."""
    arrays = (indptr, indices, data, row_lower, row_upper, col_lower, col_upper)
    x = np.asarray(x, dtype=float) + 0.0
    refused = None
    if integrality.any():
        rounded = np.where(integrality == 1, np.round(x), x) + 0.0
        largest, refused = check_point(rounded, *arrays)
        if refused is None:
            return rounded, largest, None, None
    largest, worst = check_point(x, *arrays)
    return x, largest, worst, refused


def rounding_warning(refused: Violation, row_name: Callable[[int], str], column_name: Callable[[int], str]) -> str:
    kind, index, amount = refused
    what = "constraint %s" % row_name(index) if kind == "row" else "the bounds of %s" % column_name(index)
    return ("integer variables are reported unrounded: rounding them would violate %s by %.6g (HiGHS accepts "
            "integers to within 1e-6; a large big-M constant turns that into a real violation)" % (what, amount))


def violation_text(worst: Violation, row_name: Callable[[int], str], column_name: Callable[[int], str]) -> str:
    kind, index, amount = worst
    what = "constraint %s" % row_name(index) if kind == "row" else "the bounds of %s" % column_name(index)
    return "the solver's point violates %s by %.6g" % (what, amount)


def coefficient_warnings(indptr: Any, indices: Any, data: Any, m: int, c: Any,
                         row_name: Callable[[int], str], row_lower: Any = None, row_upper: Any = None) -> List[str]:
    """Warnings about coefficients HiGHS cannot be trusted with: a row or an
    objective whose magnitudes span more than RANGE_LIMIT, and entries HiGHS
    drops (too small) or refuses (too large)."""
    out = []
    size = np.abs(data)
    if size.size:
        largest = np.zeros(m)
        smallest = np.full(m, np.inf)
        np.maximum.at(largest, indices, size)
        np.minimum.at(smallest, indices, size)
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = largest / smallest
        scale = row_scales(indices, data, m, row_lower, row_upper, largest)
        if scale is not None:  # the magnitudes HiGHS is handed
            largest, smallest = largest * scale, smallest * scale
        wide = np.flatnonzero(ratio > RANGE_LIMIT)
        if wide.size:
            out.append("coefficients spanning more than %.0e in %s: HiGHS's answer may be inaccurate"
                       % (RANGE_LIMIT, _listed(wide, lambda i: "%s (%.1e)" % (row_name(i), ratio[i]))))
        tiny = np.flatnonzero(smallest <= SMALL_COEFFICIENT)
        if tiny.size:
            out.append("coefficients of %.0e or less, which HiGHS treats as zero, in %s"
                       % (SMALL_COEFFICIENT, _listed(tiny, row_name)))
        huge = np.flatnonzero(largest >= LARGE_COEFFICIENT)
        if huge.size:
            out.append("coefficients of %.0e or more, which HiGHS refuses, in %s"
                       % (LARGE_COEFFICIENT, _listed(huge, row_name)))
    cost = np.abs(c[c != 0])
    if cost.size and cost.max() / cost.min() > RANGE_LIMIT:
        out.append("objective coefficients spanning more than %.0e (%.1e): HiGHS's answer may be inaccurate"
                   % (RANGE_LIMIT, cost.max() / cost.min()))
    return out


def _listed(rows: Any, name: Callable[[int], str]) -> str:
    shown = [name(int(i)) for i in rows[:_NAMED]]
    more = len(rows) - len(shown)
    return ("row " if len(rows) == 1 else "rows ") + ", ".join(shown) + (" and %d more" % more if more > 0 else "")


def key_of_json(key: Any) -> Any:
    """An index value read back from JSON: a tuple where JSON has a list."""
    return tuple(key_of_json(k) for k in key) if isinstance(key, list) else key


def nest_columns(x: Any, blocks: Sequence[Tuple[str, int, Sequence[Sequence[Any]]]]) -> Dict[Any, Any]:
    """Values keyed by the model's names: {name: value} for a scalar
    variable, nested dictionaries keyed by each index value for an indexed
    one. `blocks` lists (name, first column, [keys of each index set]) per
    variable, the columns of one variable in row-major order."""
    out: Dict[Any, Any] = {}
    for name, first, dims in blocks:
        size = 1
        for d in dims:
            size *= len(d)
        flat = np.asarray(x[first:first + size], dtype=float)
        if not dims:
            out[name] = float(flat[0])
            continue
        out[name] = _nest_grid(flat.reshape([len(d) for d in dims]).tolist(), dims, 0)
    return out


def _nest_grid(grid: Any, dims: Sequence[Sequence[Any]], level: int) -> Dict[Any, Any]:
    if level == len(dims) - 1:
        return dict(zip(dims[level], grid))
    return {key: _nest_grid(sub, dims, level + 1) for key, sub in zip(dims[level], grid)}


def nest_rows(y: Any, blocks: Sequence[Tuple[str, int, int, Sequence[Any]]]) -> Dict[Any, Any]:
    """Row values (duals, activities) keyed like nest_columns: a constraint
    outside any forall by its label, one under foralls as nested
    dictionaries keyed by each forall index value. `blocks` lists (label,
    first row, arity, index keys: arity per row)."""
    out: Dict[Any, Any] = {}
    for label, first, arity, index in blocks:
        count = len(index) // arity if arity else 1
        values = np.asarray(y[first:first + count], dtype=float).tolist()
        if arity == 0:
            out[label] = values[0] if values else None
            continue
        tree = out.setdefault(label, {})
        for r, value in enumerate(values):
            node = tree
            keys = index[r * arity:(r + 1) * arity]
            for key in keys[:-1]:
                node = node.setdefault(key, {})
            node[keys[-1]] = value
    return out


def trivial_status(row_lower: Any, row_upper: Any, col_lower: Any, col_upper: Any) -> Optional[str]:
    """The status of a problem that needs no solver: "infeasible" when a row's
    or a column's own bounds cross, "optimal" or "infeasible" when there are
    no columns (every row is 0 and must lie within its bounds); else None."""
    if (col_lower > col_upper).any() or (row_lower > row_upper).any():
        return "infeasible"
    if col_lower.size == 0:
        holds = bool(np.all(row_lower <= 1e-9) and np.all(row_upper >= -1e-9))
        return "optimal" if holds else "infeasible"
    return None


def _status_of(code: int, message: str) -> str:
    if code == 0:
        return "optimal"
    if code == 1:
        return "limit"
    if code == 2:
        return "infeasible"
    if code == 3:
        return "unbounded"
    if "unbounded or infeasible" in message.lower():
        return "infeasible_or_unbounded"
    return "error"


# A reduced cost of the wrong sign beyond this (times the column's cost, at
# least 1) means linprog's optimum is not one.
DUAL_RECHECK = 1e-9


def _dual_infeasible(res: Any, cost: Any) -> bool:
    tolerance = DUAL_RECHECK * np.maximum(1.0, np.abs(cost))
    return bool((res.lower.marginals < -tolerance).any() or (res.upper.marginals > tolerance).any())


def solve_scipy(c: Any, A: Any, row_lower: Any, row_upper: Any, col_lower: Any, col_upper: Any, integrality: Any,
                maximize: bool) -> Tuple[Any, str, Any, Any, Any]:
    """One solve with SciPy's HiGHS: a linear program through linprog (its
    marginals are the duals), a MIP through milp. Returns (SciPy's result,
    status, x, row duals, reduced costs); the duals in the model's sense (the
    change of the objective per unit increase of a row's bound or a
    column's value), None unless an LP was solved to optimality."""
    from scipy.optimize import Bounds, LinearConstraint, linprog, milp

    cost = -c if maximize else c
    scale = row_scales(A.indices, A.data, row_lower.size, row_lower, row_upper)
    if scale is not None:  # see SCALE_BELOW; the duals are scaled back below
        A = A.tocsc(copy=True)
        A.data *= scale[A.indices]
        row_lower, row_upper = row_lower * scale, row_upper * scale

    def run(objective: Any, options: Optional[Dict[str, float]] = None) -> Any:
        if integrality.any():
            constraints = [LinearConstraint(A, row_lower, row_upper)] if A.shape[0] else []
            return milp(objective, integrality=integrality, bounds=Bounds(col_lower, col_upper),
                        constraints=constraints)
        rows = A.tocsr()
        eq = np.flatnonzero(row_lower == row_upper)
        ub = np.flatnonzero((row_lower != row_upper) & np.isfinite(row_upper))
        lb = np.flatnonzero((row_lower != row_upper) & np.isfinite(row_lower))
        import scipy.sparse

        A_ub = scipy.sparse.vstack([rows[ub], -rows[lb]], format="csr") if ub.size + lb.size else None
        b_ub = np.concatenate([row_upper[ub], -row_lower[lb]]) if A_ub is not None else None
        res = linprog(objective, A_ub=A_ub, b_ub=b_ub, A_eq=rows[eq] if eq.size else None,
                      b_eq=row_lower[eq] if eq.size else None, bounds=np.column_stack([col_lower, col_upper]),
                      method="highs", options=options)
        res.split = (eq, ub, lb)
        return res

    res = run(cost)
    status = _status_of(res.status, res.message or "")
    if status == "optimal" and not integrality.any() and _dual_infeasible(res, cost):
        # An optimum whose reduced costs have the wrong sign beyond
        # DUAL_RECHECK (HiGHS allows 1e-7, so a column of tiny coefficients
        # may look settled): solved again to HiGHS's tightest dual tolerance.
        again = run(cost, {"dual_feasibility_tolerance": 1e-10})
        decided = _status_of(again.status, again.message or "")
        if decided in ("optimal", "infeasible", "unbounded", "infeasible_or_unbounded"):
            res, status = again, decided
    if status == "infeasible_or_unbounded" or (status == "unbounded" and integrality.any()):
        # HiGHS may stop at "unbounded or infeasible" (or report a MIP
        # unbounded from its relaxation): the same rows with a zero
        # objective settle it.
        tie = _status_of(run(np.zeros_like(cost)).status, "")
        status = {"optimal": "unbounded", "infeasible": "infeasible"}.get(tie, "infeasible_or_unbounded")
    if (scale is not None and not integrality.any() and getattr(res, "ineqlin", None) is not None
            and getattr(res, "eqlin", None) is not None):
        # SciPy's result in the model's units, as if the rows had not been scaled.
        eq, ub, lb = res.split
        inequality = np.concatenate([scale[ub], scale[lb]])
        res.ineqlin.marginals = res.ineqlin.marginals * inequality
        res.ineqlin.residual = res.ineqlin.residual / inequality
        res.eqlin.marginals = res.eqlin.marginals * scale[eq]
        res.eqlin.residual = res.eqlin.residual / scale[eq]
    x = res.x if status in ("optimal", "limit") else None
    y = reduced = None
    if status == "optimal" and not integrality.any():
        eq, ub, lb = res.split
        y = np.zeros(row_lower.size)
        if ub.size + lb.size:
            m = res.ineqlin.marginals
            y[ub] += m[:ub.size]
            y[lb] -= m[ub.size:]
        if eq.size:
            y[eq] += res.eqlin.marginals
        reduced = res.lower.marginals + res.upper.marginals
        sign = -1.0 if maximize else 1.0
        y, reduced = sign * y + 0.0, sign * reduced + 0.0
    return res, status, x, y, reduced
# ---- end of tavro._answer ----


# ---- tavro._escape: texts and numbers as tavro solve's report shows them ----
"""Text and numbers as the reports show them: ``shown`` escapes the control
characters that could drive a terminal or forge a line of a report in a
text from a model, its data or a solver; ``report_number`` is the one
number format of the reports. The command line prints through them, and the
SciPy script writer embeds this module's source, so a generated script's
report reads exactly as ``tavro solve``'s. Standard library only."""

import math
import re

# C0 controls except tab and newline, DEL and the C1 controls (CSI etc.),
# and the bidirectional controls that reorder what a terminal shows
# (embeddings and overrides, isolates, the LRM/RLM and Arabic letter marks).
_BIDI = "\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f" + _BIDI + "]")
_CONTROL_ONE_LINE = re.compile("[\x00-\x1f\x7f-\x9f" + _BIDI + "]")


def _escape(m: "re.Match[str]", json_text: bool) -> str:
    code = ord(m.group())
    return "\\u%04x" % code if json_text or code > 0xFF else "\\x%02x" % code


def shown(text: object, json_text: bool = False, one_line: bool = False) -> str:
    """``text`` with terminal control characters replaced by ``\\xNN`` escapes
    (``\\uNNNN`` for the bidirectional controls, and inside JSON text, which
    keeps the document valid). ``one_line`` escapes newline and tab too: for
    a name or a datum that must not start a line of its own in a report."""
    pattern = _CONTROL_ONE_LINE if one_line else _CONTROL
    return pattern.sub(lambda m: _escape(m, json_text), str(text))


# Whole numbers below this are shown in full by report_number.
_WHOLE = 1e15


def report_number(x: float) -> str:
    """A number as the reports show it: a whole number below 1e15 in full
    (3, 120000000000), others to 10 significant digits (3.193548387,
    2.5e-07), -0 as 0; inf and nan as ``repr`` writes them."""
    x = float(x)
    if not math.isfinite(x):
        return repr(x)
    if x.is_integer() and abs(x) < _WHOLE:
        return str(int(x))
    return "%.10g" % x
# ---- end of tavro._escape ----


# ---- the problem: min or max c.x + OFFSET, row_lower <= A x <= row_upper,
#      col_lower <= x <= col_upper, x[j] integer where integrality[j] == 1 ----
MAXIMIZE = False
OFFSET = 0.0
OBJECTIVE_NAME = 'TotalCost'
inf = float('inf')

# One column per variable: name, lower bound, upper bound, integer (1) or not (0),
# objective coefficient.
_columns = [
    # name                  lower   upper   int   cost
    ('servings[Oatmeal]',  0.0,    4.0,    0,    0.3),
    ('servings[Milk]',     0.0,    4.0,    0,    0.25),
    ('servings[Eggs]',     0.0,    4.0,    0,    0.4),
    ('servings[Chicken]',  0.0,    4.0,    0,    1.2),
    ('servings[Rice]',     0.0,    4.0,    0,    0.2),
    ('servings[Spinach]',  0.0,    4.0,    0,    0.6),
]

# One row per constraint: name, lower bound, upper bound, [(column, coefficient), ...].
_rows = [
    # name                          lower    upper   terms
    ('NutrientMinimum[Calories]',  2000.0,  inf,    [(0, 110.0), (1, 160.0), (2, 155.0), (3, 240.0), (4, 205.0), (5, 40.0)]),
    ('NutrientMinimum[Protein]',   55.0,    inf,    [(0, 4.0), (1, 8.0), (2, 13.0), (3, 27.0), (4, 4.0), (5, 5.0)]),
    ('NutrientMinimum[Calcium]',   800.0,   inf,    [(0, 2.0), (1, 285.0), (2, 50.0), (3, 15.0), (4, 16.0), (5, 245.0)]),
    ('NutrientMinimum[Iron]',      12.0,    inf,    [(0, 1.7), (1, 0.1), (2, 1.2), (3, 1.0), (4, 1.9), (5, 6.4)]),
]

column_names = [col[0] for col in _columns]
col_lower = np.array([col[1] for col in _columns], dtype=float)
col_upper = np.array([col[2] for col in _columns], dtype=float)
integrality = np.array([col[3] for col in _columns], dtype=np.uint8)
c = np.array([col[4] for col in _columns], dtype=float)
row_names = [row[0] for row in _rows]
row_lower = np.array([row[1] for row in _rows], dtype=float)
row_upper = np.array([row[2] for row in _rows], dtype=float)
_entries = [(i, j, a) for i, row in enumerate(_rows) for j, a in row[3]]
A = scipy.sparse.csc_matrix(
    ([e[2] for e in _entries], ([e[0] for e in _entries], [e[1] for e in _entries])),
    shape=(len(_rows), len(_columns)), dtype=float)
# Each variable's first column and the values of its index sets; each constraint's first row
# and the values of its forall indices (for the answer keyed by them).
_variables = [
    ('servings', 0, [['Oatmeal', 'Milk', 'Eggs', 'Chicken', 'Rice', 'Spinach']]),
]
_constraints = [
    ('NutrientMinimum', 0, 1, ['Calories', 'Protein', 'Calcium', 'Iron']),
]


def _column_name(j):
    return column_names[j]


def _row_name(i):
    return row_names[i]


# ---- solve, check and shape ----
results = _x = _y = _reduced = violation = max_violation = None
status = trivial_status(row_lower, row_upper, col_lower, col_upper)
if status is None:
    results, status, _x, _y, _reduced = solve_scipy(c, A, row_lower, row_upper, col_lower, col_upper, integrality,
                                                    MAXIMIZE)
elif status == "optimal":
    _x, _y, _reduced = np.zeros(0), np.zeros(len(row_lower)), np.zeros(0)
warnings = coefficient_warnings(A.indptr, A.indices, A.data, len(row_lower), c, _row_name, row_lower, row_upper)
if _x is not None:
    _x, max_violation, _worst, _refused = settle_point(_x, integrality, A.indptr, A.indices, A.data, row_lower,
                                                       row_upper, col_lower, col_upper)
    if _refused is not None:
        warnings.append(rounding_warning(_refused, _row_name, _column_name))
    if _worst is not None:
        status, violation = "error", violation_text(_worst, _row_name, _column_name)
objective = float(c @ _x + OFFSET) + 0.0 if _x is not None and status != "error" else None
solution = nest_columns(_x, _variables) if _x is not None else {}
duals = nest_rows(_y, _constraints) if _y is not None and status == "optimal" else None
reduced_costs = nest_columns(_reduced, _variables) if _reduced is not None and status == "optimal" else None
if results is not None:
    results.max_violation = max_violation


def _shown(text):
    # Names are printed with control characters escaped, so none can drive the terminal.
    return shown(text, one_line=True)


def _report():
    # The same lines as the first part of `tavro solve`'s report.
    print("status:", status)
    if objective is not None:
        print("objective%s: %s" % (" (%s)" % _shown(OBJECTIVE_NAME) if OBJECTIVE_NAME else "",
                                   report_number(objective)))
    if violation is not None:
        print("error:", _shown(violation))
    elif _x is not None and max_violation:
        print("max violation: %.3g" % max_violation)
    for _warning in warnings:
        print("warning:", _shown(_warning))
    if _x is None:
        return
    _nonzero = np.flatnonzero(np.abs(_x) > 1e-9)
    if not _nonzero.size:
        print("every variable is zero (%d variables)" % _x.size)
        return
    print("non-zero variables (%d of %d):" % (_nonzero.size, _x.size))
    _rows = [(_shown(_column_name(int(_j))), report_number(_x[_j])) for _j in _nonzero[:50]]
    _width = max(len("variable"), *(len(_name) for _name, _ in _rows))
    print("  %s  value" % "variable".ljust(_width))
    for _name, _value in _rows:
        print("  %s  %s" % (_name.ljust(_width), _value))
    if _nonzero.size > 50:
        print("  ... and %d more" % (_nonzero.size - 50))


if globals().get("__name__") == "__main__":
    import os
    import sys

    try:
        _report()
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped reading (| head): end quietly, as a cut pipe does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(141)
