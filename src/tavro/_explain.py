"""Questions about a solved pair: why this answer (``explain``), and what if
something changes (``whatif``).

``explain`` solves the pair and shows the LLM the solver's facts (the
non-zero decisions, the binding constraints with their shadow prices, for an
LP the ranges over which the plan stays optimal when the solver gives them,
the conflict or the runaway variables) and the model's comments, and asks
for a plain-language explanation (our prompt). ``whatif`` asks
``generative_feedback`` to revise the pair for a scenario, compiles and
solves the revision beside the original, and asks for a one-paragraph
reading of the difference (our prompt). Neither writes a file unless told
to. Numbers in an LLM's text that match nothing it was shown are listed in
``unsupported_numbers``: the reader should not trust them.

When the data bind CSV tables, what the LLM is shown of the answers passes
through the data-given loop's ``Redactor``: a value or key from the tables
becomes ``<value>`` unless it is among the first ``rows`` rows of its table
(default none) or written in the model or data file. ``withheld`` lists
what was kept back; the caller's own copy of the facts keeps everything.
"""

from __future__ import annotations

import difflib
import math
import os
import re
from typing import TYPE_CHECKING, Any, Callable, Iterable

from . import _asking, _data, _fileio, _given, _hooks, _solving
from ._solving import flat_values, number as _number

if TYPE_CHECKING:
    from .solver import LinearProblem, Solution

__all__ = ["explain", "whatif", "solver_facts", "model_comments", "unsupported_numbers", "moved_decisions",
           "explain_prompt", "whatif_question", "reading_prompt", "bound_tables", "table_redactor"]

Result = dict[str, Any]
Progress = Callable[[str], Any] | None
PathLike = str | os.PathLike[str]
Redact = Callable[[str], str]

# At most this many lines of each kind of fact (decisions, binding rows, ranges).
FACT_LIMIT = 60


# -- the solver's facts -----------------------------------------------------------------

def _limited(header: str, lines: list[str]) -> list[str]:
    if not lines:
        return []
    more = len(lines) - FACT_LIMIT
    return [header] + lines[:FACT_LIMIT] + (["- ... and %d more" % more] if more > 0 else [])


def _ranges(problem: Any, ranging: Any, columns: list[int], rows: list[int]) -> tuple[list[str], list[str]]:
    """Cost ranges of the columns and limit ranges of the rows from the
    solver's ranging (HiGHS's records: one value per column or row in each
    direction); none without ranging."""
    if ranging is None:
        return [], []
    names, row_names = problem.column_names, problem.row_names
    cost_lo, cost_hi = ranging.cost_down.value, ranging.cost_up.value
    row_lo, row_hi = ranging.row_bound_down.value, ranging.row_bound_up.value
    costs = ["- objective coefficient of %s: from %s to %s (now %s)"
             % (names[j], _end(float(cost_lo[j])), _end(float(cost_hi[j])), _number(float(problem.c[j])))
             for j in columns]
    limits = ["- limit of %s: from %s to %s" % (row_names[i], _end(float(row_lo[i])), _end(float(row_hi[i])))
              for i in rows]
    return costs, limits


def _end(value: float) -> str:
    # HiGHS writes an open end as its infinity (1e30 or inf).
    if not abs(value) < 1e20:
        return "infinity" if value > 0 else "-infinity"
    return _number(value)


