"""Solving a model within one request: the build and the solves share the
request's deadline and the calling thread's work budget and cancel event
(``tavro._work``); the answer as a JSON-ready dictionary and its values as
named numbers. Used by ``tavro.pipeline``, ``tavro._explain`` and the
command line; it imports none of them."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Union

from . import _data, _work
from ._numbers import report_number

if TYPE_CHECKING:
    from types import ModuleType

    from .solver import LinearProblem, Solution

PathArg = Union[str, "os.PathLike[str]"]

# Values smaller than this are shown as zero.
ZERO = 1e-9


def solver() -> ModuleType:
    from . import solver

    return solver


class Answer(dict[str, Any]):
    """A solve's answer as a JSON-ready dictionary; ``objects`` keeps the
    ``(LinearProblem, Solution)`` it came from (None when the model did not
    build), for reports that need the problem's names."""

    objects: tuple[Any, Any] | None = None


def answer_of(problem: LinearProblem, solution: Solution) -> Answer:
    answer = Answer(solution.to_dict())
    if answer["values"] is None:
        answer["values"] = {}
    answer.objects = (problem, solution)
    return answer


def error_answer(message: str) -> Answer:
    return Answer(status="error", objective=None, values={}, duals=None, reduced_costs=None, conflict=None,
                  runaway=None, message=message)


def build_kwargs(data_dir: PathArg | None, data_file: PathArg | None = None) -> dict[str, Any]:
    """Keywords of ``solver.build_problem`` for the folder that tables bound
    in the data are read from: ``data_dir``, else the data file's folder."""
    folder = _data.tables_folder(data_file, data_dir)
    return {} if folder is None else {"data_dir": folder}


def request(time_limit: float | None, mip_gap: float | None = None, ranging: bool = False) -> Any:
    """The ``SolveOptions`` of a request starting now: ``time_limit`` covers
    its build and its solves (one deadline)."""
    return solver().SolveOptions(time_limit=time_limit, mip_gap=mip_gap, ranging=ranging).started()


def build(model_code: str, data_code: str, options: Any, data_dir: PathArg | None = None) -> Any:
    """``solver.build_problem`` within the request's deadline (``options``)
    and the calling thread's work budget and cancel event."""
    bounds = {} if options.deadline is None else {"deadline": options.deadline}
    return _work.run(solver().build_problem, model_code, data_code, **build_kwargs(data_dir), **bounds)


def solve_problem(problem: Any, options: Any) -> Any:
    """``solver.solve_problem`` within the calling thread's work budget and
    cancel event."""
    return _work.solve_within(solver().solve_problem, problem, options)


def solve_texts(model_code: str, data_code: str, *, time_limit: float | None = None,
                mip_gap: float | None = None, data_dir: PathArg | None = None, ranging: bool = False) -> Answer:
    """Solve a model and its data with ``tavro.solver`` (build_problem, then
    solve_problem); tables bound in the data are read from ``data_dir``;
    ``ranging`` asks for the ranges of an LP where the solver gives them;
    ``time_limit`` covers the build and the solve.

    Returns an ``Answer``: ``Solution.to_dict()`` with at least status,
    objective, values, duals, reduced_costs, conflict, runaway and message.
    A model that does not build (compile errors, faults found when grounding
    it over its data, a build past the time limit) or a failing solver gives
    status "error" with the error text as its message; nothing is raised for
    those. The build and the solve take their time from the calling thread's
    work budget (tavro._work), which raises DeadlineExceeded once it is
    spent, and stop once its cancel event is set (KeyboardInterrupt).
    """
    options = request(time_limit, mip_gap, ranging)
    try:
        problem = build(model_code, data_code, options, data_dir)
        solution = solve_problem(problem, options)
    except Exception as e:  # the model or the solver failed: an "error" verdict
        return error_answer(str(e) or type(e).__name__)
    return answer_of(problem, solution)


def solve_pair(model_file: PathArg, data_file: PathArg, *, time_limit: float | None = None,
               mip_gap: float | None = None, data_dir: PathArg | None = None) -> Answer:
    """``solve_texts`` of a model file and a data file (read as UTF-8, as
    ``tavro.solver.solve_files`` reads them); tables are read from
    ``data_dir``, else the data file's folder."""
    try:
        with open(model_file, encoding="utf-8") as f:
            model_code = f.read()
        with open(data_file, encoding="utf-8") as f:
            data_code = f.read()
    except (OSError, UnicodeError) as e:
        return error_answer(str(e))
    return solve_texts(model_code, data_code, time_limit=time_limit, mip_gap=mip_gap,
                       **build_kwargs(data_dir, data_file))


def compile_errors(model_code: str, data_code: str, data_dir: PathArg | None = None) -> list[str]:
    from . import tavro_core

    try:
        _work.run(tavro_core.KelmCompiler().compile_model, model_code, data_code, data_dir=data_dir)
    except Exception as e:
        return [str(e) or type(e).__name__]
    return []


def number(x: object) -> str:
    return report_number(x) if isinstance(x, float) else str(x)


def flat_values(values: dict[Any, Any] | None) -> list[tuple[str, float]]:
    """[(name, value)] of every number in a values (or duals) dictionary, an
    indexed entry named ``x[i,j]``, in the dictionary's order."""
    out: list[tuple[str, float]] = []

    def walk(prefix: str, keys: list[str], node: object) -> None:
        if isinstance(node, dict):
            for k, v in node.items():
                walk(prefix, keys + [str(k)], v)
        elif isinstance(node, (int, float)) and not isinstance(node, bool):
            out.append((prefix + ("[" + ",".join(keys) + "]" if keys else ""), float(node)))

    for name, node in (values or {}).items():
        walk(str(name), [], node)
    return out


def nonzero_values(values: dict[Any, Any] | None, zero: float = ZERO) -> list[tuple[str, float]]:
    """[(name, value)] of the non-zero entries of a values dictionary, an
    indexed variable's entries named ``x[i,j]``, in the dictionary's order."""
    return [(name, value) for name, value in flat_values(values) if abs(value) > zero]

