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
