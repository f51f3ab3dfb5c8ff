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

The model and data file are a pair: ``generate_and_solve`` has
``generative_solve`` and the repairs write temporary files beside them
(``PairStage``) and replaces both together when the run ends, so an
interrupted or failed run leaves a whole pair, never a new model beside an
old data file.

Two safeguards run on every round: a revision (or the first generation)
that changes a number stated in the description is flagged in
``stated_changes``; and on an infeasible verdict the LLM may answer that the
model is right and the problem as described has no solution, which ends the
rounds with the conflict explained (``infeasible_as_described``).

With ``candidates`` K > 1, K generations run at once and must agree
(``tavro._candidates``). ``explain`` and ``whatif`` question a solved pair
(``tavro._explain``).

Token usage is summed over every LLM call made on the calling thread,
generation, alignment and feedback calls alike (``generative_feedback``
reports none, so the calls are metered by wrapping the module attribute
``_llm_generate_text``), and priced once at the end.
"""

from __future__ import annotations

import contextlib
import os
import re
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

from . import _fileio, _given, _hooks, _stated
from ._asking import ask_llm, estimate_costs
from ._asking import feedback_kwargs as _feedback_kwargs, modelwright as _modelwright, note as _note
from ._solving import Answer, build_kwargs, flat_values, nonzero_values, solve_pair, solve_texts
from ._solving import compile_errors as _compile_errors, number as _number

if TYPE_CHECKING:
    from types import TracebackType

    from ._explain import explain as explain, whatif as whatif

__all__ = ["REPAIR_VERDICTS", "INFEASIBLE_AS_DESCRIBED", "Answer", "PairStage", "generate_and_solve",
           "solve_and_repair", "solve_pair", "solve_texts", "repair_question", "check_question", "estimate_costs",
           "format_solution", "nonzero_values", "flat_values", "ask_llm", "explain", "whatif"]

Progress = Optional[Callable[[Any], object]]
PathArg = Union[str, "os.PathLike[str]"]
# A text derived from the data, as it may be shown to the LLM.
Redact = Callable[[str], str]

REPAIR_VERDICTS = ("infeasible", "unbounded", "infeasible_or_unbounded", "error")

# At most this many values or rows are quoted to the LLM.
_QUOTE_LIMIT = 200


# -- what the LLM is told ---------------------------------------------------------------


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


def _runaway_lines(runaway: list[dict[str, Any]] | None) -> list[str]:
    lines = []
    for entry in (runaway or [])[:_QUOTE_LIMIT]:
        direction = str(entry.get("direction"))
        way = {"up": "grows without bound (towards +infinity)",
               "down": "falls without bound (towards -infinity)"}.get(direction, "runs away (%s)" % direction)
        lines.append("- %s %s" % (entry.get("name"), way))
    return lines


_ASK_FOR_REVISION = (
    "Find the modelling error (a constraint with the wrong direction, a wrong coefficient or data value, "
    "a missing variable or bound, a constraint the description does not ask for) and return the corrected "
    "model and data as complete texts in \"revised_model\" and \"revised_data\", with \"feedback\" saying "
    "what you changed and why."
)


# How the LLM says that a faithful model of an unsolvable problem is right.
INFEASIBLE_AS_DESCRIBED = "INFEASIBLE AS DESCRIBED:"

_ALLOW_NO_SOLUTION = (
    "The problem as described may itself have no solution. Never change a number stated in the description "
    "to make the model solvable. If the model and data are a faithful reading of the description and its "
    "requirements really cannot all be met, return no revision: reply with \"feedback\" only, starting with "
    "\"%s\" and then saying in the problem's own words (not the model's names) which requirements conflict "
    "and why." % INFEASIBLE_AS_DESCRIBED
)

_NO_SOLUTION_REPLY = re.compile(r"\s*[*_`\"']*\s*infeasible\s+as\s+described\s*[*_`\"']*\s*[:.\-\u2013\u2014]?\s*",
                                re.I)


def described_infeasible(feedback: object) -> str | None:
    """The conflict explained in a reply that calls the problem infeasible
    as described, or None for any other reply."""
    if not isinstance(feedback, str):
        return None
    m = _NO_SOLUTION_REPLY.match(feedback)
    if m is None:
        return None
    return feedback[m.end():].strip()


def _same(text: str) -> str:
    return text


def repair_question(description: str, answer: dict[str, Any],
                    failed_revision: tuple[str, list[str]] | None = None, *, redact: Redact | None = None) -> str:
    """The question put to ``generative_feedback`` for a bad verdict: the
    problem description and, in a modeller's words, what the solver found;
    ``failed_revision`` (a heading and lines) tells why the last revision
    was not taken. ``redact`` is applied to every text that comes from the
    data (rows, names, messages); the description is given as it is."""
    r = redact or _same
    status = answer.get("status")
    parts = ["This model and data were written for the following problem:", "", description.strip(), ""]
    if status == "infeasible":
        parts.append("Solving them finds the model INFEASIBLE: no values satisfy all constraints together.")
        rows = _conflict_lines(answer.get("conflict"))
        if rows:
            parts.append("These constraints conflict with each other (an irreducible infeasible subset; "
                         "each row is shown with its data filled in):")
            parts.extend(map(r, rows))
    elif status == "unbounded":
        parts.append("Solving them finds the model UNBOUNDED: the objective can be improved without limit, "
                     "which a real problem does not allow.")
        rows = _runaway_lines(answer.get("runaway"))
        if rows:
            parts.append("These variables run away:")
            parts.extend(map(r, rows))
    elif status == "infeasible_or_unbounded":
        parts.append("Solving them finds the model INFEASIBLE OR UNBOUNDED (the solver cannot tell which).")
        rows = _conflict_lines(answer.get("conflict")) + _runaway_lines(answer.get("runaway"))
        if rows:
            parts.extend(map(r, rows))
    else:
        message = str(answer.get("message") or "unknown error")
        if re.match(r"(model|data):\d+:", message):
            parts.append("The model and data do not compile; the compiler reports:")
        else:
            parts.append("The model could not be solved; the error is:")
        parts.append(r(message))
    if answer.get("message") and status != "error":
        parts.append("Solver message: %s" % r(str(answer["message"])))
    if failed_revision:
        header, lines = failed_revision
        parts.append("")
        parts.append(r(header))
        parts.extend(map(r, lines))
    parts.append("")
    parts.append(_ASK_FOR_REVISION)
    if status == "infeasible":
        parts.append(_ALLOW_NO_SOLUTION)
    return "\n".join(parts)


def check_question(description: str, answer: dict[str, Any], *, redact: Redact | None = None) -> str:
    """The question put to ``generative_feedback`` to check an optimal answer
    against the problem it should answer; ``redact`` as for
    ``repair_question``."""
    r = redact or _same
    values = nonzero_values(answer.get("values"))
    parts = ["This model and data were written for the following problem:", "", description.strip(), "",
             "Solving them gives an optimal solution with objective value %s." % r(_number(answer.get("objective")))]
    if values:
        parts.append("The non-zero values are:")
        parts.extend(r("- %s = %s" % (name, _number(v))) for name, v in values[:_QUOTE_LIMIT])
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


# -- the loop -----------------------------------------------------------------------


def solve_and_repair(description: str, model_file: PathArg, data_file: PathArg, *, repair: int = 2,
                     check_solution: bool = False, model_name: str | None = None, llm_provider: str | None = None,
                     mode: Any = None, temperature: float | None = None, time_limit: float | None = None,
                     mip_gap: float | None = None, progress: Progress = None, data_dir: PathArg | None = None,
                     given: _given.Given | None = None) -> dict[str, Any]:
    """Solve a model and data file, and repair it with the LLM while the
    verdict is bad.

    Args:
        description (str): the problem the pair should model.
        model_file, data_file: the pair; a revision that compiles replaces
            both together, one that does not leaves them as they are.
        repair (int): at most this many feedback rounds (repairs and checks).
        check_solution (bool): show an optimal answer to the LLM and take a
            revision it proposes when that revision solves to optimality.
        model_name, llm_provider, mode, temperature: as for
            ``generative_feedback`` (model_name None: ``MODEL_NAME`` now;
            llm_provider None: chosen from the model name).
        time_limit, mip_gap: solver options.
        progress (callable|None): receives progress messages.
        data_dir: where the data's tables are read (default: the data
            file's folder).
        given (tavro._given.Given|None): the problem over the tables of
            its folder (then ``data_dir``): the questions state it with its
            tables, and every text from the tables in them is redacted.

    Returns:
        dict: the answer of the last solve (status, objective, values, duals,
        reduced_costs, conflict, runaway, message) under "solution", its
        status, objective and values at the top, "repairs" (feedback rounds
        made), "rounds" (one record per round: kind, verdict, feedback,
        outcome, errors, stated_changes), "stated_changes" (numbers stated
        in the description that a revision taken changed) and
        "infeasible_as_described" (None, or the LLM's explanation and the
        conflicting rows when it holds that the problem as described has
        no solution; the rounds end there with status "infeasible"). A
        feedback call that fails ends the rounds with outcome "llm_error"
        and its error; the answer in hand is returned.
    """
    model_file, data_file = os.fspath(model_file), os.fspath(data_file)
    if given is not None:
        data_dir = given.folder
    loop = _RepairLoop(description, model_file, data_file, given, time_limit, mip_gap, progress,
                       _feedback_kwargs(model_name, llm_provider, mode, temperature, progress),
                       build_kwargs(data_dir, data_file).get("data_dir"))  # the tables as solve_pair reads them
    answer = solve_pair(model_file, data_file, time_limit=time_limit, mip_gap=mip_gap, data_dir=data_dir)
    _note(progress, "Solved: %s" % answer["status"])
    answer = loop.run(answer, max(int(repair), 0), check_solution)
    return {"status": answer["status"], "objective": answer["objective"], "values": answer["values"],
            "repairs": len(loop.rounds), "rounds": loop.rounds, "solution": answer, "stated_changes": loop.changes,
            "infeasible_as_described": loop.as_described}


class _RepairLoop:
    """The rounds of ``solve_and_repair``, one step per method: the question
    for a verdict, the feedback call, a reply without a revision, and a
    revision compiled, solved and taken or kept out."""

    def __init__(self, description: str, model_file: str, data_file: str, given: _given.Given | None,
                 time_limit: float | None, mip_gap: float | None, progress: Progress, fb_kwargs: dict[str, Any],
                 tables: str | None) -> None:
        self.description = description
        self.asked = given.problem if given is not None else description
        self.model_file, self.data_file = model_file, data_file
        self.given = given
        self.time_limit, self.mip_gap = time_limit, mip_gap
        self.progress = progress
        self.fb_kwargs = fb_kwargs
        self.tables = tables
        self.rounds: list[dict[str, Any]] = []
        self.changes: list[_stated.Change] = []
        self.as_described: dict[str, Any] | None = None
        self.checked = False
        # What the next repair question says went wrong with the last revision.
        self.failed: tuple[str, list[str]] | None = None
        self.failed_model = ""

    def run(self, answer: Answer, budget: int, check_solution: bool) -> Answer:
        """Rounds while the verdict asks for one and the budget lasts; the last answer taken."""
        while len(self.rounds) < budget:
            status = answer["status"]
            asked = self.question(answer, check_solution)
            if asked is None:
                break
            kind, question = asked
            _note(self.progress, "Round %d: %s (%s)" % (len(self.rounds) + 1, kind, status))
            entry: dict[str, Any] = {"round": len(self.rounds) + 1, "kind": kind, "verdict": status,
                                     "feedback": None, "outcome": None, "errors": [], "stated_changes": []}
            self.rounds.append(entry)
            reply = self.ask(entry, question)
            if reply is None:
                break
            model_code, data_code = reply.get("revised_model"), reply.get("revised_data")
            if not isinstance(model_code, str) and not isinstance(data_code, str):
                if self.no_revision(entry, kind, answer):
                    continue
                break
            if not isinstance(model_code, str):
                model_code = _fileio.read_text(self.model_file)
            if not isinstance(data_code, str):
                data_code = _fileio.read_text(self.data_file)
            answer = self.revise(entry, kind, answer, model_code, data_code)
        return answer

    def question(self, answer: Answer, check_solution: bool) -> tuple[str, str] | None:
        """(kind, question) of the next round for this answer, or None: no round."""
        shown: Redact | None = None
        if self.given is not None:  # the names of the pair and of a failed revision are the LLM's own
            shown = self.given.redact.for_model(_fileio.read_text(self.model_file) + "\n" + self.failed_model)
        status = answer["status"]
        if status in REPAIR_VERDICTS:
            return "repair", repair_question(self.asked, answer, self.failed, redact=shown)
        if status == "optimal" and check_solution and not self.checked:
            return "check", check_question(self.asked, answer, redact=shown)
        return None

    def ask(self, entry: dict[str, Any], question: str) -> dict[str, Any] | None:
        """generative_feedback's reply, or None when the call failed (recorded in ``entry``)."""
        try:
            reply = _modelwright().generative_feedback(question, self.model_file, self.data_file, **self.fb_kwargs)
        except Exception as e:  # the answer in hand stays; the failure is reported
            entry["outcome"] = "llm_error"
            entry["errors"] = ["%s: %s" % (type(e).__name__, str(e) or type(e).__name__)]
            _note(self.progress, "The feedback call failed: %s" % entry["errors"][0])
            return None
        reply = reply if isinstance(reply, dict) else {}
        entry["feedback"] = reply.get("feedback")
        return reply

    def no_revision(self, entry: dict[str, Any], kind: str, answer: Answer) -> bool:
        """A reply without a revision; True when the rounds go on (after a check)."""
        explanation = described_infeasible(entry["feedback"]) if answer["status"] == "infeasible" else None
        if explanation is not None:
            entry["outcome"] = "infeasible_as_described"
            self.as_described = {"explanation": explanation, "conflict": answer.get("conflict")}
            _note(self.progress, "The problem as described is infeasible: %s" % explanation)
            return False
        entry["outcome"] = "no_revision"
        _note(self.progress, "No revision proposed")
        if kind == "check":
            self.checked = True
            return True
        return False

    def revise(self, entry: dict[str, Any], kind: str, answer: Answer, model_code: str, data_code: str) -> Answer:
        """A revision compiled and solved; written over the pair and its answer
        returned when it is taken, else the answer in hand."""
        errors = _compile_errors(model_code, data_code, self.tables)
        self.failed_model = model_code
        self.checked = self.checked or kind == "check"
        if errors:
            entry["outcome"] = "not_compiled"
            entry["errors"] = errors
            self.failed = ("A previous revision did not compile:", errors)
            _note(self.progress, "The revision does not compile; the previous pair stays: %s" % "; ".join(errors))
            return answer
        self.failed = None
        status = answer["status"]
        candidate = solve_texts(model_code, data_code, time_limit=self.time_limit, mip_gap=self.mip_gap,
                                data_dir=self.tables)
        _note(self.progress, "The revision solves: %s" % candidate["status"])
        # Never trade an optimal pair for a worse one, nor a solvable
        # pair for one the solver fails on.
        if (kind == "check" and candidate["status"] != "optimal") or (
                candidate["status"] == "error" and status != "error"):
            entry["outcome"] = "kept"
            entry["errors"] = [str(candidate.get("message") or candidate["status"])]
            self.failed = ("A previous revision could not be solved (%s):" % candidate["status"], entry["errors"])
            _note(self.progress, "The previous pair (%s) stays" % status)
            return answer
        old_data = _fileio.read_text(self.data_file)
        _fileio.write_files_atomic({self.model_file: model_code, self.data_file: data_code})
        entry["outcome"] = "revised"
        _note(self.progress, "Revision written: %s \u2022 %s" % (self.model_file, self.data_file))
        entry["stated_changes"] = _stated.revision_changes(self.description, old_data, model_code, data_code,
                                                           entry["round"])
        _flag_changes(self.progress, entry["stated_changes"])
        self.changes += entry["stated_changes"]
        return candidate