def solver_facts(problem: LinearProblem, solution: Solution) -> list[str]:
    """The facts of a solve, as lines a reader (and an LLM) can take in:
    status, objective, the non-zero decisions, the binding constraints with
    their shadow prices, the ranges where the solver gives them, the
    conflicting rows or the runaway variables."""
    import numpy as np

    lines = ["Status: %s" % solution.status]
    if solution.objective is not None:
        name = problem.objective_name
        lines.append("Objective%s (%s): %s" % (" " + name if name else "", problem.sense,
                                               _number(float(solution.objective))))
    x = solution.x
    columns: list[int] = []
    rows: list[int] = []
    if x is not None:
        x = np.asarray(x, dtype=float)
        names = problem.column_names
        columns = np.flatnonzero(np.abs(x) > _solving.ZERO).tolist()
        if columns:
            lines += _limited("Decisions that are not zero (%d of %d):" % (len(columns), x.size),
                              ["- %s = %s" % (names[j], _number(float(x[j]))) for j in columns])
        else:
            lines.append("Every decision is zero (%d decisions)." % x.size)
        if problem.num_rows:
            rows = problem.binding_rows(x)
            duals = dict(flat_values(solution.duals)) if solution.duals else {}
            row_names = problem.row_names
            binding = []
            for i in rows:
                dual = duals.get(row_names[i])
                price = "" if dual is None else " (shadow price %s)" % _number(dual)
                binding.append("- %s: %s%s" % (row_names[i], problem.row_text(i), price))
            lines += _limited("Binding constraints (at their limit%s):" % (
                "; a shadow price is the objective's change per unit increase of the limit" if duals else ""),
                binding)
    costs, limits = _ranges(problem, solution.ranging, columns, rows)
    lines += _limited("Ranges of objective coefficients over which the plan stays optimal:", costs)
    lines += _limited("Ranges of limits over which the shadow prices stay the same:", limits)
    if solution.conflict:
        lines += _limited("Constraints that conflict (no values satisfy them all together):",
                          ["- %s (model line %s): %s" % (r.get("name"), r.get("line"), r.get("text"))
                           for r in solution.conflict])
    if solution.runaway:
        lines += _limited("Decisions that can grow without bound:",
                          ["- %s (%s)" % (r.get("name"), r.get("direction")) for r in solution.runaway])
    if solution.status in ("error", "limit") and solution.message:
        lines.append("Solver message: %s" % solution.message)
    return lines


_COMMENT = re.compile(r'//([^\n]*)|/\*(.*?)\*/|"(?:[^"\\\n]|\\.)*"', re.S)


def model_comments(model_code: str) -> list[str]:
    """The model's comments, one line each: ``line 3: profit per tonne``."""
    out = []
    for m in _COMMENT.finditer(model_code):
        text = m.group(1) if m.group(1) is not None else m.group(2)
        if text is None:
            continue
        text = " ".join(text.split())
        if text:
            out.append("- line %d: %s" % (model_code.count("\n", 0, m.start()) + 1, text))
    return out


# -- numbers an LLM wrote that nothing shown to it holds ------------------------------------

_TEXT_NUMBER = re.compile(r"(?<![\w.])-?(\d{1,3}(?:,\d{3})+|\d+)(\.\d+)?(?!\.?\d)(\s?%)?")
_LIST_MARKER = re.compile(r"^[ \t]*\(?(\d+)[.)]\s", re.M)


def _numbers_in(text: str) -> list[tuple[str, float, int, bool]]:
    """(text, value, decimals, percent) of the numbers in ``text``, list
    markers ("1. ", "2) ") left out."""
    markers = {m.start(1) for m in _LIST_MARKER.finditer(text)}
    out = []
    for m in _TEXT_NUMBER.finditer(text):
        if m.start(1) in markers:
            continue
        digits = m.group(1).replace(",", "") + (m.group(2) or "")
        out.append((m.group(0).strip(), float(digits), len(m.group(2) or "") - 1 if m.group(2) else 0,
                    bool(m.group(3))))
    return out


def _matches(value: float, decimals: int, facts: Iterable[float]) -> bool:
    for f in facts:
        f = abs(f)
        if math.isclose(value, f, rel_tol=1e-6, abs_tol=1e-9):
            return True
        if round(f, decimals) == value:  # the fact rounded as the text writes it
            return True
    return False


def unsupported_numbers(text: str, shown: str) -> list[str]:
    """The numbers of ``text`` that match no number of ``shown`` (equal
    within 1e-6, or equal to one rounded to the text's decimals; a
    percentage also matches its fraction), each once, in text order."""
    facts = [abs(v) for _, v, _, _ in _numbers_in(shown)]
    out: list[str] = []
    for written, value, decimals, percent in _numbers_in(text):
        value = abs(value)
        if _matches(value, decimals, facts):
            continue
        if percent and _matches(value / 100, decimals + 2, facts):
            continue
        if written not in out:
            out.append(written)
    return out


