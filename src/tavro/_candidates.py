"""Candidates that must agree: K independent generations of one problem.

``generate`` runs ``generate_one`` (the single generate-solve-repair road of
``tavro.pipeline``) K times at once, on daemon threads, each in its own
temporary pair in a hidden folder beside the targets, with the caller's hook
state (meters, recording or replay, few-shot exclusions) and its own
candidate number for the recording. Every candidate sends the same prompt;
where the caller gave a temperature, later candidates get a higher one.

Answers are grouped by status and objective (relative tolerance); the
largest group wins, a tie going to a group whose status is optimal, then to
the earliest candidate. More than one group is a disagreement: one more LLM
call (our prompt) compares a representative model of each group against the
description. The winner's two files are written onto the
targets (both replaced together); the temporary folders are removed. With a
work budget (``tavro._work``, an evaluation's per-problem deadline), every
candidate may spend what the caller's budget has left. A candidate that fails (an LLM
error, a pair that never solves) is no answer; when all fail the outcome is
that of one failed generation: the first error is raised, or the first pair
written is kept with its failing status.

Ctrl-C (KeyboardInterrupt on the waiting thread, or the caller's cancel
event set) sets the candidates' cancel event, which stops their compiles,
builds and solves (``tavro._work``), leaves the targets as they were and
raises ``CandidatesInterrupted``, which says which candidates finished.
"""

from __future__ import annotations

import math
import os
import shutil
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable

from . import _fileio, _hooks, _work
from ._asking import ask_llm, estimate_costs, note as _note
from ._solving import number as _number

__all__ = ["ANSWERED", "CandidatesInterrupted", "candidate_temperature", "group_answers", "choose_group",
           "comparison_prompt", "generate"]

Result = dict[str, Any]
Progress = Callable[[str], Any] | None

# Statuses that are an answer; "error" (no build, no solve) is none.
ANSWERED = ("optimal", "limit", "infeasible", "unbounded", "infeasible_or_unbounded")
# Statuses whose answers also agree on the objective.
_WITH_OBJECTIVE = ("optimal", "limit")
# Added to the caller's temperature per later candidate, up to 1.0.
_TEMPERATURE_STEP = 0.3
# A representative model or data text longer than this is cut in the comparison prompt.
_TEXT_LIMIT = 12_000
# How long an interrupted run waits for its candidates to notice.
_GRACE_SECONDS = 1.0


class _Cancelled(BaseException):
    # Raised in a candidate's thread at its next progress message once the
    # run is interrupted; not an Exception, so the workflows let it through.
    pass


class CandidatesInterrupted(KeyboardInterrupt):
    """Ctrl-C while candidates ran. ``finished``: one dictionary per finished
    candidate (candidate, status, objective, error); ``running``: the
    numbers of the others. The target files are as they were."""

    def __init__(self, finished: list[dict[str, Any]], running: list[int]) -> None:
        super().__init__(_interrupted_text(finished, running))
        self.finished = finished
        self.running = running


def _interrupted_text(finished: list[dict[str, Any]], running: list[int]) -> str:
    done = ", ".join("%d (%s)" % (f["candidate"], _answer_text(f)) for f in finished) or "none"
    text = "candidates finished: %s" % done
    if running:
        text += "; still running: %s" % ", ".join(map(str, running))
    return text


def _answer_text(entry: dict[str, Any]) -> str:
    if entry.get("status") is None:
        return "failed: %s" % entry.get("error")
    if entry.get("objective") is not None:
        return "%s, objective %s" % (entry["status"], _number(entry["objective"]))
    return str(entry["status"])


def candidate_temperature(temperature: float | None, number: int) -> float | None:
    """The temperature candidate ``number`` (1, 2, ...) sends: None stays
    None (the provider's own sampling varies the answers); else the first
    candidate keeps it and each later one adds a step, up to 1.0."""
    if temperature is None:
        return None
    return float(min(temperature + _TEMPERATURE_STEP * (number - 1), max(temperature, 1.0)))


def _agree(status: str, a: float | None, b: float | None, tolerance: float) -> bool:
    if status not in _WITH_OBJECTIVE:
        return True
    if a is None or b is None:
        return a is b
    return math.isclose(a, b, rel_tol=tolerance, abs_tol=1e-9)


def group_answers(answers: list[tuple[int, str, float | None]], tolerance: float = 1e-6) -> list[dict[str, Any]]:
    """Groups of (candidate, status, objective) answers, in order of their
    first member: {"status", "objective" (the first member's), "candidates"}."""
    groups: list[dict[str, Any]] = []
    for number, status, objective in answers:
        for group in groups:
            if group["status"] == status and _agree(status, group["objective"], objective, tolerance):
                group["candidates"].append(number)
                break
        else:
            groups.append({"status": status, "objective": objective, "candidates": [number]})
    return groups