def _flag_changes(progress: Progress, changes: list[_stated.Change]) -> None:
    for change in changes:
        _note(progress, "Warning: a number stated in the description changed: %s" % _stated.change_text(change))


# -- the pair on disk ---------------------------------------------------------------

_WROTE_FILES = "Wrote files: "


class PairStage:
    """A model and data file written through temporary files beside them and
    replaced together when the block ends.

        with PairStage("m.mod", "m.dat", progress) as stage:
            modelwright.generative_solve(text, *stage.paths, progress=stage.progress)
            stage.settle()
            solve_and_repair(text, *stage.paths, progress=stage.progress)

    ``paths`` are the temporary paths to give the writers; ``progress``
    passes each message on to the caller's callback with the temporary paths
    named as the final files, and keeps the texts of the last pair that
    ``generative_solve`` reported written ("Wrote files: ..."). When the block
    ends normally both temporaries replace the targets together. When it
    raises, the last complete pair is put in place (the temporaries may hold
    half a write of ``generative_solve``, which writes the model, then the
    data), or nothing when none was written; after ``settle()`` (every later
    write is a pair write) the temporaries are put in place as they are.
    """

    def __init__(self, model_file: PathArg, data_file: PathArg, progress: Progress = None) -> None:
        self.targets = (os.fspath(model_file), os.fspath(data_file))
        self.paths = self.targets
        self.texts: tuple[str, str] | None = None
        self._downstream = progress
        self._settled = False
        self._replacing: contextlib.AbstractContextManager[list[str]] | None = None

    def __enter__(self) -> PairStage:
        self._replacing = _fileio.replaced_together(self.targets)
        model_tmp, data_tmp = self._replacing.__enter__()
        self.paths = (model_tmp, data_tmp)
        return self

    def named(self, message: str) -> str:
        """``message`` with the temporary paths named as the final files."""
        for temp, target in zip(self.paths, self.targets):
            message = message.replace(temp, target)
        return message

    def progress(self, message: Any) -> None:
        if isinstance(message, str):
            if message.startswith(_WROTE_FILES) and not self._settled:
                try:
                    self.texts = (_fileio.read_text(self.paths[0]), _fileio.read_text(self.paths[1]))
                except (OSError, UnicodeError):
                    self.texts = None
            message = self.named(message)
        if self._downstream is not None:
            self._downstream(message)

    def settle(self) -> None:
        """The temporaries hold a whole pair, and every later write replaces both together."""
        self._settled = True

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        replacing, self._replacing = self._replacing, None
        assert replacing is not None
        if isinstance(exc, OSError) and isinstance(exc.filename, str):
            exc.filename = self.named(exc.filename)  # the user knows the final names only
        if exc_type is None or self._settled:
            replacing.__exit__(None, None, None)
            return
        replacing.__exit__(exc_type, exc, tb)
        if self.texts is not None:
            _fileio.write_files_atomic(dict(zip(self.targets, self.texts)))


