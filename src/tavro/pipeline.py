"""The solver in the loop: write a model with the LLM, solve it, and let the
solver's verdict drive the repair.

    result = generate_and_solve("A bakery makes ...", "out/m.mod", "out/m.dat")
    result["status"], result["objective"], result["values"]

``generate_and_solve`` runs ``modelwright.generative_solve`` and then
``solve_and_repair``. A verdict of infeasible, unbounded,
infeasible_or_unbounded or error starts a repair round: the description and
the verdict in a modeller's words (the conflicting constraints with their
data, the variables that run away) go to ``modelwright.generative_feedback``,
which is asked for a corrected model and data; a revision that compiles
replaces the pair (atomically) and is solved again, one that does not is
reported and the previous pair stays. With ``check_solution`` an optimal
answer is shown to the LLM as well, and a revision it proposes is taken only
when it solves to optimality. Every round, repair or check, counts against
the same budget ``repair``.

Token usage is summed over every LLM call made on the calling thread,
generation, alignment and feedback calls alike (``generative_feedback``
reports none, so the calls are metered by wrapping the module attribute
``_llm_generate_text``), and priced once at the end.
"""

from __future__ import annotations

import os
import re
import types
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Optional

from . import _hooks, _providers
from ._fileio import write_text_atomic

if TYPE_CHECKING:
    from .solver import LinearProblem, Solution

# A progress callback (or None).
Progress = Optional[Callable[[str], object]]

__all__ = ["REPAIR_VERDICTS", "Answer", "generate_and_solve", "solve_and_repair", "solve_pair", "solve_texts",
           "repair_question", "check_question", "estimate_costs", "format_solution", "nonzero_values"]

REPAIR_VERDICTS = ("infeasible", "unbounded", "infeasible_or_unbounded", "error")

# Values smaller than this are shown as zero.
_ZERO = 1e-9
# At most this many values or rows are quoted to the LLM.
_QUOTE_LIMIT = 200


def _modelwright() -> types.ModuleType:
    from . import modelwright

    return modelwright


def _note(progress: Progress, message: str) -> None:
    if progress is not None:
        try:
            progress(message)
        except Exception:
            pass


# -- solving ----------------------------------------------------------------------

class Answer(dict[str, Any]):
    """A solve's answer as a JSON-ready dictionary; ``objects`` keeps the
    ``(LinearProblem, Solution)`` it came from (None when the model did not
    build), for reports that need the problem's names."""

    objects: tuple[LinearProblem, Solution] | None = None


def _answer_of(problem: LinearProblem, solution: Solution) -> Answer:
    answer = Answer()
    to_dict = getattr(solution, "to_dict", None)
    if callable(to_dict):
        answer.update(to_dict())
    for key in ("status", "objective", "values", "duals", "reduced_costs", "conflict", "runaway", "message"):
        answer.setdefault(key, getattr(solution, key, None))
    if answer["values"] is None:
        answer["values"] = {}
    answer.objects = (problem, solution)
    return answer


def _error_answer(message: str) -> Answer:
    return Answer(status="error", objective=None, values={}, duals=None, reduced_costs=None, conflict=None,
                  runaway=None, message=message)


def solve_texts(model_code: str, data_code: str, *, time_limit: float | None = None,
                mip_gap: float | None = None) -> Answer:
    """Solve a model and its data with ``tavro.solver`` (build_problem, then
    solve_problem).

    Returns an ``Answer``: ``Solution.to_dict()`` with at least status,
    objective, values, duals, reduced_costs, conflict, runaway and message.
    A model that does not build (compile errors, faults found when grounding
    it over its data) or a failing solver gives status "error" with the error
    text as its message; nothing is raised for those.
    """
    from . import solver

    try:
        problem = solver.build_problem(model_code, data_code)
        solution = solver.solve_problem(problem, time_limit=time_limit, mip_gap=mip_gap)
    except Exception as e:  # the model or the solver failed: an "error" verdict
        return _error_answer(str(e) or type(e).__name__)
    return _answer_of(problem, solution)


