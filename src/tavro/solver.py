"""Solve Tavro models with HiGHS (through SciPy) and report the answer in the
model's own names.

    problem = build_problem(model_code, data_code)   # LinearProblem
    result = solve_problem(problem)                   # Solution
    result.status, result.objective, result.values

Status words: "optimal", "infeasible", "unbounded", "infeasible_or_unbounded"
(only when the solver cannot tell), "limit" (time or iteration limit), "error".
The shape of every result is documented in docs/solving.md.
"""

from __future__ import annotations

import bisect
import dataclasses
import os
import time
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _answer, _kelm

STATUSES = _answer.STATUSES

__all__ = ["build_problem", "solve_problem", "solve_files", "LinearProblem", "Solution", "SolveOptions",
           "ColumnBlock", "RowBlock", "STATUSES"]

FloatArray = npt.NDArray[np.float64]
PathLike = Union[str, "os.PathLike[str]"]

# Rows up to which an infeasible model gets an irreducible infeasible subset,
# and the time that search may take.
CONFLICT_MAX_ROWS = 5000
CONFLICT_SECONDS = 20.0
# Box put around unbounded columns to see which of them run away.
_RUNAWAY_BOX = 1e7


def _name(label: str, keys: Sequence[str]) -> str:
    return "%s[%s]" % (label, ",".join(keys)) if keys else label


def _number(x: float) -> str:
    return repr(float(x)).removesuffix(".0") if float(x).is_integer() else repr(float(x))


@dataclass(frozen=True, eq=False)
class ColumnBlock:
    """The columns of one variable declaration: `count` columns from `first`,
    one per element of the product of its index sets in row-major order;
    `index_sets[d]` holds the text of every element of the d-th set."""

    name: str
    line: int
    first: int
    count: int
    index_sets: Tuple[Tuple[str, ...], ...]

    @property
    def shape(self) -> Tuple[int, ...]:
        return tuple(len(d) for d in self.index_sets)

    def keys(self, offset: int) -> List[str]:
        """The index texts of the block's column first + offset."""
        if not self.index_sets:
            return []
        at = np.unravel_index(offset, self.shape)
        return [self.index_sets[d][int(k)] for d, k in enumerate(at)]

    @cached_property
    def _positions(self) -> List[Dict[str, int]]:
        return [{text: k for k, text in enumerate(d)} for d in self.index_sets]

    def offset_of(self, inside: str) -> Optional[int]:
        """The offset of the column whose index texts, joined by commas, are
        `inside`; None when there is none. (An index text may hold a comma:
        each split is tried against the sets' own elements.)"""
        positions = self._positions

        def walk(d: int, start: int) -> Optional[int]:
            if d == len(positions) - 1:
                return positions[d].get(inside[start:])
            comma = inside.find(",", start)
            while comma >= 0:
                k = positions[d].get(inside[start:comma])
                if k is not None:
                    rest = walk(d + 1, comma + 1)
                    if rest is not None:
                        return k * int(np.prod(self.shape[d + 1:], dtype=np.int64)) + rest
                comma = inside.find(",", comma + 1)
            return None

        return walk(0, 0) if positions else None


@dataclass(frozen=True, eq=False)
class RowBlock:
    """The rows of one constraint: `count` rows from `first`, one per
    combination of its enclosing forall indices; `index` holds `arity` texts
    per row (outermost index first). `name` is the constraint's label, or
    "_c" and its line when unlabelled ("#2", "#3" appended to a name that an
    earlier block already has)."""

    name: str
    labelled: bool
    line: int
    first: int
    count: int
    arity: int
    index: Sequence[str]

    def keys(self, offset: int) -> Sequence[str]:
        return self.index[offset * self.arity:(offset + 1) * self.arity]

    @cached_property
    def _offsets(self) -> Dict[str, int]:
        return {",".join(self.keys(r)): r for r in range(self.count)}

    def offset_of(self, inside: str) -> Optional[int]:
        return self._offsets.get(inside) if self.arity else None


def _unique_names(names: Sequence[str]) -> List[str]:
    seen: Dict[str, int] = {}
    out = []
    for name in names:
        n = seen.get(name, 0) + 1
        seen[name] = n
        out.append(name if n == 1 else "%s#%d" % (name, n))
    return out


def _blocks(raw: Dict[str, Any]) -> Tuple[Tuple[ColumnBlock, ...], Tuple[RowBlock, ...]]:
    """The engine's name blocks as ColumnBlock and RowBlock objects."""
    columns = tuple(ColumnBlock(name, line, first, count, tuple(tuple(d) for d in dims))
                    for name, line, first, count, dims in raw["columns"])
    names = _unique_names([row[0] for row in raw["rows"]])
    rows = tuple(RowBlock(name, bool(labelled), line, first, count, arity, index)
                 for name, (_, labelled, line, first, count, arity, index) in zip(names, raw["rows"]))
    return columns, rows


