"""Solve Tavro models with HiGHS (through SciPy) and report the answer in the
model's own names.

    problem = build_problem(model_code, data_code)   # LinearProblem
    result = solve_problem(problem)                   # Solution
    result.status, result.objective, result.values

Status words: "optimal", "infeasible", "unbounded", "infeasible_or_unbounded"
(only when the solver cannot tell), "limit" (time or iteration limit), "error".
The shape of every result is documented in docs/solving.md.
"""

import time
from functools import cached_property

import numpy as np
import scipy.sparse

from . import _answer, _kelm
from ._numbers import number_text as _number

STATUSES = _answer.STATUSES

__all__ = ["build_problem", "solve_problem", "solve_files", "LinearProblem", "Solution", "STATUSES"]

# Rows up to which an infeasible model gets an irreducible infeasible subset,
# and the time that search may take.
CONFLICT_MAX_ROWS = 5000
CONFLICT_SECONDS = 20.0
# Box put around unbounded columns to see which of them run away.
_RUNAWAY_BOX = 1e7


def _name(label, index):
    return "%s[%s]" % (label, ",".join(index)) if index else label


class LinearProblem:
    """A model grounded over its data: min/max c.x + offset subject to
    row_lower <= A x <= row_upper, col_lower <= x <= col_upper, x[j] integer
    where integrality[j] == 1.

    Attributes: c, A (scipy.sparse CSC), row_lower, row_upper, col_lower,
    col_upper, integrality (numpy arrays), sense ("minimize"/"maximize"),
    offset (float), objective_name, column_names, row_names (lists of str,
    built on first use: "x", "ship[Seattle,Boston]", "Supply[Seattle]"; an
    unlabelled constraint is named "_c" and its line).
    """

    def __init__(self, raw):
        self.sense = raw["sense"]
        self.offset = float(raw["offset"])
        self.objective_name = raw["objective_name"]
        self.c = raw["c"]
        self.col_lower = raw["col_lower"]
        self.col_upper = raw["col_upper"]
        self.integrality = raw["integrality"]
        self.row_lower = raw["row_lower"]
        self.row_upper = raw["row_upper"]
        indptr = raw["indptr"]
        indices = raw["indices"]
        if indptr.size and indptr[-1] < 2**31:
            indptr = indptr.astype(np.int32)
        self.A = scipy.sparse.csc_matrix((raw["values"], indices, indptr),
                                         shape=(self.row_lower.size, self.c.size))
        # (name, line, first, count, dims) per dvar; (name, labelled, line,
        # first, count, arity, index) per constraint.
        self.columns = raw["columns"]
        self.rows = raw["rows"]

    @property
    def maximize(self):
        return self.sense == "maximize"

    @property
    def is_mip(self):
        return bool(self.integrality.any())

    @property
    def num_columns(self):
        return self.c.size

    @property
    def num_rows(self):
        return self.row_lower.size

    def column_blocks(self):
        return [(name, first, dims) for name, _line, first, _count, dims in self.columns]

    def row_blocks(self):
        return [(name, first, arity, index) for name, _lab, _line, first, _count, arity, index in self.rows]

    @cached_property
    def column_names(self):
        names = []
        for name, _line, _first, count, dims in self.columns:
            if not dims:
                names.append(name)
                continue
            grid = np.array(np.meshgrid(*[np.arange(len(d)) for d in dims], indexing="ij")).reshape(len(dims), -1).T
            names.extend(_name(name, [dims[k][i] for k, i in enumerate(row)]) for row in grid.tolist())
        return names

    @cached_property
    def row_names(self):
        names = []
        for name, _lab, _line, _first, count, arity, index in self.rows:
            names.extend(_name(name, index[r * arity:(r + 1) * arity]) for r in range(count))
        return names

    def row_info(self, row):
        """Where a row comes from: its name, the constraint's label (None when
        unlabelled), the forall index values, the model line and the row
        written out with its data."""
        for name, labelled, line, first, count, arity, index in self.rows:
            if first <= row < first + count:
                k = row - first
                values = index[k * arity:(k + 1) * arity]
                return {"name": _name(name, values), "label": name if labelled else None,
                        "index": list(values), "line": line, "text": self.row_text(row)}
        raise IndexError(row)

    def row_text(self, row):
        """The row as a modeller writes it: 2 x[1] - y <= 10."""
        line = self._csr.getrow(row)
        names = self.column_names
        parts = []
        for col, coef in sorted(zip(line.indices.tolist(), line.data.tolist())):
            term = ("" if abs(coef) == 1 else _number(abs(coef)) + " ") + names[col]
            if parts:
                parts.append(("- " if coef < 0 else "+ ") + term)
            else:
                parts.append(("-" if coef < 0 else "") + term)
        body = " ".join(parts) or "0"
        lo, hi = float(self.row_lower[row]), float(self.row_upper[row])
        if lo == hi:
            return "%s == %s" % (body, _number(hi))
        if np.isinf(lo):
            return "%s <= %s" % (body, _number(hi))
        if np.isinf(hi):
            return "%s >= %s" % (body, _number(lo))
        return "%s <= %s <= %s" % (_number(lo), body, _number(hi))

    @cached_property
    def _csr(self):
        return self.A.tocsr()

    def __repr__(self):
        return "<LinearProblem %s: %d columns (%d integer), %d rows, %d nonzeros>" % (
            self.sense, self.num_columns, int(self.integrality.sum()), self.num_rows, self.A.nnz)