def solve_pair(model_file: str | os.PathLike[str], data_file: str | os.PathLike[str], *,
               time_limit: float | None = None, mip_gap: float | None = None) -> Answer:
    """``solve_texts`` of a model file and a data file (read as UTF-8, as
    ``tavro.solver.solve_files`` reads them)."""
    try:
        with open(model_file, encoding="utf-8") as f:
            model_code = f.read()
        with open(data_file, encoding="utf-8") as f:
            data_code = f.read()
    except (OSError, UnicodeError) as e:
        return _error_answer(str(e))
    return solve_texts(model_code, data_code, time_limit=time_limit, mip_gap=mip_gap)


def _compile_errors(model_code: str, data_code: str) -> list[str]:
    from . import tavro_core

    try:
        tavro_core.KelmCompiler().compile_model(model_code, data_code)
    except Exception as e:
        return [str(e) or type(e).__name__]
    return []


# -- what the LLM is told ---------------------------------------------------------------

def _number(x: object) -> str:
    if isinstance(x, float):
        if x.is_integer() and abs(x) < 1e15:
            return str(int(x))
        return "%.10g" % x
    return str(x)


def nonzero_values(values: dict[Any, Any] | None, zero: float = _ZERO) -> list[tuple[str, float]]:
    """[(name, value)] of the non-zero entries of a values dictionary, an
    indexed variable's entries named ``x[i,j]``, in the dictionary's order."""
    out: list[tuple[str, float]] = []

    def walk(prefix: str, keys: list[str], node: object) -> None:
        if isinstance(node, dict):
            for k, v in node.items():
                walk(prefix, keys + [str(k)], v)
        elif isinstance(node, (int, float)) and not isinstance(node, bool):
            if abs(node) > zero:
                out.append((prefix + ("[" + ",".join(keys) + "]" if keys else ""), float(node)))

    for name, node in (values or {}).items():
        walk(str(name), [], node)
    return out


def _row_name(row: dict[str, Any]) -> str:
    name = row.get("name")
    if name:
        return str(name)
    label, index = row.get("label"), row.get("index")
    if index in (None, "", [], ()):
        return str(label)
    if isinstance(index, (list, tuple)):
        index = ",".join(str(i) for i in index)
    return "%s[%s]" % (label, index)


def _conflict_lines(conflict: list[dict[str, Any]] | None) -> list[str]:
    lines = []
    for row in (conflict or [])[:_QUOTE_LIMIT]:
        where = []
        if row.get("label") not in (None, ""):
            where.append("label %s" % row["label"])
        if row.get("index") not in (None, "", [], ()):
            index = row["index"]
            where.append("index %s" % (",".join(map(str, index)) if isinstance(index, (list, tuple)) else index))
        if row.get("line") not in (None, ""):
            where.append("model line %s" % row["line"])
        text = row.get("text") or ""
        lines.append("- %s%s%s" % (_row_name(row), " (" + ", ".join(where) + ")" if where else "",
                                   ": " + text if text else ""))
    more = len(conflict or []) - _QUOTE_LIMIT
    if more > 0:
        lines.append("- ... and %d more" % more)
    return lines


_WAYS: dict[object, str] = {"up": "grows without bound (towards +infinity)",
                            "down": "falls without bound (towards -infinity)"}


def _runaway_lines(runaway: list[dict[str, Any]] | None) -> list[str]:
    lines = []
    for entry in (runaway or [])[:_QUOTE_LIMIT]:
        direction = entry.get("direction")
        way = _WAYS.get(direction, "runs away (%s)" % direction)
        lines.append("- %s %s" % (entry.get("name"), way))
    return lines


_ASK_FOR_REVISION = (
    "Find the modelling error (a constraint with the wrong direction, a wrong coefficient or data value, "
    "a missing variable or bound, a constraint the description does not ask for) and return the corrected "
    "model and data as complete texts in \"revised_model\" and \"revised_data\", with \"feedback\" saying "
    "what you changed and why."
)


