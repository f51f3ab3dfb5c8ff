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
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _answer, _data, _highs, _jsontext, _kelm
from ._numbers import number_text as _number

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


@dataclass(frozen=True, eq=False)
class ColumnBlock:
    """The columns of one variable declaration: `count` columns from `first`,
    one per element of the product of its index sets in row-major order;
    `index_sets[d]` holds the text of every element of the d-th set and
    `index_keys[d]` the same elements in their own type (an int, a float, a
    str, a tuple for a tuple set)."""

    name: str
    line: int
    first: int
    count: int
    index_sets: Tuple[Tuple[str, ...], ...]
    index_keys: Tuple[Tuple[Any, ...], ...] = ()

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

    key_tables: Optional[Tuple[Optional[Dict[str, Any]], ...]] = None

    def keys(self, offset: int) -> Sequence[str]:
        return self.index[offset * self.arity:(offset + 1) * self.arity]

    @cached_property
    def index_keys(self) -> List[Any]:
        """`index` with each value in its own type: through key_tables (one
        per forall index: {text: value} over a set, None for an integer
        range)."""
        if self.key_tables is None or len(self.key_tables) != self.arity:
            return list(self.index)
        out = list(self.index)
        for d, table in enumerate(self.key_tables):
            texts = out[d::self.arity] if self.arity else []
            if table is not None:
                out[d::self.arity] = [table.get(t, t) for t in texts]
            else:
                out[d::self.arity] = [_integer(t) for t in texts]
        return out

    @cached_property
    def _offsets(self) -> Dict[str, int]:
        return {",".join(self.keys(r)): r for r in range(self.count)}

    def offset_of(self, inside: str) -> Optional[int]:
        return self._offsets.get(inside) if self.arity else None