def generate_and_solve(description: str, model_file: PathArg, data_file: PathArg, *, iterations: int | None = None,
                       alignment_check: bool | None = None, few_shot: bool = True, repair: int = 2,
                       check_solution: bool = False, model_name: str | None = None, llm_provider: str | None = None,
                       mode: Any = None, temperature: float | None = None, time_limit: float | None = None,
                       mip_gap: float | None = None, progress: Progress = None,
                       stage: PairStage | None = None, candidates: int = 1,
                       agreement_tolerance: float = 1e-6, data_dir: PathArg | None = None,
                       rows: int = _given.DEFAULT_ROWS) -> dict[str, Any]:
    """Write a model and data file for ``description`` with
    ``generative_solve``, then ``solve_and_repair`` them. Both are written
    through a ``PairStage`` and replaced together when the run ends (a
    caller that holds one gives it as ``stage``: its progress callback
    then receives the messages, and ``progress`` is not used).

    Returns one dictionary: status, objective, values, model_file,
    data_file, iterations, repairs, usage (summed over every LLM call of
    both steps), estimated_costs, then assessment, syntax_errors (of the
    generation), rounds, solution (the full answer), error (the error of
    a failed feedback call, else None), stated_changes (numbers stated in
    the description that the generation or a revision changed) and
    infeasible_as_described. Errors of generative_solve propagate.

    ``candidates`` K > 1 runs K generations at once, each in a temporary
    pair beside the targets (no ``stage`` then), and keeps the answer of the
    largest group of agreeing candidates (objectives equal within relative
    ``agreement_tolerance``); the result adds candidates, chosen,
    agreement ("2/3"), agreeing, disagreement, groups and comparison (see
    ``tavro._candidates``). Usage is summed over all candidates.

    With ``data_dir``, the data are the CSV tables of that folder, read once
    here (``_given.NoTables`` for a folder without one, before any LLM
    call): the model and a data file of csv(...) bindings are written by
    ``tavro._given.generate`` (the LLM sees a summary of each table with its
    first ``rows`` rows, none for 0), then solved and repaired against the
    tables, every text from them that goes back to the LLM redacted. The
    result's ``data_dir`` names the folder (None without one).
    """
    if isinstance(candidates, bool) or not isinstance(candidates, int) or candidates < 1:
        raise ValueError("candidates must be a whole number of at least 1, not %r" % (candidates,))
    given = _given.Given.read(description, data_dir, rows) if data_dir is not None else None
    options: dict[str, Any] = dict(iterations=iterations, alignment_check=alignment_check, few_shot=few_shot,
                                   repair=repair, check_solution=check_solution, model_name=model_name,
                                   llm_provider=llm_provider, mode=mode, temperature=temperature,
                                   time_limit=time_limit, mip_gap=mip_gap, given=given)
    if candidates == 1:
        return _generate_one(description, model_file, data_file, progress=progress, stage=stage, **options)
    if stage is not None:
        raise ValueError("candidates write pairs of their own: give no stage")
    from . import _candidates

    return _candidates.generate(description, os.fspath(model_file), os.fspath(data_file), candidates,
                                generate_one=_generate_one, options=options, tolerance=agreement_tolerance,
                                progress=progress, redact=given.redact if given is not None else None)