def repair_question(description: str, answer: dict[str, Any],
                    failed_revision: tuple[str, list[str]] | None = None) -> str:
    """The question put to ``generative_feedback`` for a bad verdict: the
    problem description and, in a modeller's words, what the solver found;
    ``failed_revision`` (a heading and lines) tells why the last revision
    was not taken."""
    status = answer.get("status")
    parts = ["This model and data were written for the following problem:", "", description.strip(), ""]
    if status == "infeasible":
        parts.append("Solving them finds the model INFEASIBLE: no values satisfy all constraints together.")
        rows = _conflict_lines(answer.get("conflict"))
        if rows:
            parts.append("These constraints conflict with each other (an irreducible infeasible subset; "
                         "each row is shown with its data filled in):")
            parts.extend(rows)
    elif status == "unbounded":
        parts.append("Solving them finds the model UNBOUNDED: the objective can be improved without limit, "
                     "which a real problem does not allow.")
        rows = _runaway_lines(answer.get("runaway"))
        if rows:
            parts.append("These variables run away:")
            parts.extend(rows)
    elif status == "infeasible_or_unbounded":
        parts.append("Solving them finds the model INFEASIBLE OR UNBOUNDED (the solver cannot tell which).")
        rows = _conflict_lines(answer.get("conflict")) + _runaway_lines(answer.get("runaway"))
        if rows:
            parts.extend(rows)
    else:
        message = str(answer.get("message") or "unknown error")
        if re.match(r"(model|data):\d+:", message):
            parts.append("The model and data do not compile; the compiler reports:")
        else:
            parts.append("The model could not be solved; the error is:")
        parts.append(message)
    if answer.get("message") and status != "error":
        parts.append("Solver message: %s" % answer["message"])
    if failed_revision:
        header, lines = failed_revision
        parts.append("")
        parts.append(header)
        parts.extend(lines)
    parts.append("")
    parts.append(_ASK_FOR_REVISION)
    return "\n".join(parts)


def check_question(description: str, answer: dict[str, Any]) -> str:
    """The question put to ``generative_feedback`` to check an optimal answer
    against the problem it should answer."""
    values = nonzero_values(answer.get("values"))
    parts = ["This model and data were written for the following problem:", "", description.strip(), "",
             "Solving them gives an optimal solution with objective value %s." % _number(answer.get("objective"))]
    if values:
        parts.append("The non-zero values are:")
        parts.extend("- %s = %s" % (name, _number(v)) for name, v in values[:_QUOTE_LIMIT])
        if len(values) > _QUOTE_LIMIT:
            parts.append("- ... and %d more" % (len(values) - _QUOTE_LIMIT))
    else:
        parts.append("Every variable is zero.")
    parts.extend(["", "Does this solution answer the problem as described (every requirement met, the right "
                  "objective, the numbers of the description used)? If it does, reply with \"feedback\" only. "
                  "If it does not, return the corrected model and data as complete texts in \"revised_model\" "
                  "and \"revised_data\", with \"feedback\" saying what was wrong."])
    return "\n".join(parts)


# -- cost -----------------------------------------------------------------------------

def estimate_costs(usage: dict[str, int], model_name: str, llm_provider: str | None = None) -> dict[str, float]:
    """Price summed usage once through ``tokenmeter.estimate_costs``; a free
    (local) model costs nothing and needs no price list; any failure gives
    an empty estimate, as in ``generative_solve``. Without "prompt_cost" the
    price is unknown (``total_cost`` 0.0 then does not mean free)."""
    try:
        if _providers.is_free(_modelwright()._infer_provider(llm_provider, model_name)):
            return {"prompt_cost": 0.0, "completion_cost": 0.0, "total_cost": 0.0}
        from . import tokenmeter

        result = tokenmeter.estimate_costs(types.SimpleNamespace(model=model_name), usage)
        return dict(result) if result else {}
    except Exception:
        return {}


# -- the loop -----------------------------------------------------------------------

def _feedback_kwargs(model_name: str | None, llm_provider: str | None, mode: object, temperature: float | None,
                     progress: Progress) -> dict[str, Any]:
    mw = _modelwright()
    kwargs: dict[str, Any] = {"model_name": model_name if model_name is not None else mw.MODEL_NAME,
              "llm_provider": llm_provider, "progress": progress}
    if mode is not None:
        kwargs["mode"] = mode
    if temperature is not None:
        kwargs["temperature"] = temperature
    return kwargs