def _integer(text: str) -> Any:
    try:
        return int(text)
    except ValueError:
        return text


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
    column_keys = raw.get("column_keys") or [None] * len(raw["columns"])
    columns = []
    for (name, line, first, count, dims), keys in zip(raw["columns"], column_keys):
        texts = tuple(tuple(d) for d in dims)
        typed = tuple(tuple(k) if k is not None else d for k, d in zip(keys or [None] * len(dims), texts))
        columns.append(ColumnBlock(name, line, first, count, texts, typed))
    names = _unique_names([row[0] for row in raw["rows"]])
    row_keys = raw.get("row_keys") or [None] * len(raw["rows"])
    rows = tuple(RowBlock(name, bool(labelled), line, first, count, arity, index,
                          tuple(tables) if tables is not None else None)
                 for name, (_, labelled, line, first, count, arity, index), tables in zip(names, raw["rows"], row_keys))
    return tuple(columns), rows


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
    ColumnBlock per variable, one RowBlock per constraint, in source order),
    declared (counts of the model's declared sets, parameters, variables
    and constraint statements).

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
        self.declared: Dict[str, int] = dict(raw["declared"])

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

    def binding_rows(self, x: FloatArray, activity: Optional[FloatArray] = None) -> List[int]:
        """The rows at one of their finite limits at the point x (within
        1e-7 of the limit's size), in row order; `activity` is A @ x when
        the caller has it."""
        activity = self.A @ x if activity is None else activity
        lo, hi = self.row_lower, self.row_upper
        size = np.maximum(np.abs(np.where(np.isfinite(lo), lo, 0)), np.abs(np.where(np.isfinite(hi), hi, 0)))
        tol = 1e-7 * (1 + size)
        at_limit = ((np.isfinite(lo) & (np.abs(activity - lo) <= tol))
                    | (np.isfinite(hi) & (np.abs(activity - hi) <= tol)))
        rows: List[int] = np.flatnonzero(at_limit).tolist()
        return rows

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

    def write(self, path: PathLike) -> Dict[str, str]:
        """Write the problem as an MPS or LP file (by the extension of `path`)
        through HiGHS's writer, with the model's row and column names made
        safe for the format; returns {written name: model name} for each name
        that had to change (brackets become parentheses, blanks '_', ...)."""
        from . import _export

        return _export.write_model(self, os.fspath(path))

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
    ranging: cost and bound ranging of a linear program (and HiGHS's basis).
    cancel: an event that stops the request when set (from any thread):
        HiGHS stops within an iteration and the result says "limit",
        reason "interrupted".
    """

    time_limit: Optional[float] = None
    mip_gap: Optional[float] = None
    deadline: Optional[float] = None
    duals: bool = True
    conflict: bool = True
    ranging: bool = False
    cancel: Optional[threading.Event] = None

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


@dataclass(frozen=True)
class RangeRecord:
    """One of HiGHS's ranging records: per column (or row), the `value` to
    which a cost or bound may move with the basis staying optimal, the
    `objective` there, and the variables entering (`in_var`) and leaving
    (`ou_var`) the basis beyond it (HiGHS's numbering: a column j, or a row
    i as num_columns + i; -1 for none)."""

    value: FloatArray
    objective: FloatArray
    in_var: npt.NDArray[np.int32]
    ou_var: npt.NDArray[np.int32]


@dataclass(frozen=True)
class Ranging:
    """Cost and bound ranging of a linear program solved to optimality, in
    the model's sense, as HiGHS computes it (a record per direction)."""

    cost_up: RangeRecord
    cost_down: RangeRecord
    column_bound_up: RangeRecord
    column_bound_down: RangeRecord
    row_bound_up: RangeRecord
    row_bound_down: RangeRecord


class Solution:
    """The outcome of one solve.

    status: one of STATUSES; reason: why a "limit" stopped ("time limit",
        "interrupted", ...), else None.
    objective: float in the model's sense (a maximum for maximize), offset
        included; None unless a feasible point exists.
    values: {dvar name: float | nested dict keyed by index value}, shaped on
        first access from `x` (the point as a numpy array, or None).
    duals, reduced_costs: for linear programs solved to optimality,
        {label: float | nested dict}, shaped on first access from
        `row_dual` and `col_dual` (numpy arrays); else None.
    conflict: for an infeasible model, a list of rows
        {"name", "label", "index", "line", "text"} forming an irreducible
        infeasible subset (text shows the row with its data), else None
        (`notes` says why it was not computed).
    runaway: for an unbounded model, a list of {"name", "direction"} ("up" or
        "down") of the variables that grow without bound, else None.
    max_violation: the largest violation of any row or bound at the
        reported point, in the model's units; None without a point.
    warnings: what makes the answer doubtful (coefficient ranges HiGHS
        cannot be trusted with); notes: what was not computed and why.
    ranging: a Ranging when asked for (SolveOptions.ranging) on an LP
        solved to optimality; basis: HiGHS's (column, row) basis status
        arrays alongside it.
    mip_gap, mip_bound: HiGHS's relative gap and dual bound of a MIP.
    message: the solver's own words.
    to_dict(): the JSON-ready form (status, objective, values, ...).
    """

    def __init__(self, status: str, objective: Optional[float] = None, values: Optional[Dict[Any, Any]] = None,
                 duals: Optional[Dict[Any, Any]] = None, reduced_costs: Optional[Dict[Any, Any]] = None,
                 conflict: Optional[List[Dict[str, Any]]] = None, runaway: Optional[List[Dict[str, str]]] = None,
                 message: str = "", x: Optional[FloatArray] = None, seconds: float = 0.0, *,
                 problem: Optional[LinearProblem] = None, row_dual: Optional[FloatArray] = None,
                 col_dual: Optional[FloatArray] = None, reason: Optional[str] = None,
                 max_violation: Optional[float] = None, violation: Optional[str] = None,
                 warnings: Optional[List[str]] = None, notes: Optional[List[str]] = None,
                 ranging: Optional[Ranging] = None,
                 basis: Optional[Tuple[npt.NDArray[np.int8], npt.NDArray[np.int8]]] = None,
                 mip_gap: Optional[float] = None, mip_bound: Optional[float] = None) -> None:
        self.status = status
        self.reason = reason
        self.objective = objective
        self.x = x
        self.row_dual = row_dual
        self.col_dual = col_dual
        self.problem = problem
        self._values = values
        self._duals = duals
        self._reduced_costs = reduced_costs
        self.conflict = conflict
        self.runaway = runaway
        self.message = message
        self.seconds = seconds
        self.max_violation = max_violation
        self.violation = violation
        self.warnings: List[str] = warnings if warnings is not None else []
        self.notes: List[str] = notes if notes is not None else []
        self.ranging = ranging
        self.basis = basis
        self.mip_gap = mip_gap
        self.mip_bound = mip_bound

    @property
    def values(self) -> Dict[Any, Any]:
        if self._values is None:
            self._values = {} if self.x is None or self.problem is None else _column_tree(self.problem, self.x)
        return self._values

    @values.setter
    def values(self, values: Dict[Any, Any]) -> None:
        self._values = values

    @property
    def duals(self) -> Optional[Dict[Any, Any]]:
        if self._duals is None and self.row_dual is not None and self.problem is not None:
            self._duals = _row_tree(self.problem, self.row_dual)
        return self._duals

    @duals.setter
    def duals(self, duals: Optional[Dict[Any, Any]]) -> None:
        self._duals = duals

    @property
    def reduced_costs(self) -> Optional[Dict[Any, Any]]:
        if self._reduced_costs is None and self.col_dual is not None and self.problem is not None:
            self._reduced_costs = _column_tree(self.problem, self.col_dual)
        return self._reduced_costs

    @reduced_costs.setter
    def reduced_costs(self, reduced_costs: Optional[Dict[Any, Any]]) -> None:
        self._reduced_costs = reduced_costs

    def to_dict(self, shaped: bool = True) -> Dict[str, Any]:
        """The JSON-ready form: index values as text keys. (shaped=False
        leaves out the trees that have arrays, for to_json.)"""
        # Shaped from the arrays when there are some, keyed by text.
        problem = self.problem
        values: Optional[Dict[Any, Any]]
        if problem is not None and self.x is not None:
            values = _column_tree(problem, self.x, text=True) if shaped else None
        else:
            values = self.values
        if problem is not None and self.row_dual is not None and self.col_dual is not None:
            duals = _row_tree(problem, self.row_dual, text=True) if shaped else None
            reduced = _column_tree(problem, self.col_dual, text=True) if shaped else None
        else:
            duals, reduced = self.duals, self.reduced_costs
        return {"status": self.status, "reason": self.reason, "objective": self.objective, "values": values,
                "duals": duals, "reduced_costs": reduced, "conflict": self.conflict, "runaway": self.runaway,
                "max_violation": self.max_violation, "violation": self.violation, "warnings": list(self.warnings),
                "notes": list(self.notes), "mip_gap": self.mip_gap, "mip_bound": self.mip_bound,
                "message": self.message}

    def to_json(self, indent: Optional[int] = None) -> str:
        """to_dict() as JSON text: non-finite numbers as null, no raw control
        character in it (DEL and C1 escaped too). Without `indent`, on one
        line, the trees of values and reduced costs written from their
        arrays in native code: a million values in a fraction of a second."""
        if indent is not None:
            return _jsontext.dumps(self.to_dict(), indent)
        problem = self.problem
        parts = []
        for key, value in self.to_dict(shaped=False).items():
            if key == "values" and problem is not None and self.x is not None:
                text = _json_columns(problem, self.x)
            elif key == "reduced_costs" and problem is not None and self.col_dual is not None:
                text = _json_columns(problem, self.col_dual)
            elif key == "duals" and problem is not None and self.row_dual is not None:
                text = _jsontext.dumps(_row_tree(problem, self.row_dual, text=True))
            else:
                text = _jsontext.dumps(value)
            parts.append("%s:%s" % (_jsontext.dumps(key), text))
        return "{" + ",".join(parts) + "}"

    # -- for notebooks and quick looks ------------------------------------------------

    @property
    def column_names(self) -> List[str]:
        """The name of each entry of `x` (empty without the problem)."""
        return self.problem.column_names if self.problem is not None else []

    def flat(self) -> Dict[str, float]:
        """{"take[1]": 3.0, ...}: every value by its column's name, as plain floats."""
        if self.x is None or self.problem is None:
            return {}
        return dict(zip(self.problem.column_names, self.x.tolist()))

    def _nonzero(self, limit: int) -> Tuple[List[Tuple[str, float]], int]:
        if self.x is None or self.problem is None:
            return [], 0
        nonzero = np.flatnonzero(np.abs(self.x) > _ZERO)
        return [(self.problem.column_name(j), float(self.x[j])) for j in nonzero[:limit].tolist()], int(nonzero.size)

    def __str__(self) -> str:
        text = self.status + (" (%s)" % self.reason if self.reason else "")
        if self.objective is not None:
            text += ", objective %s" % _number(self.objective)
        if self.x is not None:
            text += ", %d of %d variables non-zero" % (self._nonzero(0)[1], self.x.size)
        return text

    def __repr__(self) -> str:
        return "<Solution %s objective=%r>" % (self.status, self.objective)

    def _repr_html_(self) -> str:
        """Status, objective and the non-zero values as an HTML table (Jupyter)."""
        from html import escape

        rows, count = self._nonzero(_HTML_ROWS)
        head = "<p><b>%s</b>%s" % (escape(self.status), " (%s)" % escape(self.reason) if self.reason else "")
        if self.objective is not None:
            head += ", objective <b>%s</b>" % escape(_number(self.objective))
        parts = [head + "</p>"]
        parts += ["<p>%s: %s</p>" % (kind, escape(text)) for kind, texts in
                  (("error", [self.violation] if self.violation else []), ("warning", self.warnings),
                   ("note", self.notes)) for text in texts]
        if rows:
            body = "".join("<tr><td>%s</td><td>%s</td></tr>" % (escape(name), escape(_number(value)))
                           for name, value in rows)
            parts.append("<table><thead><tr><th>variable</th><th>value</th></tr></thead><tbody>%s</tbody></table>"
                         % body)
            if count > len(rows):
                parts.append("<p>... and %d more non-zero values</p>" % (count - len(rows)))
        elif self.x is not None:
            parts.append("<p>every variable is zero</p>")
        return "<div>%s</div>" % "".join(parts)

    def to_frame(self, name: str) -> Any:
        """A pandas DataFrame of one variable (its index values as columns
        index1..indexK, then value, and reduced_cost for an LP) or one
        constraint (index values, then dual). Needs pandas."""
        import pandas

        problem = self.problem
        if problem is None:
            raise ValueError("this solution has no problem to name its values")
        for column in problem.column_blocks:
            if column.name == name:
                grid = np.indices(column.shape).reshape(len(column.shape), -1)
                frame: Dict[str, Any] = {"index%d" % (d + 1): [column.index_keys[d][k] for k in grid[d].tolist()]
                                         for d in range(len(column.shape))}
                span = slice(column.first, column.first + column.count)
                frame["value"] = self.x[span] if self.x is not None else np.full(column.count, np.nan)
                if self.col_dual is not None:
                    frame["reduced_cost"] = self.col_dual[span]
                return pandas.DataFrame(frame)
        for row in problem.row_blocks:
            if row.name == name:
                keys = row.index_keys
                frame = {"index%d" % (d + 1): keys[d::row.arity] for d in range(row.arity)}
                span = slice(row.first, row.first + row.count)
                frame["dual"] = self.row_dual[span] if self.row_dual is not None else np.full(row.count, np.nan)
                return pandas.DataFrame(frame)
        raise KeyError(name)

    def to_frames(self) -> Dict[str, Any]:
        """{variable name: to_frame(name)} for every variable. Needs pandas."""
        if self.problem is None:
            return {}
        return {b.name: self.to_frame(b.name) for b in self.problem.column_blocks}


# Values shown by _repr_html_ and str; smaller is shown as zero.
_HTML_ROWS = 50
_ZERO = 1e-9
def _json_columns(problem: LinearProblem, x: FloatArray) -> str:
    """The JSON text of nest_columns(x) keyed by index texts, the innermost
    objects written by _kelm.json_objects."""
    parts = []
    for b in problem.column_blocks:
        block = np.ascontiguousarray(x[b.first:b.first + b.count], dtype=np.float64)
        if not b.index_sets:
            text = _jsontext.dumps(float(block[0])) if block.size else "null"
        elif b.count == 0:
            text = "{}"
        else:
            keys = [[_jsontext.dumps(t) for t in d] for d in b.index_sets]
            level = _kelm.json_objects(block, keys[-1])
            for d in range(len(keys) - 2, -1, -1):
                width = len(keys[d])
                level = ["{" + ",".join("%s:%s" % kv for kv in zip(keys[d], level[r:r + width])) + "}"
                         for r in range(0, len(level), width)]
            text = level[0]
        parts.append("%s:%s" % (_jsontext.dumps(b.name), text))
    return "{" + ",".join(parts) + "}"


def build_problem(model_code: str, data_code: Union[str, Mapping[str, Any]], *,
                  data_dir: Optional[PathLike] = None, work_limit: Optional[int] = None,
                  deadline: Optional[float] = None,
                  cancel: Union[_kelm.CancelToken, threading.Event, None] = None) -> LinearProblem:
    """Compile and ground a model and its data; raise SemanticError for any fault.

    data_code is the data text, whose tables (csv(...)) are read from data_dir
    (default: the current folder), or a mapping {declared name: value} of
    numbers, strings, lists, sets, dicts keyed by index values (tuples for
    several dimensions), numpy arrays in index order, or pandas objects.
    work_limit, deadline and cancel bound the work as tavro._kelm.instantiate does."""
    bounds: Dict[str, Any] = {k: v for k, v in (("work_limit", work_limit), ("deadline", deadline),
                                                     ("cancel", cancel)) if v is not None}
    if isinstance(data_code, Mapping):
        if data_dir is not None:
            raise TypeError("data_dir is for a data text's csv(...) bindings, not for data given as a mapping")
        return LinearProblem(_kelm.instantiate_data(model_code, _data.plain(data_code), **bounds))
    return LinearProblem(_kelm.instantiate(model_code, data_code, data_dir, **bounds))


def _column_tree(problem: LinearProblem, x: FloatArray, text: bool = False) -> Dict[Any, Any]:
    """Column values nested by variable and index: keys in their own type, or
    (text) as the index texts JSON needs."""
    return _answer.nest_columns(x, [(b.name, b.first, b.index_sets if text else b.index_keys)
                                    for b in problem.column_blocks])


def _row_tree(problem: LinearProblem, y: FloatArray, text: bool = False) -> Dict[Any, Any]:
    return _answer.nest_rows(y, [(b.name, b.first, b.arity, b.index if text else b.index_keys)
                                 for b in problem.row_blocks])


class _Request:
    """One solve request: the main solve and every search after it, on one
    HiGHS model, within one deadline."""

    def __init__(self, problem: LinearProblem, options: SolveOptions) -> None:
        self.problem = problem
        self.options = options
        self.cancel = options.cancel if options.cancel is not None else threading.Event()
        self.notes: List[str] = []
        self._model: Optional[_highs.Model] = None

    @property
    def model(self) -> "_highs.Model":
        if self._model is None:
            p = self.problem
            self._model = _highs.Model(p.c, p.A.indptr, p.A.indices, p.A.data, p.row_lower, p.row_upper,
                                       p.col_lower, p.col_upper, p.integrality, p.maximize, p.offset)
        return self._model

    def run(self, mip_gap: Optional[float] = None) -> "_highs.Outcome":
        return self.model.run(self.options.remaining(), mip_gap, self.cancel)

    def solve(self) -> Solution:
        p = self.problem
        trivial = _answer.trivial_status(p.row_lower, p.row_upper, p.col_lower, p.col_upper)
        if trivial is not None:
            return self._trivial(trivial)
        try:
            self.model
        except ValueError as e:
            return Solution("error", problem=p, message=str(e), warnings=self.warnings(), notes=self.notes)
        try:
            outcome = self.run(self.options.mip_gap)
        except KeyboardInterrupt as e:
            e.solution = self._finish(e.outcome)  # type: ignore[attr-defined]
            raise
        solution = self._finish(outcome)
        try:
            self._follow_up(solution)
        except KeyboardInterrupt as e:
            self.notes.append("interrupted before the search after the solve finished")
            e.solution = solution  # type: ignore[attr-defined]
            raise
        return solution

    def _trivial(self, status: str) -> Solution:
        p = self.problem
        if status == "optimal":
            duals = self.options.duals
            return Solution(status, p.offset + 0.0, x=np.zeros(0), problem=p,
                            row_dual=np.zeros(p.num_rows) if duals else None, col_dual=np.zeros(0) if duals else None,
                            max_violation=0.0, message="no variables", warnings=self.warnings())
        conflict: Optional[List[Dict[str, Any]]] = None
        if self.options.conflict:
            crossed = np.flatnonzero(p.row_lower > p.row_upper)
            conflict = [] if (p.col_lower > p.col_upper).any() else [p.row_info(int(crossed[0]))]
        return Solution(status, conflict=conflict, problem=p, message="bounds cross")

    def _finish(self, outcome: "_highs.Outcome") -> Solution:
        """The solution of the main solve, before any search that follows it."""
        p = self.problem
        status, message = outcome.status, outcome.message
        x = outcome.x if status in ("optimal", "limit") else None
        largest = violation = None
        warnings = self.warnings()
        if x is not None:
            x, largest, worst, refused = _answer.settle_point(x, p.integrality, p.A.indptr, p.A.indices, p.A.data,
                                                              p.row_lower, p.row_upper, p.col_lower, p.col_upper)
            if refused is not None:
                warnings.append(_answer.rounding_warning(refused, p.row_name, p.column_name))
            if worst is not None:
                violation = _answer.violation_text(worst, p.row_name, p.column_name)
                status, message = "error", "%s (HiGHS: %s)" % (violation, outcome.message)
        objective = float(p.c @ x + p.offset) + 0.0 if x is not None and status != "error" else None
        solution = Solution(status, objective, x=x, problem=p, reason=outcome.reason if status == "limit" else None,
                            message=message, notes=self.notes, mip_gap=outcome.mip_gap, mip_bound=outcome.mip_bound,
                            max_violation=largest, violation=violation, warnings=warnings)
        if status == "optimal" and self.options.duals and outcome.row_dual is not None:
            solution.row_dual, solution.col_dual = outcome.row_dual, outcome.col_dual
        return solution

    def warnings(self) -> List[str]:
        p = self.problem
        return _answer.coefficient_warnings(p.A.indptr, p.A.indices, p.A.data, p.num_rows, p.c, p.row_name,
                                            p.row_lower, p.row_upper)

    def _follow_up(self, solution: Solution) -> None:
        """What the status asks for after the main solve: ranging of an LP,
        the tie-break between infeasible and unbounded, the conflict of an
        infeasible model, the runaway variables of an unbounded one."""
        p, options = self.problem, self.options
        if solution.status == "optimal" and options.ranging and not p.is_mip:
            records = self.model.ranging()
            if records is not None:
                solution.ranging = Ranging(*(RangeRecord(*records[k]) for k in _RANGING_RECORDS))
            solution.basis = self.model.basis()
        if solution.status == "infeasible_or_unbounded" or (solution.status == "unbounded" and p.is_mip):
            solution.status = self._tie_break()
        if solution.status == "infeasible" and options.conflict:
            solution.conflict = self._conflict()
        elif solution.status == "unbounded":
            solution.runaway = self._runaway()

    def _tie_break(self) -> str:
        # The same rows with a zero objective: feasible means unbounded.
        model = self.model
        model.set_costs(np.zeros(self.problem.num_columns))
        try:
            outcome = self.run()
        finally:
            model.set_costs(self.problem.c)
        if outcome.status == "limit" and outcome.x is None:
            self.notes.append("infeasible or unbounded: the solve that tells them apart did not finish (%s)"
                              % outcome.reason)
        return {"optimal": "unbounded", "infeasible": "infeasible"}.get(outcome.status, "infeasible_or_unbounded")

    def _runaway(self) -> Optional[List[Dict[str, str]]]:
        """Columns that reach a large box put around every unbounded side."""
        p = self.problem
        lower = np.where(np.isinf(p.col_lower), -_RUNAWAY_BOX, p.col_lower)
        upper = np.where(np.isinf(p.col_upper), _RUNAWAY_BOX, p.col_upper)
        self.model.set_column_bounds(lower, upper)
        outcome = self.run()
        x = outcome.x
        if x is None:
            self.notes.append("runaway variables not computed: %s" % (outcome.reason or outcome.message))
            return None
        near = _RUNAWAY_BOX * (1 - 1e-6)
        up = np.flatnonzero(np.isinf(p.col_upper) & (x >= near)).tolist()
        down = np.flatnonzero(np.isinf(p.col_lower) & (x <= -near)).tolist()
        return ([{"name": p.column_name(j), "direction": "up"} for j in up] +
                [{"name": p.column_name(j), "direction": "down"} for j in down])

    # -- the conflict of an infeasible model ------------------------------------------

    def _conflict(self) -> Optional[List[Dict[str, Any]]]:
        """An irreducible infeasible subset of rows (column bounds and
        integrality always kept): HiGHS's own for a linear program, else
        (or when HiGHS gives none in time) a deletion filter over shrinking
        groups of rows. Within the request's deadline and CONFLICT_SECONDS;
        a search cut short reports the infeasible subset it had reached."""
        p = self.problem
        if p.num_rows > CONFLICT_MAX_ROWS or p.A.nnz > CONFLICT_MAX_NONZEROS:
            self.notes.append("conflict not computed: the model has %d rows and %d non-zeros (the search runs up "
                              "to %d rows and %d non-zeros)" % (p.num_rows, p.A.nnz, CONFLICT_MAX_ROWS,
                                                                CONFLICT_MAX_NONZEROS))
            return None
        own = time.monotonic() + CONFLICT_SECONDS
        deadline = own if self.options.deadline is None else min(own, self.options.deadline)
        search = _ConflictSearch(self, deadline)
        rows = search.highs_iis() if not p.is_mip else None
        if rows is None:
            rows = search.deletion_filter()
        if rows is None:
            return None
        return [p.row_info(r) for r in rows]


# Largest model whose conflict is searched for (rows, non-zeros) and the time
# the search may take; HiGHS's own IIS is tried first on linear programs up
# to IIS_MAX_SIZE rows + columns (it also tests every column bound, which
# makes it slow on wide models).
CONFLICT_MAX_NONZEROS = 200_000
IIS_MAX_SIZE = 2_000


class _ConflictSearch:
    """The conflict search's solves: feasibility of the model with some
    rows relaxed (bounds -inf..inf), on the request's HiGHS model."""

    def __init__(self, request: _Request, deadline: float) -> None:
        self.request = request
        self.problem = request.problem
        self.deadline = deadline
        self.model = request.model
        self.model.set_costs(np.zeros(self.problem.num_columns))
        self.active = np.ones(self.problem.num_rows, dtype=bool)

    def left(self) -> float:
        return self.deadline - time.monotonic()

    def _activate(self, rows: npt.NDArray[np.int64], on: bool) -> None:
        p = self.problem
        if on:
            self.model.set_row_bounds(rows, p.row_lower[rows], p.row_upper[rows])
        else:
            self.model.set_row_bounds(rows, np.full(rows.size, -np.inf), np.full(rows.size, np.inf))
        self.active[rows] = on

    def _infeasible(self) -> Optional[bool]:
        """Whether the model with the active rows is infeasible; None when the
        solve did not finish in time."""
        if self.left() <= 0:
            return None
        outcome = self.model.run(min(self.left(), self.request.options.remaining() or np.inf), None,
                                 self.request.cancel)
        if outcome.status == "infeasible":
            return True
        if outcome.status == "optimal":
            return False
        return None

    def highs_iis(self) -> Optional[List[int]]:
        p = self.problem
        if p.num_rows + p.num_columns > IIS_MAX_SIZE or self.left() <= 0:
            return None
        # Half the time at most: the deletion filter takes over if HiGHS gives none.
        rows = self.model.iis(self.left() / 2)
        if rows is None:
            return None
        # Check HiGHS's set: its rows with every column bound must be infeasible.
        others = np.flatnonzero(~np.isin(np.arange(p.num_rows), rows))
        self._activate(others, False)
        verdict = self._infeasible()
        self._activate(others, True)
        return rows if verdict else None

    def deletion_filter(self) -> Optional[List[int]]:
        p = self.problem
        keep = np.arange(p.num_rows)
        self._activate(keep, False)
        verdict = self._infeasible()
        if verdict is None:
            return self._cut_short(keep)
        if verdict:
            return []  # the bounds alone cannot be met
        self._activate(keep, True)
        group = max(1, keep.size // 2)
        while True:
            k = 0
            while k < keep.size:
                trial = keep[k:k + group]
                self._activate(trial, False)
                verdict = self._infeasible()
                if verdict is None:
                    self._activate(trial, True)
                    return self._cut_short(keep)
                if verdict:
                    keep = np.concatenate([keep[:k], keep[k + group:]])
                else:
                    self._activate(trial, True)
                    k += group
            if group == 1:
                break
            group = max(1, group // 2)
        return [int(r) for r in keep]

    def _cut_short(self, keep: npt.NDArray[np.int64]) -> Optional[List[int]]:
        notes = self.request.notes
        if keep.size == self.problem.num_rows:
            notes.append("conflict not computed: the search ran out of time")
            return None
        notes.append("conflict: an infeasible subset of %d rows, not reduced to an irreducible one (the search ran "
                     "out of time)" % keep.size)
        return [int(r) for r in keep]


_RANGING_RECORDS = ("col_cost_up", "col_cost_dn", "col_bound_up", "col_bound_dn", "row_bound_up", "row_bound_dn")


def solve_problem(problem: LinearProblem, time_limit: Optional[float] = None, mip_gap: Optional[float] = None, *,
                  options: Optional[SolveOptions] = None) -> Solution:
    """Solve a LinearProblem with HiGHS and return a Solution. `time_limit`
    and `mip_gap`, when given, override those of `options`."""
    started = time.monotonic()
    request = _Request(problem, _options(options, time_limit, mip_gap).started(started))
    try:
        solution = request.solve()
    except KeyboardInterrupt as e:
        partial = getattr(e, "solution", None)
        if partial is not None:
            partial.seconds = time.monotonic() - started
        raise
    solution.seconds = time.monotonic() - started
    return solution


def solve_files(model_file: PathLike, data_file: PathLike, time_limit: Optional[float] = None,
                mip_gap: Optional[float] = None, *, data_dir: Optional[PathLike] = None,
                options: Optional[SolveOptions] = None) -> Solution:
    """Read, build and solve a model and data file; return a Solution. Tables
    bound in the data are read from data_dir (default: the data file's
    folder). The time limit and deadline cover the build as well as the
    solves (TimeoutError when the build reaches them), the cancel event stops
    either."""
    with open(model_file, encoding="utf-8") as f:
        model_code = f.read()
    with open(data_file, encoding="utf-8") as f:
        data_code = f.read()
    request = _options(options, time_limit, mip_gap).started()
    problem = build_problem(model_code, data_code, data_dir=_data.tables_folder(data_file, data_dir),
                            deadline=request.deadline, cancel=request.cancel)
    return solve_problem(problem, options=request)
