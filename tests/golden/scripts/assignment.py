"""A linear program written by tavro (SciPyCSCCodeGenerator).

Builds the problem with numpy and scipy.sparse and solves it with
scipy.optimize.milp (HiGHS). Run as a program it prints a short report;
executed in any other way it solves at top level and leaves `results`
(SciPy's result), `status`, `objective` (in the model's sense) and
`solution` (the values keyed by the model's names) in its namespace.
"""


import numpy as np
import scipy.sparse

# ---- tavro._answer: the solve and the shaping of values, as tavro.solver runs them ----
"""Solving a grounded problem with HiGHS through SciPy, and shaping the answer.

This module needs numpy and SciPy only: `tavro.solver` imports it, and the
SciPy script writer embeds its source, so a generated script and
`tavro solve` reach their answers through the same lines.
"""

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, milp

STATUSES = ("optimal", "infeasible", "unbounded", "infeasible_or_unbounded", "limit", "error")

_FEASIBILITY_TOLERANCE = 1e-9


def _milp(c, A, row_lower, row_upper, col_lower, col_upper, integrality, options):
    constraints = [LinearConstraint(A, row_lower, row_upper)] if A.shape[0] else []
    return milp(c, integrality=integrality, bounds=Bounds(col_lower, col_upper),
                constraints=constraints, options=options)


def _tell_unbounded(A, row_lower, row_upper, col_lower, col_upper, integrality, options):
    # HiGHS may stop at "unbounded or infeasible" (or report a MIP unbounded
    # from its relaxation): the same rows with a zero objective settle it.
    zero = np.zeros(A.shape[1])
    res = _milp(zero, A, row_lower, row_upper, col_lower, col_upper, integrality, options)
    if res.status == 0:
        return "unbounded"
    if res.status == 2:
        return "infeasible"
    return "infeasible_or_unbounded"


def _empty_problem(A, row_lower, row_upper, col_lower, col_upper):
    # No columns: every row is 0 and must lie within its bounds; HiGHS is not
    # asked about a problem it would call empty.
    rows_ok = bool(np.all(row_lower <= _FEASIBILITY_TOLERANCE) and np.all(row_upper >= -_FEASIBILITY_TOLERANCE))
    return "optimal" if rows_ok else "infeasible"


def solve(c, A, row_lower, row_upper, col_lower, col_upper, integrality, maximize, offset,
          time_limit=None, mip_gap=None):
    """Solve min (or max) c.x + offset subject to row_lower <= A x <= row_upper,
    col_lower <= x <= col_upper, x[j] integer where integrality[j] == 1.

    Returns (results, status, objective, x): SciPy's result object (None when
    HiGHS was not called), one of STATUSES, the objective in the model's
    sense (None unless a feasible point exists) and the values (a numpy
    array, integer columns rounded, or None).
    """
    c = np.asarray(c, dtype=float)
    integrality = np.asarray(integrality, dtype=np.uint8)
    options = {"disp": False, "presolve": True}
    if time_limit is not None:
        options["time_limit"] = float(time_limit)
    if mip_gap is not None:
        options["mip_rel_gap"] = float(mip_gap)
    bad_bounds = col_lower > col_upper
    if bad_bounds.any() or (row_lower > row_upper).any():
        return None, "infeasible", None, None
    if c.size == 0:
        status = _empty_problem(A, row_lower, row_upper, col_lower, col_upper)
        if status != "optimal":
            return None, status, None, None
        return None, status, float(offset) + 0.0, c.copy()
    cost = -c if maximize else c
    try:
        results = _milp(cost, A, row_lower, row_upper, col_lower, col_upper, integrality, options)
    except (ValueError, MemoryError):
        return None, "error", None, None
    code = results.status
    if code == 0:
        status = "optimal"
    elif code == 1:
        status = "limit"
    elif code == 2:
        status = "infeasible"
    elif code == 3 or "unbounded or infeasible" in (results.message or "").lower():
        status = _tell_unbounded(A, row_lower, row_upper, col_lower, col_upper, integrality, options)
    else:
        status = "error"
    x = None
    objective = None
    if results.x is not None and status in ("optimal", "limit"):
        x = np.where(integrality == 1, np.round(results.x), results.x) + 0.0
        objective = float(c @ x + offset) + 0.0
    return results, status, objective, x