def solve_and_repair(description: str, model_file: str | os.PathLike[str], data_file: str | os.PathLike[str], *,
                     repair: int = 2, check_solution: bool = False, model_name: str | None = None,
                     llm_provider: str | None = None, mode: object = None, temperature: float | None = None,
                     time_limit: float | None = None, mip_gap: float | None = None,
                     progress: Progress = None) -> dict[str, Any]:
    """Solve a model and data file, and repair it with the LLM while the
    verdict is bad.

    Args:
        description (str): the problem the pair should model.
        model_file, data_file: the pair; a revision that compiles replaces
            them (atomic writes), one that does not leaves them as they are.
        repair (int): at most this many feedback rounds (repairs and checks).
        check_solution (bool): show an optimal answer to the LLM and take a
            revision it proposes when that revision solves to optimality.
        model_name, llm_provider, mode, temperature: as for
            ``generative_feedback`` (model_name None: ``MODEL_NAME`` now;
            llm_provider None: chosen from the model name).
        time_limit, mip_gap: solver options.
        progress (callable|None): receives progress messages.

    Returns:
        dict: the answer of the last solve (status, objective, values, duals,
        reduced_costs, conflict, runaway, message) under "solution", its
        status, objective and values at the top, "repairs" (feedback rounds
        made) and "rounds" (one record per round: kind, verdict, feedback,
        outcome, errors). A feedback call that fails ends the rounds with
        outcome "llm_error" and its error; the answer in hand is returned.
    """
    mw = _modelwright()
    fb_kwargs = _feedback_kwargs(model_name, llm_provider, mode, temperature, progress)
    model_file, data_file = os.fspath(model_file), os.fspath(data_file)
    answer = solve_pair(model_file, data_file, time_limit=time_limit, mip_gap=mip_gap)
    _note(progress, "Solved: %s" % answer["status"])
    rounds: list[dict[str, Any]] = []
    checked = False
    failed: tuple[str, list[str]] | None = None
    budget = max(int(repair), 0)
    while len(rounds) < budget:
        status = answer["status"]
        if status in REPAIR_VERDICTS:
            kind, question = "repair", repair_question(description, answer, failed)
        elif status == "optimal" and check_solution and not checked:
            kind, question = "check", check_question(description, answer)
        else:
            break
        _note(progress, "Round %d: %s (%s)" % (len(rounds) + 1, kind, status))
        entry: dict[str, Any] = {"round": len(rounds) + 1, "kind": kind, "verdict": status, "feedback": None,
                                 "outcome": None, "errors": []}
        rounds.append(entry)
        try:
            reply = mw.generative_feedback(question, model_file, data_file, **fb_kwargs)
        except Exception as e:  # the answer in hand stays; the failure is reported
            entry["outcome"] = "llm_error"
            entry["errors"] = ["%s: %s" % (type(e).__name__, str(e) or type(e).__name__)]
            _note(progress, "The feedback call failed: %s" % entry["errors"][0])
            break
        reply = reply if isinstance(reply, dict) else {}
        entry["feedback"] = reply.get("feedback")
        model_code, data_code = reply.get("revised_model"), reply.get("revised_data")
        if not isinstance(model_code, str) and not isinstance(data_code, str):
            entry["outcome"] = "no_revision"
            _note(progress, "No revision proposed")
            if kind == "check":
                checked = True
                continue
            break
        if not isinstance(model_code, str):
            model_code = _read(model_file)
        if not isinstance(data_code, str):
            data_code = _read(data_file)
        errors = _compile_errors(model_code, data_code)
        if errors:
            entry["outcome"] = "not_compiled"
            entry["errors"] = errors
            failed = ("A previous revision did not compile:", errors)
            _note(progress, "The revision does not compile; the previous pair stays: %s" % "; ".join(errors))
            if kind == "check":
                checked = True
            continue
        failed = None
        checked = checked or kind == "check"
        candidate = solve_texts(model_code, data_code, time_limit=time_limit, mip_gap=mip_gap)
        _note(progress, "The revision solves: %s" % candidate["status"])
        # Never trade an optimal pair for a worse one, nor a solvable
        # pair for one the solver fails on.
        if (kind == "check" and candidate["status"] != "optimal") or (
                candidate["status"] == "error" and status != "error"):
            entry["outcome"] = "kept"
            entry["errors"] = [str(candidate.get("message") or candidate["status"])]
            failed = ("A previous revision could not be solved (%s):" % candidate["status"], entry["errors"])
            _note(progress, "The previous pair (%s) stays" % status)
            continue
        write_text_atomic(model_file, model_code)
        write_text_atomic(data_file, data_code)
        entry["outcome"] = "revised"
        _note(progress, "Revision written: %s \u2022 %s" % (model_file, data_file))
        answer = candidate
    return {"status": answer["status"], "objective": answer["objective"], "values": answer["values"],
            "repairs": len(rounds), "rounds": rounds, "solution": answer}