def _split_name(name: str) -> Tuple[str, Optional[str]]:
    if name.endswith("]") and "[" in name:
        at = name.index("[")
        return name[:at], name[at + 1:-1]
    return name, None


class LinearProblem:
    """A model grounded over its data: min/max c.x + offset subject to
    row_lower <= A x <= row_upper, col_lower <= x <= col_upper, x[j] integer
    where integrality[j] == 1.

    Attributes: c, A (scipy.sparse CSC), row_lower, row_upper, col_lower,
    col_upper, integrality (numpy arrays), sense ("minimize"/"maximize"),
    offset (float), objective_name, column_blocks and row_blocks (one
    ColumnBlock per variable, one RowBlock per constraint, in source order).

    Names: column_name(j) ("x", "ship[Seattle,Boston]"), row_name(i)
    ("Supply[Seattle]"; an unlabelled constraint is "_c" and its line), their
    inverses column_index(name) and row_index(name), and the lists
    column_names and row_names (built on first use).
    """

    def __init__(self, raw: Dict[str, Any]) -> None:
        self.sense: str = raw["sense"]
        self.offset = float(raw["offset"])
        self.objective_name: Optional[str] = raw["objective_name"]
        self.c: FloatArray = raw["c"]
        self.col_lower: FloatArray = raw["col_lower"]
        self.col_upper: FloatArray = raw["col_upper"]
        self.integrality: npt.NDArray[np.uint8] = raw["integrality"]
        self.row_lower: FloatArray = raw["row_lower"]
        self.row_upper: FloatArray = raw["row_upper"]
        indptr = raw["indptr"]
        indices = raw["indices"]
        if indptr.size and indptr[-1] < 2**31:
            indptr = indptr.astype(np.int32)
        self.A = scipy.sparse.csc_matrix((raw["values"], indices, indptr),
                                         shape=(self.row_lower.size, self.c.size))
        self.column_blocks, self.row_blocks = _blocks(raw)

    @property
    def maximize(self) -> bool:
        return self.sense == "maximize"

    @property
    def is_mip(self) -> bool:
        return bool(self.integrality.any())

    @property
    def num_columns(self) -> int:
        return int(self.c.size)

    @property
    def num_rows(self) -> int:
        return int(self.row_lower.size)

    # -- names ---------------------------------------------------------------

    @cached_property
    def _column_firsts(self) -> List[int]:
        return [b.first for b in self.column_blocks]

    @cached_property
    def _row_firsts(self) -> List[int]:
        return [b.first for b in self.row_blocks]

    def column_block(self, j: int) -> ColumnBlock:
        """The block (variable) that column j belongs to."""
        if not 0 <= j < self.num_columns:
            raise IndexError("column %d out of range" % j)
        return self.column_blocks[bisect.bisect_right(self._column_firsts, j) - 1]

    def row_block(self, i: int) -> RowBlock:
        """The block (constraint) that row i belongs to."""
        if not 0 <= i < self.num_rows:
            raise IndexError("row %d out of range" % i)
        return self.row_blocks[bisect.bisect_right(self._row_firsts, i) - 1]

    def column_name(self, j: int) -> str:
        block = self.column_block(j)
        return _name(block.name, block.keys(j - block.first))

    def row_name(self, i: int) -> str:
        block = self.row_block(i)
        return _name(block.name, block.keys(i - block.first))

    def column_index(self, name: str) -> int:
        """The column named `name` (as column_name writes it); KeyError if none."""
        label, inside = _split_name(name)
        for block in self.column_blocks:
            if block.name == label and (inside is None) == (not block.index_sets):
                offset = 0 if inside is None else block.offset_of(inside)
                if offset is not None and offset < block.count:
                    return block.first + offset
        raise KeyError(name)

    def row_index(self, name: str) -> int:
        """The row named `name` (as row_name writes it); KeyError if none."""
        label, inside = _split_name(name)
        for block in self.row_blocks:
            if block.name == label and (inside is None) == (block.arity == 0):
                offset = 0 if inside is None else block.offset_of(inside)
                if offset is not None and offset < block.count:
                    return block.first + offset
        raise KeyError(name)

    @cached_property
    def column_names(self) -> List[str]:
        names: List[str] = []
        for block in self.column_blocks:
            if not block.index_sets:
                names.append(block.name)
                continue
            dims = block.index_sets
            grid = np.indices(block.shape).reshape(len(dims), -1).T
            names.extend(_name(block.name, [dims[d][k] for d, k in enumerate(at)]) for at in grid.tolist())
        return names

    @cached_property
    def row_names(self) -> List[str]:
        return [_name(b.name, b.keys(r)) for b in self.row_blocks for r in range(b.count)]

    def row_info(self, row: int) -> Dict[str, Any]:
        """Where a row comes from: its name, the constraint's label (None when
        unlabelled), the forall index values, the model line and the row
        written out with its data."""
        block = self.row_block(row)
        keys = list(block.keys(row - block.first))
        return {"name": _name(block.name, keys), "label": block.name if block.labelled else None,
                "index": keys, "line": block.line, "text": self.row_text(row)}

    def row_text(self, row: int) -> str:
        """The row as a modeller writes it: 2 x[1] - y <= 10."""
        line = self._csr.getrow(row)
        parts: List[str] = []
        for col, coef in sorted(zip(line.indices.tolist(), line.data.tolist())):
            term = ("" if abs(coef) == 1 else _number(abs(coef)) + " ") + self.column_name(col)
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
    def _csr(self) -> "scipy.sparse.csr_matrix":
        return self.A.tocsr()

    def __repr__(self) -> str:
        return "<LinearProblem %s: %d columns (%d integer), %d rows, %d nonzeros>" % (
            self.sense, self.num_columns, int(self.integrality.sum()), self.num_rows, self.A.nnz)