# -- values from the tables -------------------------------------------------------------------

# Comments and strings of a data text, and the file a csv(...) binding names.
_BINDING = re.compile(r'//[^\n]*|/\*.*?\*/|\bcsv\s*\(\s*"((?:[^"\\\n]|\\.)*)"|"(?:[^"\\\n]|\\.)*"', re.S)


def bound_tables(data_code: str) -> list[str]:
    """The table files that the csv(...) bindings of a data text name, each once, in order."""
    out: list[str] = []
    for m in _BINDING.finditer(data_code):
        if m.group(1) is not None and m.group(1) not in out:
            out.append(m.group(1))
    return out


def _tables_bound(data_codes: list[str], data_dir: PathLike | None, data_file: PathLike,
                  rows: int) -> _given.Tables | None:
    paths = [p for code in data_codes for p in bound_tables(code)]
    if not paths:
        return None
    folder = _data.tables_folder(data_file, data_dir)
    assert folder is not None  # a data file is always given
    return _given.read_tables(folder, rows, paths=paths)


def table_redactor(model_codes: list[str], data_codes: list[str], data_dir: PathLike | None, data_file: PathLike,
                   rows: int, stated: str = "", tables: _given.Tables | None = None) -> Redact | None:
    """What an LLM may be shown of answers over the tables the data bind
    (read from ``data_dir``, default the data file's folder, unless read
    already: ``tables``): a ``Redactor`` that keeps the values of each
    table's first ``rows`` rows and the names and numbers written in the
    model and data texts or ``stated`` by the user (a question, a
    scenario). None when the data bind no table."""
    if tables is None:
        tables = _tables_bound(data_codes, data_dir, data_file, rows)
    if tables is None:
        return None
    # Of the user's words only the text cells they name: a number there
    # ("in 3 sentences") says nothing of which cell it would reveal.
    named = _named(tables, stated)
    redactor = _given.Redactor(tables, "\n".join(model_codes + data_codes + named))
    return redactor.for_model("\n".join(model_codes))


# The most tokens of a text cell matched in the user's words.
_NAMED_TOKENS = 6


def _named(tables: _given.Tables, text: str) -> list[str]:
    """The text cells of ``tables`` that ``text`` (the user's own words)
    names, matched whole and regardless of case, spelled as the tables
    hold them."""
    if not text.strip():
        return []
    cells = {cell.lower(): cell for cell in tables.texts if cell.strip()}
    tokens = list(_given.TOKEN.finditer(text))
    out: list[str] = []
    for i, first in enumerate(tokens):
        for last in tokens[i:i + _NAMED_TOKENS]:
            cell = cells.get(text[first.start():last.end()].lower())
            if cell is not None and cell not in out:
                out.append(cell)
    return out


# Lines of facts that carry values: the rest are our own headings.
_VALUE_LINE = re.compile(r"- |Objective|Solver message:|Before:|After:|Change of the objective:")


def _sent(lines: list[str], redact: Redact | None) -> list[str]:
    if redact is None:
        return lines
    return [redact(line) if _VALUE_LINE.match(line) else line for line in lines]


def _withheld(plain: list[str], sent: list[str]) -> list[str]:
    """The texts that ``sent`` shows as ``<value>`` where ``plain`` has them, each once, in order."""
    out: list[str] = []
    for a, b in zip(plain, sent):
        if a == b:
            continue
        m = re.fullmatch("(.*?)".join(map(re.escape, b.split(_given.REDACTED))), a, re.S)
        for value in m.groups() if m else ():
            if value not in out:
                out.append(value)
    return out


_WITHHELD_NOTE = ("Values from the user's data tables are withheld and shown as %s: never guess them; speak of "
                  "them by their names." % _given.REDACTED)


# -- prompts ----------------------------------------------------------------------------------

_EXPLAIN_HEAD = ("Explain the answer of a solved optimisation model in plain language, for the person who has "
                 "to act on it.")
_EXPLAIN_DEFAULT = ("Explain what the answer is and why it is the best one: which limits decide it and what "
                    "each of them is worth.")