def nest_columns(x, blocks):
    """Values keyed by the model's names: {name: value} for a scalar
    variable, nested dictionaries keyed by the text of each index value for
    an indexed one. `blocks` lists (name, first column, [labels of each
    index set]) per variable, the columns of one variable in row-major
    order."""
    out = {}
    for name, first, dims in blocks:
        size = 1
        for d in dims:
            size *= len(d)
        flat = np.asarray(x[first:first + size], dtype=float)
        if not dims:
            out[name] = float(flat[0])
            continue
        grid = flat.reshape([len(d) for d in dims]).tolist()
        out[name] = _nest_grid(grid, dims, 0)
    return out


def _nest_grid(grid, dims, level):
    if level == len(dims) - 1:
        return dict(zip(dims[level], grid))
    return {key: _nest_grid(sub, dims, level + 1) for key, sub in zip(dims[level], grid)}


def nest_rows(y, blocks):
    """Row values (duals, activities) keyed like nest_columns: a constraint
    outside any forall by its label, one under foralls as nested
    dictionaries keyed by the text of each forall index value. `blocks`
    lists (label, first row, arity, index texts: arity per row)."""
    out = {}
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
# ---- end of tavro._answer ----


# ---- the problem: min or max c.x + OFFSET, row_lower <= A x <= row_upper,
#      col_lower <= x <= col_upper, x[j] integer where integrality[j] == 1 ----
MAXIMIZE = False
OFFSET = 0.0
OBJECTIVE_NAME = 'TotalHours'
inf = float('inf')

# One column per variable: name, lower bound, upper bound, integer (1) or not (0),
# objective coefficient.
_columns = [
    # name                       lower   upper   int   cost
    ('assign[Ana,Contract]',    0.0,    1.0,    1,    6.0),
    ('assign[Ana,Patent]',      0.0,    1.0,    1,    12.0),
    ('assign[Ana,Medical]',     0.0,    1.0,    1,    9.0),
    ('assign[Ana,Manual]',      0.0,    1.0,    1,    7.0),
    ('assign[Ana,Website]',     0.0,    1.0,    1,    5.0),
    ('assign[Ben,Contract]',    0.0,    1.0,    1,    8.0),
    ('assign[Ben,Patent]',      0.0,    1.0,    1,    7.0),
    ('assign[Ben,Medical]',     0.0,    1.0,    1,    11.0),
    ('assign[Ben,Manual]',      0.0,    1.0,    1,    6.0),
    ('assign[Ben,Website]',     0.0,    1.0,    1,    6.0),
    ('assign[Chloe,Contract]',  0.0,    1.0,    1,    10.0),
    ('assign[Chloe,Patent]',    0.0,    1.0,    1,    9.0),
    ('assign[Chloe,Medical]',   0.0,    1.0,    1,    5.0),
    ('assign[Chloe,Manual]',    0.0,    1.0,    1,    8.0),
    ('assign[Chloe,Website]',   0.0,    1.0,    1,    7.0),
    ('assign[Dario,Contract]',  0.0,    1.0,    1,    7.0),
    ('assign[Dario,Patent]',    0.0,    1.0,    1,    14.0),
    ('assign[Dario,Medical]',   0.0,    1.0,    1,    10.0),
    ('assign[Dario,Manual]',    0.0,    1.0,    1,    5.0),
    ('assign[Dario,Website]',   0.0,    1.0,    1,    4.0),
    ('assign[Eva,Contract]',    0.0,    1.0,    1,    9.0),
    ('assign[Eva,Patent]',      0.0,    1.0,    1,    8.0),
    ('assign[Eva,Medical]',     0.0,    1.0,    1,    7.0),
    ('assign[Eva,Manual]',      0.0,    1.0,    1,    9.0),
    ('assign[Eva,Website]',     0.0,    1.0,    1,    3.0),
]