def choose_group(groups: list[dict[str, Any]]) -> dict[str, Any] | None:
    """The largest group; a tie goes to an optimal one, then to the one with
    the earliest candidate."""
    if not groups:
        return None
    return min(groups, key=lambda g: (-len(g["candidates"]), g["status"] != "optimal", min(g["candidates"])))


def comparison_prompt(description: str, readings: list[tuple[dict[str, Any], str, str]],
                      redact: Callable[[str], str] | None = None) -> str:
    """Our prompt asking where the readings (group, model text, data text)
    of one description differ; ``redact`` is applied to each answer (data
    given as tables: see ``tavro._given``)."""
    parts = ["Several models were written independently for the same optimisation problem, and they give "
             "different answers. Compare them against the problem description.", "", "Problem description:",
             description.strip(), ""]
    for k, (group, model_code, data_code) in enumerate(readings, 1):
        who = ", ".join(map(str, group["candidates"]))
        answer = group["status"]
        if group["objective"] is not None:
            answer += ", objective %s" % (redact or str)(_number(group["objective"]))
        parts += ["Reading %d (candidate%s %s; %s):" % (k, "s" if len(group["candidates"]) > 1 else "", who, answer),
                  "Model:", _cut(model_code), "Data:", _cut(data_code), ""]
    parts.append("In a few sentences of plain text (no JSON, no code), say where these readings of the description "
                 "differ: which requirement, number or objective each one takes differently. Say which reading the "
                 "description supports when that is clear, and what is ambiguous when it is not.")
    return "\n".join(parts)


def _cut(text: str) -> str:
    text = text.rstrip("\n")
    if len(text) <= _TEXT_LIMIT:
        return text
    return text[:_TEXT_LIMIT] + "\n... (%d more characters)" % (len(text) - _TEXT_LIMIT)


@dataclass
class _Run:
    number: int
    model_file: str
    data_file: str
    result: Result | None = None
    error: BaseException | None = None
    done: threading.Event = field(default_factory=threading.Event)

    def summary(self) -> dict[str, Any]:
        if self.result is None:
            return {"candidate": self.number, "status": None, "objective": None,
                    "error": _error_text(self.error) if self.error is not None else None}
        return {"candidate": self.number, "status": self.result["status"], "objective": self.result["objective"],
                "error": self.result.get("error")}


def _error_text(error: BaseException) -> str:
    return "%s: %s" % (type(error).__name__, str(error) or type(error).__name__)


def _work_folder(target: str, cache: dict[str, str]) -> str:
    folder = os.path.dirname(os.path.abspath(target))
    if folder not in cache:
        os.makedirs(folder, exist_ok=True)
        cache[folder] = tempfile.mkdtemp(dir=folder, prefix=".tavro-candidates-")
    return cache[folder]


def generate(description: str, model_file: str, data_file: str, count: int, *,
             generate_one: Callable[..., Result], options: dict[str, Any], tolerance: float = 1e-6,
             progress: Progress = None, redact: Callable[[str], str] | None = None) -> Result:
    """Run ``count`` candidates of ``generate_one(description, model_file,
    data_file, progress=..., **options)`` and keep the chosen answer in
    ``model_file`` and ``data_file``; see the module documentation.
    ``redact`` is what the comparison call is shown of an answer."""
    folders: dict[str, str] = {}
    runs = []
    for number in range(1, count + 1):
        model_dir = os.path.join(_work_folder(model_file, folders), str(number))
        data_dir = os.path.join(_work_folder(data_file, folders), str(number))
        runs.append(_Run(number, os.path.join(model_dir, os.path.basename(model_file)),
                         os.path.join(data_dir, os.path.basename(data_file))))
    cancel = threading.Event()
    try:
        with _hooks.metering() as meter:
            _run_all(description, runs, count, generate_one, options, cancel, progress)
            result = _outcome(description, runs, count, tolerance, options, progress, redact)
            _keep_pair(runs[result["chosen"] - 1], model_file, data_file)
        result.update(model_file=model_file, data_file=data_file, usage=meter.usage)
        model_name = options.get("model_name")
        if model_name is None:
            from . import modelwright

            model_name = modelwright.MODEL_NAME
        result["estimated_costs"] = estimate_costs(meter.usage, model_name, options.get("llm_provider"))
        return result
    finally:
        for folder in folders.values():
            shutil.rmtree(folder, ignore_errors=True)