def explain_prompt(facts: list[str], comments: list[str], question: str | None, withheld: bool = False) -> str:
    parts = [_EXPLAIN_HEAD, "", "Facts from the solver (the only source of numbers you may use):"] + facts
    if withheld:
        parts.append(_WITHHELD_NOTE)
    if comments:
        parts += ["", "The model's own comments (what its names mean):"] + comments
    parts += ["", "Question: %s" % (question.strip() if question and question.strip() else _EXPLAIN_DEFAULT), "",
              "Answer in a few short paragraphs of plain text (no JSON, no code), in the problem's own terms. "
              "Use only numbers that appear in the facts above, written as they are there; do not compute new "
              "ones. Where a shadow price or a range matters, say what it means for the decision."]
    return "\n".join(parts)


def whatif_question(scenario: str, named: list[str] | None = None) -> str:
    """The revision request of a scenario; ``named``: values of the user's
    tables that the scenario names (the LLM sees no table's content)."""
    spelled = ("\n\nThe scenario names these values of the tables the data bind, spelled as in the tables: %s."
               % ", ".join('"%s"' % v for v in named)) if named else ""
    return ("What-if scenario: %s%s\n\nRevise this model and data so that they describe the scenario instead of "
            "the current situation. Change only what the scenario asks for, preferably in the data; keep every "
            "other number, name and constraint as it is. Return the complete revised texts in \"revised_data\" "
            "(and in \"revised_model\" only if the model itself must change), with \"feedback\" saying in one "
            "sentence what you changed." % (scenario.strip(), spelled))


def reading_prompt(scenario: str, change: str, diff: list[str], before: Result, after: Result,
                   moved: list[dict[str, Any]], redact: Redact | None = None) -> str:
    """The question for the reading of a scenario's difference; ``redact``
    (see ``table_redactor``) applies to the lines of values."""
    return "\n".join(_reading_lines(scenario, change, diff, before, after, moved, redact))


def _reading_lines(scenario: str, change: str, diff: list[str], before: Result, after: Result,
                   moved: list[dict[str, Any]], redact: Redact | None) -> list[str]:
    parts = ["Describe in one paragraph how a scenario changed the answer of an optimisation model, for the "
             "person who asked. Use only the numbers shown here.", "", "Scenario: %s" % scenario.strip(),
             "What was changed: %s" % (change or "(not said)")]
    if diff:
        parts += ["The lines that changed in the model and data:"] + diff[:FACT_LIMIT]
    told = len(parts)  # the texts the LLM wrote or saw already, then the answers' values
    parts += ["Before: %s" % _answer_line(before), "After: %s" % _answer_line(after)]
    if isinstance(before.get("objective"), (int, float)) and isinstance(after.get("objective"), (int, float)):
        parts.append("Change of the objective: %s" % _number(float(after["objective"] - before["objective"])))
    if moved:
        parts.append("Decisions that moved (name: before -> after):")
        parts += ["- %s: %s -> %s" % (m["name"], _cell(m["before"]), _cell(m["after"]))
                  for m in moved[:FACT_LIMIT]]
    else:
        parts.append("No decision moved.")
    sent = parts[:told] + _sent(parts[told:], redact)
    if sent != parts:
        sent.append(_WITHHELD_NOTE)
    return sent + ["", "Reply with one paragraph of plain text (no JSON, no code)."]


def _answer_line(answer: Result) -> str:
    text = "status %s" % answer.get("status")
    if answer.get("objective") is not None:
        text += ", objective %s" % _number(answer["objective"])
    return text


def _cell(value: float | None) -> str:
    return "-" if value is None else _number(value)


# -- explain -----------------------------------------------------------------------------------

def _solved(model_code: str, data_code: str, folder: str | None, time_limit: float | None,
            ranging: bool = False) -> tuple[Any, Any]:
    """(problem, solution); SemanticError (or any build failure) propagates."""
    options = _solving.request(time_limit, ranging=ranging)  # one deadline for the build and the solve
    problem = _solving.build(model_code, data_code, options, folder)
    return problem, _solving.solve_problem(problem, options)


