"""Solve Tavro models with HiGHS (through SciPy) and report the answer in the
model's own names.

    problem = build_problem(model_code, data_code)   # LinearProblem
    result = solve_problem(problem)                   # Solution
    result.status, result.objective, result.values

Status words: "optimal", "infeasible", "unbounded", "infeasible_or_unbounded"
(only when the solver cannot tell), "limit" (time or iteration limit), "error".
The shape of every result is documented in docs/solving.md.
"""

STATUSES = ("optimal", "infeasible", "unbounded", "infeasible_or_unbounded", "limit", "error")

__all__ = ["build_problem", "solve_problem", "solve_files", "LinearProblem", "Solution", "STATUSES"]


class LinearProblem:
    """A model grounded over its data: min/max c.x + offset subject to
    row_lower <= A x <= row_upper, col_lower <= x <= col_upper, x[j] integer
    where integrality[j] == 1.

    Attributes: c, A (scipy.sparse CSC), row_lower, row_upper, col_lower,
    col_upper, integrality (numpy arrays), sense ("minimize"/"maximize"),
    offset (float), column_names, row_names (lists of str, built on first use).
    """


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


def build_problem(model_code, data_code):
    """Compile and ground a model and its data; raise SemanticError for any fault."""
    raise NotImplementedError


def solve_problem(problem, time_limit=None, mip_gap=None):
    """Solve a LinearProblem with HiGHS and return a Solution."""
    raise NotImplementedError


def solve_files(model_file, data_file, time_limit=None, mip_gap=None):
    """Read, build and solve a model and data file; return a Solution."""
    raise NotImplementedError