def _read(path: str) -> str:
    with open(path) as f:
        return f.read()


def generate_and_solve(description: str, model_file: str | os.PathLike[str], data_file: str | os.PathLike[str], *,
                       iterations: int | None = None, alignment_check: bool | None = None, few_shot: bool = True,
                       repair: int = 2, check_solution: bool = False, model_name: str | None = None,
                       llm_provider: str | None = None, mode: object = None, temperature: float | None = None,
                       time_limit: float | None = None, mip_gap: float | None = None,
                       progress: Progress = None) -> dict[str, Any]:
    """Write a model and data file for ``description`` with
    ``generative_solve``, then ``solve_and_repair`` them.

    Returns one dictionary: status, objective, values, model_file,
    data_file, iterations, repairs, usage (summed over every LLM call of
    both steps), estimated_costs, then assessment, syntax_errors (of the
    generation), rounds, solution (the full answer) and error (the error of
    a failed feedback call, else None). Errors of generative_solve
    propagate.
    """
    mw = _modelwright()
    model_name = model_name if model_name is not None else mw.MODEL_NAME
    solve_kwargs: dict[str, Any] = {"model_name": model_name, "return_statistics": True,
                                    "alignment_check": alignment_check, "llm_provider": llm_provider,
                                    "progress": progress, "few_shot": few_shot}
    if iterations is not None:
        solve_kwargs["iterations"] = iterations
    if mode is not None:
        solve_kwargs["mode"] = mode
    if temperature is not None:
        solve_kwargs["temperature"] = temperature
    with _hooks.metering() as meter:
        stats = mw.generative_solve(description, model_file, data_file, **solve_kwargs)
        outcome = solve_and_repair(description, model_file, data_file, repair=repair,
                                   check_solution=check_solution, model_name=model_name,
                                   llm_provider=llm_provider, mode=mode, temperature=temperature,
                                   time_limit=time_limit, mip_gap=mip_gap, progress=progress)
    stats = stats if isinstance(stats, dict) else {}
    usage = meter.usage
    return {
        "status": outcome["status"],
        "objective": outcome["objective"],
        "values": outcome["values"],
        "model_file": os.fspath(model_file),
        "data_file": os.fspath(data_file),
        "iterations": stats.get("iterations"),
        "repairs": outcome["repairs"],
        "usage": usage,
        "estimated_costs": estimate_costs(usage, model_name, llm_provider),
        "assessment": stats.get("assessment"),
        "syntax_errors": stats.get("syntax_errors", []),
        "rounds": outcome["rounds"],
        "solution": outcome["solution"],
        "error": next((r["errors"][0] for r in outcome["rounds"] if r["outcome"] == "llm_error"), None),
    }


# -- printing ---------------------------------------------------------------------------

def format_solution(answer: dict[str, Any], limit: int = 50) -> str:
    """The answer as plain text: status, objective, the non-zero values (at
    most ``limit``), then the conflicting rows of an infeasible model or the
    runaway variables of an unbounded one, or the error."""
    lines = ["Status: %s" % answer.get("status")]
    if answer.get("objective") is not None:
        lines.append("Objective: %s" % _number(answer["objective"]))
    values = nonzero_values(answer.get("values"))
    if values:
        width = min(max(len(name) for name, _ in values[:limit]), 40)
        lines.append("Non-zero values:")
        lines.extend("  %-*s  %s" % (width, name, _number(v)) for name, v in values[:limit])
        if len(values) > limit:
            lines.append("  ... and %d more" % (len(values) - limit))
    elif answer.get("status") in ("optimal", "limit"):
        lines.append("Every variable is zero.")
    if answer.get("conflict"):
        lines.append("Conflicting constraints:")
        lines.extend("  " + line[2:] for line in _conflict_lines(answer["conflict"]))
    if answer.get("runaway"):
        lines.append("Unbounded directions:")
        lines.extend("  " + line[2:] for line in _runaway_lines(answer["runaway"]))
    if answer.get("status") == "error" and answer.get("message"):
        lines.append("Error: %s" % answer["message"])
    return "\n".join(lines)