def _costed(meter: _hooks.UsageMeter, model_name: str | None, llm_provider: str | None) -> dict[str, Any]:
    from . import modelwright

    return {"usage": meter.usage,
            "estimated_costs": _asking.estimate_costs(meter.usage, model_name or modelwright.MODEL_NAME,
                                                       llm_provider)}


def explain(model_file: PathLike, data_file: PathLike, question: str | None = None, *,
            model_name: str | None = None, llm_provider: str | None = None,
            data_dir: PathLike | None = None, time_limit: float | None = None, rows: int = 0,
            progress: Progress = None) -> Result:
    """Solve a model and data file and explain the answer in plain language.

    A pair that does not build raises the compiler's error (SemanticError)
    before any LLM call; a failing solver raises RuntimeError. Returns
    status, objective, facts (the solver's facts, then the model's
    comments, in full), facts_sent (the same as the LLM saw them: values
    from bound tables beyond their first ``rows`` rows as ``<value>``),
    withheld (those values), question, explanation, unsupported_numbers
    (numbers of the explanation that match no fact shown), usage,
    estimated_costs and solution (the answer's dictionary).
    """
    _given.check_rows(rows)
    model_code, data_code = _fileio.read_text(model_file, "utf-8"), _fileio.read_text(data_file, "utf-8")
    folder = _data.tables_folder(data_file, data_dir)
    problem, solution = _solved(model_code, data_code, folder, time_limit, ranging=True)
    if solution.status == "error":
        raise RuntimeError("the solver failed: %s" % (solution.message or "no message"))
    facts = solver_facts(problem, solution)
    sent = _sent(facts, table_redactor([model_code], [data_code], data_dir, data_file, rows, question or ""))
    withheld = _withheld(facts, sent)
    comments = model_comments(model_code)
    prompt = explain_prompt(sent, comments, question, withheld=bool(withheld))
    with _hooks.metering() as meter:
        text = _asking.ask_llm(prompt, model_name=model_name, llm_provider=llm_provider, progress=progress)
    explanation = text.strip()
    shown = prompt[len(_EXPLAIN_HEAD):]
    told = ["The model's comments:"] + comments if comments else []
    return dict({"status": solution.status, "objective": solution.objective, "facts": facts + told,
                 "facts_sent": sent + told, "withheld": withheld, "question": question, "explanation": explanation,
                 "unsupported_numbers": unsupported_numbers(explanation, shown),
                 "solution": _solving.answer_of(problem, solution)}, **_costed(meter, model_name, llm_provider))


# -- what if -----------------------------------------------------------------------------------

def moved_decisions(before: dict[Any, Any] | None, after: dict[Any, Any] | None) -> list[dict[str, Any]]:
    """{name, before, after} of every decision whose value differs (None on
    the side where the decision does not exist), in the order of the
    values before, then the new ones."""
    old, new = dict(flat_values(before)), dict(flat_values(after))
    out = []
    for name in list(old) + [n for n in new if n not in old]:
        a, b = old.get(name), new.get(name)
        if a is not None and b is not None and math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9):
            continue
        out.append({"name": name, "before": a, "after": b})
    return out


def _diff(kind: str, old: str, new: str) -> list[str]:
    return [line for line in difflib.unified_diff(old.splitlines(), new.splitlines(), "%s (before)" % kind,
                                                  "%s (after)" % kind, lineterm="", n=0)]