def _generate_one(description: str, model_file: PathArg, data_file: PathArg, *, iterations: int | None,
                  alignment_check: bool | None, few_shot: bool, repair: int, check_solution: bool,
                  model_name: str | None, llm_provider: str | None, mode: Any, temperature: float | None,
                  time_limit: float | None, mip_gap: float | None, progress: Progress,
                  stage: PairStage | None = None, given: _given.Given | None = None) -> dict[str, Any]:
    own = PairStage(model_file, data_file, progress) if stage is None else contextlib.nullcontext(stage)
    with own as stage:
        if stage.targets != (os.fspath(model_file), os.fspath(data_file)):
            raise ValueError("the stage holds %s and %s, not %s and %s" % (*stage.targets, model_file, data_file))
        progress = stage.progress
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
            if given is None:
                stats = mw.generative_solve(description, *stage.paths, **solve_kwargs)
            else:
                stats = _given.generate(given, *stage.paths, model_name=model_name, mode=mode, iterations=iterations,
                                        alignment_check=alignment_check, few_shot=few_shot, temperature=temperature,
                                        llm_provider=llm_provider, progress=progress)
            stage.settle()
            generated = _generation_changes(description, *stage.paths)
            _flag_changes(progress, generated)
            outcome = solve_and_repair(description, *stage.paths, repair=repair,
                                       check_solution=check_solution, model_name=model_name,
                                       llm_provider=llm_provider, mode=mode, temperature=temperature,
                                       time_limit=time_limit, mip_gap=mip_gap, progress=progress, given=given)
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
            "stated_changes": generated + outcome["stated_changes"],
            "infeasible_as_described": outcome["infeasible_as_described"],
            "data_dir": given.folder if given is not None else None,
        }


def _generation_changes(description: str, model_file: str, data_file: str) -> list[_stated.Change]:
    try:
        return _stated.generation_changes(description, _fileio.read_text(model_file), _fileio.read_text(data_file))
    except (OSError, UnicodeError):
        return []


def __getattr__(name: str) -> Any:
    # explain and whatif live in tavro._explain, imported on first use.
    if name in ("explain", "whatif"):
        from . import _explain

        return getattr(_explain, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


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