class Solution:
    """The outcome of one solve.

    status: one of STATUSES.
    objective: float in the model's sense (a maximum for maximize), offset
        included; None unless a feasible point exists.
    values: {dvar name: float | nested dict keyed by index text}.
    duals, reduced_costs: for linear programs solved to optimality,
        {label: float | nested dict}; else None.
    conflict: for an infeasible model, a list of rows
        {"name", "label", "index", "line", "text"} forming an irreducible
        infeasible subset (text shows the row with its data), else None.
    runaway: for an unbounded model, a list of {"name", "direction"} ("up" or
        "down") of the variables that grow without bound, else None.
    message: the solver's own words.
    to_dict(): the JSON-ready form (status, objective, values, ...).
    """

    def __init__(self, status, objective=None, values=None, duals=None, reduced_costs=None,
                 conflict=None, runaway=None, message="", x=None, seconds=0.0):
        self.status = status
        self.objective = objective
        self.values = values if values is not None else {}
        self.duals = duals
        self.reduced_costs = reduced_costs
        self.conflict = conflict
        self.runaway = runaway
        self.message = message
        self.x = x
        self.seconds = seconds

    def to_dict(self):
        return {"status": self.status, "objective": self.objective, "values": self.values,
                "duals": self.duals, "reduced_costs": self.reduced_costs, "conflict": self.conflict,
                "runaway": self.runaway, "message": self.message}

    def __repr__(self):
        return "<Solution %s objective=%r>" % (self.status, self.objective)


def build_problem(model_code, data_code):
    """Compile and ground a model and its data; raise SemanticError for any fault."""
    return LinearProblem(_kelm.instantiate(model_code, data_code))


def _solve(problem, c, rows=None, col_lower=None, col_upper=None, time_limit=None, mip_gap=None, maximize=None):
    A, lo, hi = problem.A, problem.row_lower, problem.row_upper
    if rows is not None:
        A, lo, hi = A[rows], lo[rows], hi[rows]
    return _answer.solve(c, A, lo, hi,
                         problem.col_lower if col_lower is None else col_lower,
                         problem.col_upper if col_upper is None else col_upper,
                         problem.integrality, problem.maximize if maximize is None else maximize,
                         problem.offset, time_limit=time_limit, mip_gap=mip_gap)