# One row per constraint: name, lower bound, upper bound, [(column, coefficient), ...].
_rows = [
    # name                            lower   upper   terms
    ('OneDocumentEach[Ana]',         1.0,    1.0,    [(0, 1.0), (1, 1.0), (2, 1.0), (3, 1.0), (4, 1.0)]),
    ('OneDocumentEach[Ben]',         1.0,    1.0,    [(5, 1.0), (6, 1.0), (7, 1.0), (8, 1.0), (9, 1.0)]),
    ('OneDocumentEach[Chloe]',       1.0,    1.0,    [(10, 1.0), (11, 1.0), (12, 1.0), (13, 1.0), (14, 1.0)]),
    ('OneDocumentEach[Dario]',       1.0,    1.0,    [(15, 1.0), (16, 1.0), (17, 1.0), (18, 1.0), (19, 1.0)]),
    ('OneDocumentEach[Eva]',         1.0,    1.0,    [(20, 1.0), (21, 1.0), (22, 1.0), (23, 1.0), (24, 1.0)]),
    ('OneTranslatorEach[Contract]',  1.0,    1.0,    [(0, 1.0), (5, 1.0), (10, 1.0), (15, 1.0), (20, 1.0)]),
    ('OneTranslatorEach[Patent]',    1.0,    1.0,    [(1, 1.0), (6, 1.0), (11, 1.0), (16, 1.0), (21, 1.0)]),
    ('OneTranslatorEach[Medical]',   1.0,    1.0,    [(2, 1.0), (7, 1.0), (12, 1.0), (17, 1.0), (22, 1.0)]),
    ('OneTranslatorEach[Manual]',    1.0,    1.0,    [(3, 1.0), (8, 1.0), (13, 1.0), (18, 1.0), (23, 1.0)]),
    ('OneTranslatorEach[Website]',   1.0,    1.0,    [(4, 1.0), (9, 1.0), (14, 1.0), (19, 1.0), (24, 1.0)]),
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
_variables = [
    ('assign', 0, [['Ana', 'Ben', 'Chloe', 'Dario', 'Eva'], ['Contract', 'Patent', 'Medical', 'Manual', 'Website']]),
]


# ---- solve ----
results, status, objective, _x = solve(c, A, row_lower, row_upper, col_lower, col_upper, integrality,
                                       MAXIMIZE, OFFSET)
solution = nest_columns(_x, _variables) if _x is not None else {}


def _shown(text):
    # Names are printed with control characters escaped, so none can drive the terminal.
    return "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in text)


def _report():
    # The same lines as the first part of `tavro solve`'s report.
    print("status:", status)
    if objective is not None:
        print("objective%s: %.10g" % (" (%s)" % _shown(OBJECTIVE_NAME) if OBJECTIVE_NAME else "", objective))
    if _x is None:
        return
    _nonzero = np.flatnonzero(np.abs(_x) > 1e-9)
    if not _nonzero.size:
        print("every variable is zero (%d variables)" % _x.size)
        return
    print("non-zero variables (%d of %d):" % (_nonzero.size, _x.size))
    _rows = [(_shown(_column_name(int(_j))), "%.10g" % _x[_j]) for _j in _nonzero[:50]]
    _width = max(len("variable"), *(len(_name) for _name, _ in _rows))
    print("  %s  value" % "variable".ljust(_width))
    for _name, _value in _rows:
        print("  %s  %s" % (_name.ljust(_width), _value))
    if _nonzero.size > 50:
        print("  ... and %d more" % (_nonzero.size - 50))


def _column_name(j):
    for _name, _first, _dims in _variables:
        _size = int(np.prod([len(d) for d in _dims])) if _dims else 1
        if _first <= j < _first + _size:
            _keys = np.unravel_index(j - _first, [len(d) for d in _dims]) if _dims else ()
            return "%s[%s]" % (_name, ",".join(_dims[k][i] for k, i in enumerate(_keys))) if _dims else _name
    return "column %d" % j


if globals().get("__name__") == "__main__":
    _report()