def whatif(model_file: PathLike, data_file: PathLike, scenario: str, *, model_out: PathLike | None = None,
           data_out: PathLike | None = None, model_name: str | None = None, llm_provider: str | None = None,
           mode: Any = None, data_dir: PathLike | None = None, time_limit: float | None = None, rows: int = 0,
           progress: Progress = None) -> Result:
    """Revise a model and data file for a scenario, solve both and compare.

    A pair that does not build raises the compiler's error before any LLM
    call. The LLM (``generative_feedback`` with our question) revises the
    data or the model; a revision that does not build is rejected (status
    "rejected", its errors in ``errors``), none at all gives status
    "no_revision". Otherwise both are solved (tables read from ``data_dir``,
    default the data file's folder) and the result holds before and after
    (the answers' dictionaries), objective_change, moved (every decision
    whose value changed: name, before, after), diff (the changed lines),
    change (the LLM's own words), reading (its paragraph on the difference)
    and unsupported_numbers. Values from tables the data bind are withheld
    from the reading's question as ``explain`` does (``withheld``). The
    original files are written only when ``model_out``/``data_out`` name
    them; written lists what was written.
    """
    _given.check_rows(rows)
    from . import modelwright

    model_code, data_code = _fileio.read_text(model_file, "utf-8"), _fileio.read_text(data_file, "utf-8")
    folder = _data.tables_folder(data_file, data_dir)  # the revision reads the same tables
    problem, solution = _solved(model_code, data_code, folder, time_limit)
    before = _solving.answer_of(problem, solution)
    result: Result = {"scenario": scenario, "status": None, "change": None, "errors": [], "before": before,
                      "after": None, "objective_change": None, "moved": [], "diff": [], "reading": None,
                      "unsupported_numbers": [], "withheld": [], "written": []}
    kwargs = _asking.feedback_kwargs(model_name, llm_provider, mode, None, progress)
    with _hooks.metering() as meter:
        # The tables are read once: for the cells the scenario names, and
        # for the redaction below unless the revision binds other tables.
        bound = _tables_bound([data_code], data_dir, data_file, rows)
        named = _named(bound, scenario) if bound is not None else []
        reply = modelwright.generative_feedback(whatif_question(scenario, named), os.fspath(model_file),
                                                os.fspath(data_file), **kwargs)
        reply = reply if isinstance(reply, dict) else {}
        result["change"] = reply.get("feedback")
        new_model, new_data = reply.get("revised_model"), reply.get("revised_data")
        if not isinstance(new_model, str) and not isinstance(new_data, str):
            result["status"] = "no_revision"
            return dict(result, **_costed(meter, model_name, llm_provider))
        new_model = new_model if isinstance(new_model, str) else model_code
        new_data = new_data if isinstance(new_data, str) else data_code
        result["diff"] = _diff("model", model_code, new_model) + _diff("data", data_code, new_data)
        try:
            after_problem, after_solution = _solved(new_model, new_data, folder, time_limit)
        except Exception as e:  # the revision does not build: rejected with the compiler's words
            result.update(status="rejected", errors=[str(e) or type(e).__name__])
            return dict(result, **_costed(meter, model_name, llm_provider))
        after = _solving.answer_of(after_problem, after_solution)
        result.update(status="solved", after=after, moved=moved_decisions(before["values"], after["values"]))
        if isinstance(before["objective"], (int, float)) and isinstance(after["objective"], (int, float)):
            result["objective_change"] = after["objective"] - before["objective"]
        question = (scenario, result["change"] or "", result["diff"], before, after, result["moved"])
        same = set(bound_tables(new_data)) <= set(bound_tables(data_code))
        redact = table_redactor([model_code, new_model], [data_code, new_data], data_dir, data_file, rows, scenario,
                                tables=bound if same else None)
        lines = _reading_lines(*question, redact)
        result["withheld"] = _withheld(_reading_lines(*question, None), lines)
        prompt = "\n".join(lines)
        try:
            reading = _asking.ask_llm(prompt, model_name=model_name, llm_provider=llm_provider,
                                       progress=progress).strip()
        except Exception as e:  # the comparison stands without its reading
            result["errors"] = ["the reading failed: %s: %s" % (type(e).__name__, e)]
            reading = ""
        result["reading"] = reading or None
        result["unsupported_numbers"] = unsupported_numbers(reading, prompt)
    outputs: dict[_fileio.PathArg, _fileio.Content] = {}
    for target, text in ((model_out, new_model), (data_out, new_data)):
        if target is not None:
            os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
            outputs[target] = text
    _fileio.write_files_atomic(outputs)
    result["written"] = [os.fspath(target) for target in (model_out, data_out) if target is not None]
    return dict(result, **_costed(meter, model_name, llm_provider))