@dataclass(frozen=True)
class SolveOptions:
    """What one solve request may take and what it computes.

    time_limit: seconds for the whole request (the main solve and every
        solve after it); None for no limit.
    mip_gap: relative MIP gap at which HiGHS stops.
    deadline: time.monotonic() by which the whole request ends (a caller's
        own budget, e.g. one problem of an evaluation); the earlier of it and
        time_limit counts.
    duals: row duals and reduced costs of a linear program.
    conflict: an irreducible infeasible subset of an infeasible model.
    ranging: cost and bound ranging of a linear program.
    """

    time_limit: Optional[float] = None
    mip_gap: Optional[float] = None
    deadline: Optional[float] = None
    duals: bool = True
    conflict: bool = True
    ranging: bool = False

    def started(self, now: Optional[float] = None) -> "SolveOptions":
        """The options of a request starting now: time_limit folded into deadline."""
        if self.time_limit is None:
            return self
        end = (time.monotonic() if now is None else now) + self.time_limit
        return dataclasses.replace(self, deadline=end if self.deadline is None else min(end, self.deadline))

    def remaining(self) -> Optional[float]:
        """Seconds left until the deadline (never below 0); None without one."""
        if self.deadline is None:
            return None
        return max(0.0, self.deadline - time.monotonic())

    def expired(self) -> bool:
        left = self.remaining()
        return left is not None and left <= 0


def _options(options: Optional[SolveOptions], time_limit: Optional[float], mip_gap: Optional[float]) -> SolveOptions:
    options = options or SolveOptions()
    if time_limit is not None:
        options = dataclasses.replace(options, time_limit=time_limit)
    if mip_gap is not None:
        options = dataclasses.replace(options, mip_gap=mip_gap)
    return options


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

    def __init__(self, status: str, objective: Optional[float] = None, values: Optional[Dict[str, Any]] = None,
                 duals: Optional[Dict[str, Any]] = None, reduced_costs: Optional[Dict[str, Any]] = None,
                 conflict: Optional[List[Dict[str, Any]]] = None, runaway: Optional[List[Dict[str, str]]] = None,
                 message: str = "", x: Optional[FloatArray] = None, seconds: float = 0.0) -> None:
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

    def to_dict(self) -> Dict[str, Any]:
        return {"status": self.status, "objective": self.objective, "values": self.values,
                "duals": self.duals, "reduced_costs": self.reduced_costs, "conflict": self.conflict,
                "runaway": self.runaway, "message": self.message}

    def __repr__(self) -> str:
        return "<Solution %s objective=%r>" % (self.status, self.objective)


def build_problem(model_code: str, data_code: str) -> LinearProblem:
    """Compile and ground a model and its data; raise SemanticError for any fault."""
    return LinearProblem(_kelm.instantiate(model_code, data_code))


def _column_tree(problem: LinearProblem, x: FloatArray) -> Dict[str, Any]:
    return _answer.nest_columns(x, [(b.name, b.first, b.index_sets) for b in problem.column_blocks])


def _row_tree(problem: LinearProblem, y: FloatArray) -> Dict[str, Any]:
    return _answer.nest_rows(y, [(b.name, b.first, b.arity, b.index) for b in problem.row_blocks])