def _duals(problem):
    """Row duals and reduced costs of an LP, in the model's sense: the change
    of the objective per unit increase of a row's bound or a column's value."""
    from scipy.optimize import linprog

    A, lo, hi = problem.A.tocsr(), problem.row_lower, problem.row_upper
    eq = np.flatnonzero(lo == hi)
    ub = np.flatnonzero((lo != hi) & np.isfinite(hi))
    lb = np.flatnonzero((lo != hi) & np.isfinite(lo))
    cost = -problem.c if problem.maximize else problem.c
    A_ub = scipy.sparse.vstack([A[ub], -A[lb]]) if ub.size + lb.size else None
    b_ub = np.concatenate([hi[ub], -lo[lb]]) if A_ub is not None else None
    res = linprog(cost, A_ub=A_ub, b_ub=b_ub, A_eq=A[eq] if eq.size else None, b_eq=lo[eq] if eq.size else None,
                  bounds=np.column_stack([problem.col_lower, problem.col_upper]), method="highs")
    if res.status != 0:
        return None, None
    y = np.zeros(problem.num_rows)
    if A_ub is not None:
        m = res.ineqlin.marginals
        y[ub] += m[:ub.size]
        y[lb] -= m[ub.size:]
    if eq.size:
        y[eq] += res.eqlin.marginals
    reduced = res.lower.marginals + res.upper.marginals
    sign = -1.0 if problem.maximize else 1.0
    return sign * y + 0.0, sign * reduced + 0.0


def _still_infeasible(problem, rows, deadline):
    if time.monotonic() > deadline:
        raise TimeoutError
    _res, status, _obj, _x = _solve(problem, np.zeros(problem.num_columns), rows=np.asarray(rows, dtype=np.int64))
    return status == "infeasible"


def _conflict(problem):
    """An irreducible infeasible subset of rows (column bounds and
    integrality always kept), by a deletion filter over shrinking groups."""
    keep = list(range(problem.num_rows))
    if not keep or problem.num_rows > CONFLICT_MAX_ROWS:
        return None
    deadline = time.monotonic() + CONFLICT_SECONDS
    try:
        if _still_infeasible(problem, [], deadline):
            return []  # the bounds alone cannot be met
        group = max(1, len(keep) // 2)
        while True:
            k = 0
            while k < len(keep):
                trial = keep[:k] + keep[k + group:]
                if _still_infeasible(problem, trial, deadline):
                    keep = trial
                else:
                    k += group
            if group == 1:
                break
            group = max(1, group // 2)
    except TimeoutError:
        return None
    return [problem.row_info(r) for r in keep]


def _runaway(problem, time_limit):
    """Columns that reach a large box put around every unbounded side."""
    lower = np.where(np.isinf(problem.col_lower), -_RUNAWAY_BOX, problem.col_lower)
    upper = np.where(np.isinf(problem.col_upper), _RUNAWAY_BOX, problem.col_upper)
    _res, status, _obj, x = _solve(problem, problem.c, col_lower=lower, col_upper=upper, time_limit=time_limit)
    if x is None:
        return None
    names = problem.column_names
    out = []
    near = _RUNAWAY_BOX * (1 - 1e-6)
    for j in np.flatnonzero(np.isinf(problem.col_upper) & (x >= near)).tolist():
        out.append({"name": names[j], "direction": "up"})
    for j in np.flatnonzero(np.isinf(problem.col_lower) & (x <= -near)).tolist():
        out.append({"name": names[j], "direction": "down"})
    return out


def solve_problem(problem, time_limit=None, mip_gap=None):
    """Solve a LinearProblem with HiGHS and return a Solution."""
    started = time.monotonic()
    results, status, objective, x = _solve(problem, problem.c, time_limit=time_limit, mip_gap=mip_gap)
    message = getattr(results, "message", "") or ""
    values = _answer.nest_columns(x, problem.column_blocks()) if x is not None else {}
    duals = reduced_costs = conflict = runaway = None
    if status == "optimal" and not problem.is_mip and problem.num_columns:
        y, reduced = _duals(problem)
        if y is not None:
            duals = _answer.nest_rows(y, problem.row_blocks())
            reduced_costs = _answer.nest_columns(reduced, problem.column_blocks())
    elif status == "infeasible":
        conflict = _conflict(problem)
    elif status == "unbounded":
        runaway = _runaway(problem, time_limit)
    return Solution(status, objective, values, duals, reduced_costs, conflict, runaway, message, x,
                    time.monotonic() - started)


def solve_files(model_file, data_file, time_limit=None, mip_gap=None):
    """Read, build and solve a model and data file; return a Solution."""
    with open(model_file, encoding="utf-8") as f:
        model_code = f.read()
    with open(data_file, encoding="utf-8") as f:
        data_code = f.read()
    return solve_problem(build_problem(model_code, data_code), time_limit=time_limit, mip_gap=mip_gap)
