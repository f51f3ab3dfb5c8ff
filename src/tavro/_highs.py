"""The problem handed to HiGHS through highspy: the CSC arrays passed as
numpy arrays in one call, one solve per question, and what that solve knows
(values, duals, basis, ranging, an irreducible infeasible subset) read back
as numpy arrays.

A solve runs on a worker thread so that the calling thread stays free to
take a KeyboardInterrupt; an interrupt callback stops HiGHS within an
iteration once the request's cancel event is set.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

import highspy
import numpy as np
import numpy.typing as npt
from highspy._core import _Highs

from . import _answer

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int32]

_MS = highspy.HighsModelStatus
_LIMITS = {_MS.kTimeLimit: "time limit", _MS.kIterationLimit: "iteration limit", _MS.kInterrupt: "interrupted",
           _MS.kSolutionLimit: "solution limit", _MS.kObjectiveBound: "objective bound",
           _MS.kObjectiveTarget: "objective target"}
# HiGHS's interrupt callbacks: checked every simplex and IPM iteration and
# between MIP nodes.
_INTERRUPTS = ("kCallbackSimplexInterrupt", "kCallbackIpmInterrupt", "kCallbackMipInterrupt")
# How often the waiting thread looks up from a running solve (seconds).
_POLL = 0.05
# HighsIis.status_ of a set that HiGHS has reduced to an irreducible one.
IIS_IRREDUCIBLE = 3
# The primal solution status of a feasible point (HiGHS's kSolutionStatusFeasible).
_FEASIBLE_POINT = 2


@dataclass(frozen=True)
class Outcome:
    """What one run of HiGHS reports. `status` is a status word (before the
    tie-break between infeasible and unbounded: "infeasible_or_unbounded"
    and, for a MIP, "unbounded" are HiGHS's word, not yet settled); `reason`
    says why a "limit" stopped; `x` is HiGHS's own point when it has a
    feasible one."""

    status: str
    reason: Optional[str]
    message: str
    x: Optional[FloatArray]
    row_dual: Optional[FloatArray]
    col_dual: Optional[FloatArray]
    mip_gap: Optional[float]
    mip_bound: Optional[float]


class Cancelled(Exception):
    """The request's cancel event was set before the run could start."""


class Model:
    """One HiGHS instance holding the problem: runs, changes of bounds and
    costs (for the searches that follow a solve) and what it can report."""

    def __init__(self, c: FloatArray, indptr: npt.NDArray[Any], indices: npt.NDArray[Any], values: FloatArray,
                 row_lower: FloatArray, row_upper: FloatArray, col_lower: FloatArray, col_upper: FloatArray,
                 integrality: npt.NDArray[np.uint8], maximize: bool, offset: float) -> None:
        # The core class: highspy.Highs's constructor prints HiGHS's banner
        # before any option can be set, and its thread helpers share one
        # lock between every instance.
        h = _Highs()
        h.setOptionValue("output_flag", False)
        self.h = h
        self.num_columns = int(c.size)
        self.num_rows = int(row_lower.size)
        self.is_mip = bool(integrality.any())
        # Rows HiGHS would mistreat go in multiplied by a power of two; the
        # row bounds, duals and ranging crossing this class are the model's.
        self._scale = _answer.row_scales(indices, values, self.num_rows, row_lower, row_upper)
        if self._scale is not None:
            values = values * self._scale[indices]
            row_lower, row_upper = row_lower * self._scale, row_upper * self._scale
        sense = highspy.ObjSense.kMaximize if maximize else highspy.ObjSense.kMinimize
        status = h.passModel(self.num_columns, self.num_rows, int(values.size), int(highspy.MatrixFormat.kColwise),
                             int(sense), float(offset), c, col_lower, col_upper, row_lower, row_upper,
                             np.asarray(indptr, dtype=np.int32), np.asarray(indices, dtype=np.int32), values,
                             np.asarray(integrality, dtype=np.int32))
        if status == highspy.HighsStatus.kError:
            raise ValueError("HiGHS refused the problem (a coefficient or bound out of its range)")
        self._cancel: Optional[threading.Event] = None
        h.setCallback(self._callback, None)
        for name in _INTERRUPTS:
            h.startCallback(getattr(highspy.cb.HighsCallbackType, name))

    def _callback(self, _kind: Any, _message: str, _out: Any, data_in: Any, _user: Any) -> None:
        cancel = self._cancel
        if cancel is not None and cancel.is_set() and data_in is not None:
            data_in.user_interrupt = True

    def set_option(self, name: str, value: Any) -> None:
        self.h.setOptionValue(name, value)

    def run(self, time_limit: Optional[float] = None, mip_gap: Optional[float] = None,
            cancel: Optional[threading.Event] = None) -> Outcome:
        """One solve. A KeyboardInterrupt while it runs sets `cancel` (made
        here when None), waits for HiGHS to stop and is raised again with
        the outcome as its `outcome` attribute."""
        h = self.h
        h.setOptionValue("time_limit", float("inf") if time_limit is None else max(0.0, float(time_limit)))
        if mip_gap is not None:
            h.setOptionValue("mip_rel_gap", float(mip_gap))
        cancel = cancel if cancel is not None else threading.Event()
        if cancel.is_set():
            raise Cancelled
        self._cancel = cancel
        failure: List[BaseException] = []
        done = threading.Event()

        def work() -> None:
            try:
                h.run()
            except BaseException as e:  # handed to the waiting thread
                failure.append(e)
            finally:
                done.set()

        # Waiting on an event, not on join(): a join cut short by
        # KeyboardInterrupt may report a running thread as finished.
        threading.Thread(target=work, name="tavro-highs", daemon=True).start()
        interrupted: Optional[KeyboardInterrupt] = None
        while not done.is_set():
            try:
                done.wait(_POLL)
            except KeyboardInterrupt as e:
                cancel.set()
                interrupted = interrupted or e
        self._cancel = None
        if failure:
            raise failure[0]
        outcome = self.outcome()
        if interrupted is not None:
            interrupted.outcome = outcome  # type: ignore[attr-defined]
            raise interrupted
        return outcome

    def outcome(self) -> Outcome:
        h = self.h
        status = h.getModelStatus()
        info = h.getInfo()
        message = h.modelStatusToString(status)
        reason = _LIMITS.get(status)
        if status == _MS.kOptimal:
            word = "optimal"
        elif status == _MS.kInfeasible:
            word = "infeasible"
        elif status == _MS.kUnbounded:
            word = "unbounded"
        elif status == _MS.kUnboundedOrInfeasible:
            word = "infeasible_or_unbounded"
        elif reason is not None:
            word = "limit"
        else:
            word = "error"
        x = row_dual = col_dual = None
        if word in ("optimal", "limit") and info.primal_solution_status == _FEASIBLE_POINT:
            solution = h.getSolution()
            x = np.asarray(solution.col_value, dtype=np.float64)
            if word == "optimal" and not self.is_mip and solution.dual_valid:
                row_dual = np.asarray(solution.row_dual, dtype=np.float64) + 0.0
                if self._scale is not None:
                    row_dual = row_dual * self._scale
                col_dual = np.asarray(solution.col_dual, dtype=np.float64) + 0.0
        gap = bound = None
        if self.is_mip and x is not None:
            gap, bound = float(info.mip_gap), float(info.mip_dual_bound)
        return Outcome(word, reason, message, x, row_dual, col_dual, gap, bound)

    # -- changes between runs -----------------------------------------------------

    def set_costs(self, c: FloatArray) -> None:
        idx = np.arange(self.num_columns, dtype=np.int32)
        self.h.changeColsCost(self.num_columns, idx, np.asarray(c, dtype=np.float64))

    def set_column_bounds(self, lower: FloatArray, upper: FloatArray) -> None:
        idx = np.arange(self.num_columns, dtype=np.int32)
        self.h.changeColsBounds(self.num_columns, idx, np.asarray(lower, dtype=np.float64),
                                np.asarray(upper, dtype=np.float64))

    def set_row_bounds(self, rows: npt.NDArray[Any], lower: FloatArray, upper: FloatArray) -> None:
        rows = np.asarray(rows, dtype=np.int32)
        if self._scale is not None:
            lower, upper = lower * self._scale[rows], upper * self._scale[rows]
        if rows.size:
            # (missing from highspy's stubs, present in the module)
            self.h.changeRowsBounds(int(rows.size), rows, np.asarray(lower, dtype=np.float64),  # type: ignore
                                    np.asarray(upper, dtype=np.float64))

    # -- what a solve knows beyond the point ----------------------------------------

    def ranging(self) -> Optional[Dict[str, Tuple[FloatArray, FloatArray, IntArray, IntArray]]]:
        """HiGHS's cost and bound ranging of an LP solved to optimality:
        {record: (value, objective, in_var, ou_var)} for col_cost_up,
        col_cost_dn, col_bound_up, col_bound_dn, row_bound_up, row_bound_dn."""
        status, ranging = self.h.getRanging()
        if status != highspy.HighsStatus.kOk:
            return None
        out = {}
        for name in ("col_cost_up", "col_cost_dn", "col_bound_up", "col_bound_dn", "row_bound_up", "row_bound_dn"):
            record = getattr(ranging, name)
            # HiGHS may size a record's arrays for every column and row: keep its own part.
            n = self.num_columns if name.startswith("col") else self.num_rows
            value = np.asarray(record.value_, dtype=np.float64)[:n]
            if name.startswith("row") and self._scale is not None:
                value = value / self._scale
            out[name] = (value,
                         np.asarray(record.objective_, dtype=np.float64)[:n],
                         np.asarray(record.in_var_, dtype=np.int32)[:n], np.asarray(record.ou_var_, dtype=np.int32)[:n])
        return out

    def basis(self) -> Optional[Tuple[npt.NDArray[np.int8], npt.NDArray[np.int8]]]:
        """HiGHS's basis status of each column and row (HighsBasisStatus
        codes: 0 lower, 1 basic, 2 upper, 3 zero, 4 nonbasic), or None."""
        basis = self.h.getBasis()
        if not basis.valid:
            return None
        return (np.fromiter(map(int, basis.col_status), dtype=np.int8, count=self.num_columns),
                np.fromiter(map(int, basis.row_status), dtype=np.int8, count=self.num_rows))

    def iis(self, time_limit: float) -> Optional[List[int]]:
        """The rows of HiGHS's irreducible infeasible subset of an LP found
        infeasible, or None when HiGHS does not give one it calls
        irreducible within the time."""
        h = self.h
        h.setOptionValue("iis_strategy", int(highspy.IisStrategy.kIisStrategyIrreducible))
        h.setOptionValue("iis_time_limit", max(0.0, float(time_limit)))
        status, iis = h.getIis()
        if status != highspy.HighsStatus.kOk or not iis.valid_ or iis.status_ != IIS_IRREDUCIBLE:
            return None
        rows: List[int] = sorted(int(r) for r in iis.row_index_)
        return rows

def version() -> str:
    return "%d.%d.%d" % (highspy.HIGHS_VERSION_MAJOR, highspy.HIGHS_VERSION_MINOR, highspy.HIGHS_VERSION_PATCH)



def write_model(path: str, c: FloatArray, indptr: npt.NDArray[Any], indices: npt.NDArray[Any], values: FloatArray,
                row_lower: FloatArray, row_upper: FloatArray, col_lower: FloatArray, col_upper: FloatArray,
                integrality: npt.NDArray[np.uint8], maximize: bool, offset: float, column_names: List[str],
                row_names: List[str]) -> None:
    """The problem written by HiGHS in the format its extension names (.mps,
    .lp), with these names."""
    lp = highspy.HighsLp()
    lp.num_col_ = int(c.size)
    lp.num_row_ = int(row_lower.size)
    lp.col_cost_ = c
    lp.col_lower_ = col_lower
    lp.col_upper_ = col_upper
    lp.row_lower_ = row_lower
    lp.row_upper_ = row_upper
    lp.offset_ = float(offset)
    lp.sense_ = highspy.ObjSense.kMaximize if maximize else highspy.ObjSense.kMinimize
    lp.a_matrix_.format_ = highspy.MatrixFormat.kColwise
    lp.a_matrix_.num_col_ = lp.num_col_
    lp.a_matrix_.num_row_ = lp.num_row_
    lp.a_matrix_.start_ = np.asarray(indptr, dtype=np.int32)
    lp.a_matrix_.index_ = np.asarray(indices, dtype=np.int32)
    lp.a_matrix_.value_ = values
    lp.col_names_ = column_names
    lp.row_names_ = row_names
    h = _Highs()
    h.setOptionValue("output_flag", False)
    failed = h.passModel(lp) == highspy.HighsStatus.kError
    if not failed and integrality.any():
        idx = np.arange(lp.num_col_, dtype=np.int32)
        failed = h.changeColsIntegrality(lp.num_col_, idx, np.asarray(integrality, dtype=np.uint8)) == \
            highspy.HighsStatus.kError
    if failed or h.writeModel(path) == highspy.HighsStatus.kError:
        raise OSError("HiGHS could not write %s" % path)