def _run_all(description: str, runs: list[_Run], count: int, generate_one: Callable[..., Result],
             options: dict[str, Any], cancel: threading.Event, progress: Progress) -> None:
    state = _hooks.handover()
    budget = _work.current()
    outer = _work.cancel_event()

    def prefixed(number: int) -> Callable[[str], None]:
        def report(message: str) -> None:
            if cancel.is_set():
                raise _Cancelled()
            if progress is not None:
                try:
                    progress("[candidate %d/%d] %s" % (number, count, message))
                except Exception:
                    pass

        return report

    def work(run: _Run) -> None:
        kwargs = dict(options, temperature=candidate_temperature(options.get("temperature"), run.number))
        # Each candidate may spend what the caller's work budget has left: they run side by side.
        own = _work.WorkBudget(budget.remaining(), budget.what) if budget is not None else None
        try:
            with _hooks.adopted(state), _hooks.candidate(run.number), _work.bounded(own), \
                    _work.cancelling(cancel):
                run.result = generate_one(description, run.model_file, run.data_file,
                                          progress=prefixed(run.number), **kwargs)
        except BaseException as e:  # a failed candidate is no answer; the others go on
            if not (cancel.is_set() and isinstance(e, (_Cancelled, KeyboardInterrupt))):
                run.error = e
        finally:
            run.done.set()
        if not cancel.is_set() and progress is not None:
            try:
                progress("Candidate %d/%d finished: %s" % (run.number, count, _answer_text(run.summary())))
            except Exception:
                pass

    threads = [threading.Thread(target=work, args=(run,), name="tavro-candidate-%d" % run.number, daemon=True)
               for run in runs]
    with _work.bounded_compiles():
        try:
            for t in threads:
                t.start()
            for run in runs:
                while not run.done.wait(0.1):
                    if outer is not None and outer.is_set():
                        raise KeyboardInterrupt
        except KeyboardInterrupt:
            # The compiles, builds and solves stop at once; an LLM call at its next progress message.
            cancel.set()
            end = time.monotonic() + _GRACE_SECONDS
            for run in runs:
                run.done.wait(max(0.0, end - time.monotonic()))
            ended = [run for run in runs if run.result is not None or run.error is not None]
            raise CandidatesInterrupted([run.summary() for run in ended],
                                        [run.number for run in runs if run not in ended]) from None


def _outcome(description: str, runs: list[_Run], count: int, tolerance: float, options: dict[str, Any],
             progress: Progress, redact: Callable[[str], str] | None = None) -> Result:
    answered = [run for run in runs if run.result is not None and run.result["status"] in ANSWERED]
    groups = group_answers([(run.number, run.result["status"], run.result["objective"])
                            for run in answered if run.result is not None], tolerance)
    chosen_group = choose_group(groups)
    if chosen_group is not None:
        chosen = runs[chosen_group["candidates"][0] - 1]
    else:
        with_pair = [run for run in runs if run.result is not None]
        if not with_pair:
            error = next(run.error for run in runs if run.error is not None)
            raise error
        chosen = with_pair[0]
    assert chosen.result is not None
    group_of = {n: k for k, g in enumerate(groups) for n in g["candidates"]}
    agreeing = len(chosen_group["candidates"]) if chosen_group is not None else 0
    result = dict(chosen.result)
    result.update(
        candidates=[dict(run.summary(), group=group_of.get(run.number),
                         iterations=run.result.get("iterations") if run.result else None,
                         repairs=run.result.get("repairs") if run.result else 0,
                         usage=run.result.get("usage") if run.result else None,
                         stated_changes=len(run.result.get("stated_changes") or []) if run.result else 0)
                    for run in runs],
        chosen=chosen.number, agreement="%d/%d" % (agreeing, count), agreeing=agreeing,
        disagreement=len(groups) > 1, groups=groups, comparison=None, comparison_error=None)
    if len(groups) > 1:
        _note(progress, "Warning: the candidates disagree (%s agree): %s" % (result["agreement"], "; ".join(
            "%s for candidate%s %s" % (_answer_text(g), "s" if len(g["candidates"]) > 1 else "",
                                       ", ".join(map(str, g["candidates"]))) for g in groups)))
        result["comparison"], result["comparison_error"] = _compare(description, runs, groups, options, progress,
                                                                    redact)
    return result


def _compare(description: str, runs: list[_Run], groups: list[dict[str, Any]], options: dict[str, Any],
             progress: Progress, redact: Callable[[str], str] | None = None) -> tuple[str | None, str | None]:
    """The comparison call's reply, or its error; a failure never ends the run."""
    try:
        readings = []
        for group in groups:
            run = runs[group["candidates"][0] - 1]
            readings.append((group, _fileio.read_text(run.model_file), _fileio.read_text(run.data_file)))
        _note(progress, "Comparing the readings of the %d groups" % len(groups))
        text = ask_llm(comparison_prompt(description, readings, redact), model_name=options.get("model_name"),
                       llm_provider=options.get("llm_provider"), progress=progress)
    except Exception as e:
        _note(progress, "The comparison call failed: %s" % _error_text(e))
        return None, _error_text(e)
    return text.strip(), None


def _keep_pair(run: _Run, model_file: str, data_file: str) -> None:
    """The candidate's pair written onto the targets, both replaced together."""
    read = _fileio.read_text
    _fileio.write_files_atomic({model_file: read(run.model_file), data_file: read(run.data_file)})