def _solve(problem: LinearProblem, c: FloatArray, rows: Optional[npt.NDArray[np.int64]] = None,
           col_lower: Optional[FloatArray] = None, col_upper: Optional[FloatArray] = None,
           time_limit: Optional[float] = None, mip_gap: Optional[float] = None) -> Tuple[Any, str, Any, Any]:
    A, lo, hi = problem.A, problem.row_lower, problem.row_upper
    if rows is not None:
        A, lo, hi = A[rows], lo[rows], hi[rows]
    return _answer.solve(c, A, lo, hi,
                         problem.col_lower if col_lower is None else col_lower,
                         problem.col_upper if col_upper is None else col_upper,
                         problem.integrality, problem.maximize, problem.offset, time_limit=time_limit, mip_gap=mip_gap)


def _duals(problem: LinearProblem) -> Tuple[Optional[FloatArray], Optional[FloatArray]]:
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


def _still_infeasible(problem: LinearProblem, rows: List[int], options: SolveOptions) -> bool:
    if options.expired():
        raise TimeoutError
    _res, status, _obj, _x = _solve(problem, np.zeros(problem.num_columns), rows=np.asarray(rows, dtype=np.int64),
                                    time_limit=options.remaining())
    return status == "infeasible"


def _conflict(problem: LinearProblem, options: SolveOptions) -> Optional[List[Dict[str, Any]]]:
    """An irreducible infeasible subset of rows (column bounds and
    integrality always kept), by a deletion filter over shrinking groups."""
    keep = list(range(problem.num_rows))
    if not keep or problem.num_rows > CONFLICT_MAX_ROWS:
        return None
    own = time.monotonic() + CONFLICT_SECONDS
    options = dataclasses.replace(options, deadline=own if options.deadline is None else min(own, options.deadline))
    try:
        if _still_infeasible(problem, [], options):
            return []  # the bounds alone cannot be met
        group = max(1, len(keep) // 2)
        while True:
            k = 0
            while k < len(keep):
                trial = keep[:k] + keep[k + group:]
                if _still_infeasible(problem, trial, options):
                    keep = trial
                else:
                    k += group
            if group == 1:
                break
            group = max(1, group // 2)
    except TimeoutError:
        return None
    return [problem.row_info(r) for r in keep]


def _runaway(problem: LinearProblem, options: SolveOptions) -> Optional[List[Dict[str, str]]]:
    """Columns that reach a large box put around every unbounded side."""
    lower = np.where(np.isinf(problem.col_lower), -_RUNAWAY_BOX, problem.col_lower)
    upper = np.where(np.isinf(problem.col_upper), _RUNAWAY_BOX, problem.col_upper)
    _res, status, _obj, x = _solve(problem, problem.c, col_lower=lower, col_upper=upper,
                                   time_limit=options.remaining())
    if x is None:
        return None
    out = []
    near = _RUNAWAY_BOX * (1 - 1e-6)
    for j in np.flatnonzero(np.isinf(problem.col_upper) & (x >= near)).tolist():
        out.append({"name": problem.column_name(j), "direction": "up"})
    for j in np.flatnonzero(np.isinf(problem.col_lower) & (x <= -near)).tolist():
        out.append({"name": problem.column_name(j), "direction": "down"})
    return out


def solve_problem(problem: LinearProblem, time_limit: Optional[float] = None, mip_gap: Optional[float] = None, *,
                  options: Optional[SolveOptions] = None) -> Solution:
    """Solve a LinearProblem with HiGHS and return a Solution. `time_limit`
    and `mip_gap`, when given, override those of `options`."""
    started = time.monotonic()
    options = _options(options, time_limit, mip_gap).started(started)
    results, status, objective, x = _solve(problem, problem.c, time_limit=options.remaining(),
                                           mip_gap=options.mip_gap)
    message = getattr(results, "message", "") or ""
    values = _column_tree(problem, x) if x is not None else {}
    duals = reduced_costs = conflict = runaway = None
    if status == "optimal" and not problem.is_mip and problem.num_columns and options.duals:
        y, reduced = _duals(problem)
        if y is not None and reduced is not None:
            duals = _row_tree(problem, y)
            reduced_costs = _column_tree(problem, reduced)
    elif status == "infeasible" and options.conflict:
        conflict = _conflict(problem, options)
    elif status == "unbounded":
        runaway = _runaway(problem, options)
    return Solution(status, objective, values, duals, reduced_costs, conflict, runaway, message, x,
                    time.monotonic() - started)


def solve_files(model_file: PathLike, data_file: PathLike, time_limit: Optional[float] = None,
                mip_gap: Optional[float] = None, *, options: Optional[SolveOptions] = None) -> Solution:
    """Read, build and solve a model and data file; return a Solution."""
    with open(model_file, encoding="utf-8") as f:
        model_code = f.read()
    with open(data_file, encoding="utf-8") as f:
        data_code = f.read()
    return solve_problem(build_problem(model_code, data_code), time_limit=time_limit, mip_gap=mip_gap,
                         options=options)
