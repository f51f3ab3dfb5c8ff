"""Accuracy on a benchmark: every problem runs the whole road (generate,
solve, repair) and its answer is graded against the benchmark's.

    problems = load_dataset("benchmark.jsonl")
    summary = evaluate(problems, "results.jsonl", jobs=4)
    summary["accuracy"]

Datasets are read as the public benchmarks publish them: JSON Lines, a JSON
list of objects or a JSON object of objects keyed by id; the question in the
first present of ``question``, ``en_question``, ``Question``, ``description``
and the answer in the first present of ``answer``, ``en_answer``,
``Answer``, ``objective`` (a number or a numeric string; "No Best Solution",
"infeasible" and -99999 mean the problem has no solution). A folder laid out like the example library (one
folder per problem with NAME.txt and solution.json) is a dataset too.

A problem whose data are CSV tables names its data folder: a dataset entry in
the field ``data_dir`` (relative to the dataset file), a problem folder by
holding a ``data/`` folder (its data folder is then the problem folder, so
that the description's ``data/NAME.csv`` are the paths the tables are bound
by, as in the examples over tables). Such a problem runs
``generate_and_solve`` with its ``data_dir``, and its record names it.

Each finished problem appends one JSON line to the results file (under a
lock, fsync'ed), so an interrupted run keeps every finished record. A write
that fails (a full disk, a size limit) is taken back and stops the run with
``WriteFailure``: a problem is never recorded as failed because its files
could not be written. ``resume`` skips the problems already recorded and
mends what a kill or a failed write left: a cut-off line is dropped wherever
it is, and a record appended after it on the same line is kept.

With ``candidates`` K > 1 every problem runs K generations that must agree;
each record keeps the agreement, and the summary says how far agreement can
be trusted: accuracy when all candidates agreed, and how often a wrong answer
came with a disagreement warning.
"""

from __future__ import annotations

import collections
import contextlib
import decimal
import errno
import hashlib
import json
import math
import os
import queue
import re
import threading
import time
from typing import Any, Callable, Sequence, TypeGuard, Union

from . import _hooks, _solving, _work, pipeline
from ._fileio import write_bytes_atomic, write_text_atomic

__all__ = ["QUESTION_FIELDS", "ANSWER_FIELDS", "Problem", "Expected", "DatasetError", "WriteFailure", "mend_results",
           "load_dataset", "bundled_benchmark", "snapshot_pricing", "parse_answer", "grade", "evaluate",
           "summarize", "question_hash"]

PathArg = Union[str, "os.PathLike[str]"]
Record = dict[str, Any]

QUESTION_FIELDS = ("question", "en_question", "Question", "description")
ANSWER_FIELDS = ("answer", "en_answer", "Answer", "objective")
NO_SOLUTION_TEXTS = ("no best solution", "infeasible")
NO_SOLUTION_NUMBER = -99999
NO_SOLUTION = "infeasible"


Expected = collections.namedtuple("Expected", "value decimals")
Expected.__doc__ = """A graded answer: value None when the problem has no solution; decimals
the number of decimals the answer was written with."""

Problem = collections.namedtuple("Problem", "index id question expected source data_dir", defaults=(None,))
Problem.__doc__ = """One benchmark problem: its position, the dataset's id (or None), the
question text, the Expected answer, the description file it came from
(None for a JSON dataset) and the folder of its tables (None for a word
problem)."""


_THOUSANDS = re.compile(r"-?\d{1,3}(,\d{3})+(\.\d+)?")


class DatasetError(ValueError):
    """A dataset that cannot be read, naming the file and the entry."""


class WriteFailure(Exception):
    """A file of the run could not be written (a full disk, a size limit): the
    run stops, and the error says which file and why. ``recorded`` is the
    number of this dataset's problems in the results file."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error
        self.recorded = 0


# errno values of a file system that cannot take what is written.
# How long a stopped run waits for its workers to end.
_STOP_GRACE = 1.0
_DISK_ERRORS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS, errno.EIO})


def _disk_failure(error: BaseException) -> TypeGuard[OSError]:
    return isinstance(error, OSError) and error.errno in _DISK_ERRORS


def question_hash(question: str) -> str:
    return hashlib.sha256(question.encode("utf-8")).hexdigest()


def _decimals(d: decimal.Decimal) -> int:
    exponent = d.as_tuple().exponent
    return -exponent if isinstance(exponent, int) and exponent < 0 else 0


def parse_answer(value: object) -> Expected:
    """An answer as the benchmarks give it -> Expected; ValueError if it is
    neither a number, a numeric string nor a no-solution marker."""
    if isinstance(value, bool) or value is None:
        raise ValueError("no numeric answer: %r" % (value,))
    if isinstance(value, str):
        text = value.strip()
        if text.lower() in NO_SOLUTION_TEXTS:
            return Expected(None, None)
        plain = text.replace(",", "") if _THOUSANDS.fullmatch(text) else text
        try:
            value = decimal.Decimal(plain)
        except decimal.InvalidOperation:
            raise ValueError("not a number: %r" % value) from None
    if isinstance(value, int):
        value = decimal.Decimal(value)
    elif isinstance(value, float):
        value = decimal.Decimal(repr(value))
    if not isinstance(value, decimal.Decimal) or not value.is_finite():
        raise ValueError("not a number: %r" % (value,))
    if value == NO_SOLUTION_NUMBER:
        return Expected(None, None)
    return Expected(float(value), _decimals(value))


def grade(status: str | None, objective: object, expected: Expected, tolerance: float = 1e-6) -> bool:
    """Whether an answer is correct: a no-solution answer is matched by
    "infeasible" or "infeasible_or_unbounded"; a number by an optimal status
    whose objective is within relative ``tolerance`` of it, or equals it
    after rounding to the answer's own decimals when it has two or fewer
    (some public labels are rounded)."""
    if expected.value is None:
        return status in ("infeasible", "infeasible_or_unbounded")
    if status != "optimal" or not isinstance(objective, (int, float)) or not math.isfinite(objective):
        return False
    if math.isclose(objective, expected.value, rel_tol=tolerance, abs_tol=1e-9):
        return True
    if expected.decimals is not None and expected.decimals <= 2:
        quantum = decimal.Decimal(1).scaleb(-expected.decimals)
        rounded = decimal.Decimal(repr(float(objective))).quantize(quantum, rounding=decimal.ROUND_HALF_UP)
        return rounded == decimal.Decimal(repr(expected.value)).quantize(quantum)
    return False


# -- datasets ---------------------------------------------------------------------

def _data_folder(folder: str, where: str) -> str:
    """``folder`` if it holds a table, else DatasetError."""
    from ._given import NoTables, table_paths

    try:
        table_paths(folder)
    except NoTables as e:
        raise DatasetError("%s: %s" % (where, e)) from None
    return folder


def _entry_problem(index: int, entry: object, where: str, base: str = ".") -> Problem:
    if not isinstance(entry, dict):
        raise DatasetError("%s: not a JSON object" % where)
    question = next((entry[k] for k in QUESTION_FIELDS if k in entry), None)
    if not isinstance(question, str) or not question.strip():
        raise DatasetError("%s: no question (looked for %s)" % (where, ", ".join(QUESTION_FIELDS)))
    key = next((k for k in ANSWER_FIELDS if k in entry), None)
    if key is None:
        raise DatasetError("%s: no answer (looked for %s)" % (where, ", ".join(ANSWER_FIELDS)))
    try:
        expected = parse_answer(entry[key])
    except ValueError as e:
        raise DatasetError("%s: %s %s" % (where, key, e)) from None
    ident = entry.get("id", entry.get("ID"))
    data_dir = entry.get("data_dir")
    if data_dir is not None:
        if not isinstance(data_dir, str) or not data_dir.strip():
            raise DatasetError("%s: data_dir is not a folder name: %r" % (where, data_dir))
        data_dir = _data_folder(os.path.normpath(os.path.join(base, data_dir)), where)
    return Problem(index, None if ident is None else str(ident), question, expected, None, data_dir)


def _folder_problem(index: int, folder: str) -> Problem:
    with open(os.path.join(folder, "solution.json"), encoding="utf-8") as f:
        try:
            solution = json.load(f, parse_float=decimal.Decimal)
        except ValueError as e:
            raise DatasetError("%s: %s" % (f.name, e)) from None
    name = os.path.basename(os.path.normpath(folder))
    desc = os.path.join(folder, name + ".txt")
    if not os.path.isfile(desc):
        texts = sorted(n for n in os.listdir(folder) if n.endswith(".txt"))
        if not texts:
            raise DatasetError("%s: no description (.txt) file" % folder)
        desc = os.path.join(folder, texts[0])
    with open(desc, encoding="utf-8", errors="ignore") as f:
        question = f.read()
    status = str(solution.get("status", "optimal")).lower() if isinstance(solution, dict) else ""
    try:
        if status in ("infeasible", "infeasible_or_unbounded"):
            expected = Expected(None, None)
        elif isinstance(solution, dict) and "objective" in solution:
            expected = parse_answer(solution["objective"])
        else:
            raise ValueError("no objective")
    except ValueError as e:
        raise DatasetError("%s: %s" % (os.path.join(folder, "solution.json"), e)) from None
    data_dir = None
    if os.path.isdir(os.path.join(folder, "data")):
        data_dir = _data_folder(os.path.abspath(folder), os.path.join(folder, "data"))
    return Problem(index, name, question, expected, desc, data_dir)


def bundled_benchmark() -> str:
    """The path of the benchmark shipped with the package."""
    from importlib import resources

    return str(resources.files("tavro") / "data" / "benchmark.jsonl")


def load_dataset(path: PathArg) -> list[Problem]:
    """The problems of a dataset file or library folder, in order."""
    path = os.fspath(path)
    if os.path.isdir(path):
        if os.path.isfile(os.path.join(path, "solution.json")):
            folders = [path]
        else:
            folders = [os.path.join(path, n) for n in sorted(os.listdir(path))
                       if os.path.isfile(os.path.join(path, n, "solution.json"))]
        if not folders:
            raise DatasetError("%s: no problem folders (with solution.json) found" % path)
        return [_folder_problem(i, folder) for i, folder in enumerate(folders)]
    with open(path, encoding="utf-8-sig") as f:
        text = f.read()
    base = os.path.dirname(os.path.abspath(path))
    if text.lstrip().startswith("["):
        try:
            entries = json.loads(text, parse_float=decimal.Decimal)
        except ValueError as e:
            raise DatasetError("%s: %s" % (path, e)) from None
        return [_entry_problem(i, e, "%s: entry %d" % (path, i + 1), base) for i, e in enumerate(entries)]
    try:
        whole = json.loads(text, parse_float=decimal.Decimal)
    except ValueError:
        whole = None
    if (isinstance(whole, dict) and whole and not any(k in whole for k in QUESTION_FIELDS)
            and all(isinstance(v, dict) for v in whole.values())):
        # {"id": {question, answer}, ...}: the keys are the ids.
        return [_entry_problem(i, dict({"id": key}, **entry), "%s: entry %r" % (path, key), base)
                for i, (key, entry) in enumerate(whole.items())]
    problems: list[Problem] = []
    for lineno, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        where = "%s:%d" % (path, lineno)
        try:
            entry = json.loads(line, parse_float=decimal.Decimal)
        except ValueError as e:
            raise DatasetError("%s: %s" % (where, e)) from None
        problems.append(_entry_problem(len(problems), entry, where, base))
    if not problems:
        raise DatasetError("%s: no problems" % path)
    return problems


# -- the results file -----------------------------------------------------------------

# Every record starts so (its first key is "index"); nowhere else in a line
# can these bytes occur, as a quote inside a JSON string is escaped.
_RECORD_START = b'{"index":'


def _is_record(value: object) -> bool:
    return isinstance(value, dict) and isinstance(value.get("index"), int)


def _glued_records(line: bytes) -> list[bytes] | None:
    """The complete records in a line that holds a cut-off one (a write that
    stopped part-way, the next record appended after it on the same line),
    or None when the line is not one of ours."""
    bounds = [0]
    at = line.find(_RECORD_START, 1)
    while at != -1:
        bounds.append(at)
        at = line.find(_RECORD_START, at + 1)
    bounds.append(len(line))
    if not _RECORD_START.startswith(line[:min(bounds[1], len(_RECORD_START))]):
        return None
    found: list[bytes] = []
    i = 0
    while i < len(bounds) - 1:
        # The longest span from here that is a whole record; else a fragment.
        for j in range(len(bounds) - 1, i, -1):
            piece = line[bounds[i]:bounds[j]]
            try:
                whole = _is_record(json.loads(piece))
            except ValueError:
                whole = False
            if whole:
                found.append(piece)
                i = j
                break
        else:
            i += 1
    return found


def mend_results(data: bytes, path: str = "results") -> tuple[bytes, list[Record]]:
    """The text of a results file with every cut-off line dropped (the
    complete records written after one on the same line kept, each on a
    line of its own), and its records. ValueError for a line that is not a
    record and not a cut-off one."""
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    kept: list[bytes] = []
    records: list[Record] = []
    for lineno, line in enumerate(lines, 1):
        if not line.strip():
            kept.append(line)
            continue
        try:
            value = json.loads(line)
            pieces = [line]
        except ValueError:
            glued = _glued_records(line)
            if glued is None:
                raise ValueError("%s:%d is not a JSON record" % (path, lineno)) from None
            pieces, value = glued, None
        kept.extend(pieces)
        if value is not None:
            if _is_record(value):
                records.append(value)
            continue
        records.extend(json.loads(piece) for piece in pieces)
    return b"".join(line + b"\n" for line in kept), records


class ResultsFile:
    """RESULTS.jsonl: one complete line per record, appended under a lock and
    fsync'ed; a failed append is taken back and raised as WriteFailure."""

    def __init__(self, path: PathArg, resume: bool) -> None:
        self.path = os.fspath(path)
        self.records: list[Record] = []
        self._lock = threading.Lock()
        if os.path.exists(self.path):
            if not resume:
                raise FileExistsError("%s exists: give --resume to continue it, or another --output" % self.path)
            self.records = self._read_and_mend()
        folder = os.path.dirname(self.path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        self._fd: int | None = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)

    def _read_and_mend(self) -> list[Record]:
        with open(self.path, "rb") as f:
            data = f.read()
        mended, records = mend_results(data, self.path)
        if mended != data:  # a kill or a failed write left a cut-off line
            write_bytes_atomic(self.path, mended)
        return records

    def append(self, record: Record) -> None:
        line = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8")
        with self._lock:
            if self._fd is None:
                raise ValueError("%s is closed" % self.path)
            size = os.fstat(self._fd).st_size
            try:
                view = memoryview(line)
                while view:
                    written = os.write(self._fd, view)
                    view = view[written:]
                os.fsync(self._fd)
            except OSError as e:
                try:  # no cut-off line for the next record to follow
                    os.ftruncate(self._fd, size)
                except OSError:
                    pass  # mended by the next --resume
                raise WriteFailure(OSError(e.errno, e.strerror, self.path)) from e
            self.records.append(record)

    def close(self) -> None:
        with self._lock:
            if self._fd is not None:
                os.close(self._fd)
                self._fd = None


# -- one problem ------------------------------------------------------------------

def _expected_json(expected: Expected) -> float | str:
    return NO_SOLUTION if expected.value is None else expected.value


def _tape_name(problem: Problem) -> str:
    return "%04d-%s.jsonl" % (problem.index, question_hash(problem.question)[:12])


def run_problem(problem: Problem, folder: str, *, tolerance: float = 1e-6, tape: Any = None,
                problem_timeout: float | None = None, **options: Any) -> Record:
    """Run one problem in ``folder`` and return its record. Failures of the
    LLM calls (errors, time-outs, unparsable replies) are recorded, not
    raised; a file that cannot be written raises WriteFailure. With
    ``problem_timeout``, the problem's compiles and solves share that many
    seconds; past them it ends, recorded with DeadlineExceeded as its error
    (the modelwright.KelmCompiler of generative_solve is bounded only while
    ``_work.bounded_compiles()`` is entered, as ``evaluate`` enters it)."""
    try:
        os.makedirs(folder, exist_ok=True)
        _write_plain(os.path.join(folder, "question.txt"), problem.question)
    except OSError as e:
        if _disk_failure(e):
            raise WriteFailure(e) from e
        raise
    model_file = os.path.join(folder, "model.mod")
    data_file = os.path.join(folder, "data.dat")
    messages: list[object] = []
    meter = _hooks.UsageMeter()
    start = time.monotonic()
    result: dict[str, Any] | None = None
    error: str | None = None
    tape_context = _hooks.taping(tape) if tape is not None else contextlib.nullcontext()
    budget = _work.WorkBudget(problem_timeout) if problem_timeout is not None else None
    if problem.data_dir is not None:
        options = dict(options, data_dir=problem.data_dir)
    with _hooks.metering(meter), _hooks.excluding(problem.question, [problem.source] if problem.source else []), \
            tape_context, _work.bounded(budget):
        try:
            result = pipeline.generate_and_solve(problem.question, model_file, data_file, progress=messages.append,
                                                 **options)
        except (Exception, _work.DeadlineExceeded) as e:
            if _disk_failure(e):
                raise WriteFailure(e) from e
            error = "%s: %s" % (type(e).__name__, str(e) or type(e).__name__)
        seconds = time.monotonic() - start
        # A solver verdict other than "error" means the pair built; else ask the compiler.
        compiled = result is not None and result["status"] != "error"
        if not compiled:
            try:
                with open(model_file) as mf, open(data_file) as df:
                    compiled = not _solving.compile_errors(mf.read(), df.read(), problem.data_dir)
            except (OSError, UnicodeError, _work.DeadlineExceeded):
                pass
    try:
        _write_plain(os.path.join(folder, "progress.log"), "".join(str(m) + "\n" for m in messages))
    except OSError:
        pass
    usage = meter.usage
    status = result["status"] if result else None
    objective = result["objective"] if result else None
    if result is None:
        costs = pipeline.estimate_costs(usage, options.get("model_name") or _model_name(),
                                        options.get("llm_provider"))
    else:
        costs = result["estimated_costs"]
        if error is None:
            error = result["error"] or (result["solution"].get("message") if result["status"] == "error" else None)
    count = int(options.get("candidates") or 1)
    agreeing = int(result.get("agreeing", status not in (None, "error"))) if result else 0
    return {
        "index": problem.index,
        "id": problem.id,
        "question_sha256": question_hash(problem.question),
        "status": status,
        "objective": objective,
        "expected": _expected_json(problem.expected),
        "correct": result is not None and grade(status, objective, problem.expected, tolerance),
        "compiled": compiled,
        "iterations": result["iterations"] if result else None,
        "repairs": result["repairs"] if result else 0,
        "usage": usage,
        "estimated_costs": costs,
        "seconds": round(seconds, 3),
        "error": error,
        "model_file": model_file,
        "data_file": data_file,
        "data_dir": problem.data_dir,
        "candidates": count,
        "agreement": result.get("agreement", "%d/%d" % (agreeing, count)) if result else "0/%d" % count,
        "agreeing": agreeing,
        "disagreement": bool(result and result.get("disagreement")),
        "stated_changes": len(result.get("stated_changes") or []) if result else 0,
        "infeasible_as_described": bool(result and result.get("infeasible_as_described")),
    }


def _failed_record(problem: Problem, error: BaseException, seconds: float, candidates: int = 1) -> Record:
    return {"index": problem.index, "id": problem.id, "question_sha256": question_hash(problem.question),
            "status": None, "objective": None, "expected": _expected_json(problem.expected), "correct": False,
            "compiled": False, "iterations": None, "repairs": 0,
            "usage": {"prompt_tokens": 0, "completion_tokens": 0}, "estimated_costs": {},
            "seconds": round(seconds, 3), "error": "%s: %s" % (type(error).__name__, error),
            "model_file": None, "data_file": None, "data_dir": problem.data_dir, "candidates": candidates,
            "agreement": "0/%d" % candidates, "agreeing": 0, "disagreement": False, "stated_changes": 0,
            "infeasible_as_described": False}


def _write_plain(path: str, text: str) -> None:
    # Notes beside the pair, made again by any rerun: no fsync needed.
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        if e.filename is None:  # a failed write names no file
            raise OSError(e.errno, e.strerror, path) from e
        raise


def _model_name() -> str:
    from . import modelwright

    name: str = modelwright.MODEL_NAME
    return name


# -- prices kept with a recording -------------------------------------------------------

PRICING_SNAPSHOT = "pricing.md"


def _price_cell(value: float | None) -> str:
    if value is None:
        return ""
    return ("%.12f" % value).rstrip("0").rstrip(".") or "0"


def snapshot_pricing(folder: str) -> str:
    """Write the price list in use (``tokenmeter.PRICING_URL``) into
    ``folder/pricing.md``, so that a replay prices the recorded usage
    exactly as the recording did, offline."""
    from . import tokenmeter

    table = tokenmeter._parse_pricing(tokenmeter.PRICING_URL)
    lines = ["| Model | Input ($/1M) | Output ($/1M) |", "|---|---|---|"]
    for key, entry in table.items():
        if "|" not in key:
            lines.append("| %s | %s | %s |" % (key, _price_cell(entry.get("prompt_per_1M")),
                                              _price_cell(entry.get("completion_per_1M"))))
    path = os.path.join(folder, PRICING_SNAPSHOT)
    write_text_atomic(path, "\n".join(lines) + "\n", encoding="utf-8")
    return path


# -- the run ------------------------------------------------------------------------

def _cost(record: Record) -> float:
    costs = record.get("estimated_costs") or {}
    total = costs.get("total_cost") if isinstance(costs, dict) else None
    return float(total) if isinstance(total, (int, float)) else 0.0


def _price_known(record: Record) -> bool:
    usage = record.get("usage") or {}
    spent = (usage.get("prompt_tokens") or 0) + (usage.get("completion_tokens") or 0)
    return not spent or "prompt_cost" in (record.get("estimated_costs") or {})


def _all_agreed(record: Record) -> bool:
    # Records written before candidates existed: one candidate, agreeing when it answered.
    answered = record.get("status") not in (None, "error")
    return int(record.get("agreeing", int(answered))) == int(record.get("candidates") or 1) and answered


def _rate(part: int, whole: int) -> float | None:
    return part / whole if whole else None


def summarize(records: Sequence[Record], total: int | None = None,
              wall_seconds: float | None = None) -> dict[str, Any]:
    """The summary of a list of records: problems, correct, accuracy,
    compiled, solved (optimal), mean iterations, repairs, tokens, cost
    (cost_known false when a record's model had no price), and how far
    agreement can be trusted: agreed (every candidate gave the same
    answer), correct_agreed, accuracy_agreed, disagreements, wrong,
    wrong_warned (wrong answers that came with a disagreement warning) and
    warned_when_wrong (their share; None where nothing was counted)."""
    n = len(records)
    correct = sum(1 for r in records if r.get("correct"))
    agreed = [r for r in records if _all_agreed(r)]
    correct_agreed = sum(1 for r in agreed if r.get("correct"))
    wrong = [r for r in records if not r.get("correct")]
    wrong_warned = sum(1 for r in wrong if r.get("disagreement"))
    iterations = [r["iterations"] for r in records if isinstance(r.get("iterations"), int)]
    usage = [r.get("usage") or {} for r in records]
    return {
        "problems": n,
        "total": n if total is None else total,
        "correct": correct,
        "accuracy": correct / n if n else 0.0,
        "compiled": sum(1 for r in records if r.get("compiled")),
        "solved": sum(1 for r in records if r.get("status") == "optimal"),
        "errors": sum(1 for r in records if r.get("error")),
        "mean_iterations": sum(iterations) / len(iterations) if iterations else 0.0,
        "repairs": sum(int(r.get("repairs") or 0) for r in records),
        "prompt_tokens": sum(int(u.get("prompt_tokens") or 0) for u in usage),
        "completion_tokens": sum(int(u.get("completion_tokens") or 0) for u in usage),
        "cost": sum(_cost(r) for r in records),
        "cost_known": all(_price_known(r) for r in records),
        "wall_seconds": wall_seconds,
        "candidates": max((int(r.get("candidates") or 1) for r in records), default=1),
        "agreed": len(agreed),
        "correct_agreed": correct_agreed,
        "accuracy_agreed": _rate(correct_agreed, len(agreed)),
        "disagreements": sum(1 for r in records if r.get("disagreement")),
        "wrong": len(wrong),
        "wrong_warned": wrong_warned,
        "warned_when_wrong": _rate(wrong_warned, len(wrong)),
    }


def evaluate(problems: Sequence[Problem], output: PathArg, *, jobs: int = 1, resume: bool = False,
             budget: float | None = None, tolerance: float = 1e-6, record_dir: str | None = None,
             replay_dir: str | None = None, workdir: str | None = None,
             on_start: Callable[[Problem], object] | None = None,
             on_record: Callable[[Record, dict[str, Any]], object] | None = None,
             problem_timeout: float | None = _work.DEFAULT_PROBLEM_TIMEOUT, **options: Any) -> dict[str, Any]:
    """Run ``problems`` on ``jobs`` threads, appending one record per finished
    problem to ``output``; returns the summary of every record of these
    problems (resumed ones included) with ``stopped`` (None, "budget" or
    "interrupted"), ``new`` (records made by this run) and
    ``replay_misses``.

    options go to ``pipeline.generate_and_solve`` (model_name, llm_provider,
    iterations, alignment_check, repair, check_solution, time_limit,
    candidates, rows, ...), with the problem's ``data_dir`` for a problem
    over tables.
    ``budget`` stops starting new problems once this run's summed estimated
    cost reaches it. ``problem_timeout`` (seconds, None for no bound) bounds
    the compile and solve work of each problem: one whose model never
    finishes grounding or solving is recorded with the error
    DeadlineExceeded and the run goes on. ``on_start(problem)`` and
    ``on_record(record, summary)`` are called from the worker threads, one
    call at a time.

    A file that cannot be written (the results, a problem's files) stops the
    run: WriteFailure is raised once the failure is seen, without waiting
    for the problems still running (their compiles, builds and solves are
    cancelled; a worker waiting for an LLM reply ends on its own and records
    nothing). Any other error of a worker stops the run too and is raised
    here, and so is Ctrl-C (KeyboardInterrupt), which cancels the workers'
    work the same way.
    """
    if record_dir is not None and replay_dir is not None:
        raise ValueError("record and replay exclude each other")
    output = os.fspath(output)
    if workdir is None:
        stem = output[:-len(".jsonl")] if output.endswith(".jsonl") else output
        workdir = stem + ".problems"
    results = ResultsFile(output, resume)
    try:
        pending = _pending(problems, results, output)
        if record_dir is not None:
            os.makedirs(record_dir, exist_ok=True)
        run = _Run(problems, results, budget, on_start, on_record)

        def solve(problem: Problem) -> Record:
            return _solve_one(problem, workdir, tolerance, _tape(problem, record_dir, replay_dir), problem_timeout,
                              options)

        run.work(pending, solve, jobs)
        summary = run.summary()
        summary.update(stopped=run.stopped, new=len(run.new), replay_misses=run.misses, output=output)
        return summary
    finally:
        results.close()


def _pending(problems: Sequence[Problem], results: ResultsFile, output: str) -> queue.Queue[Problem]:
    """The problems without a record in ``results``; ValueError when a record
    at a problem's index is of another question."""
    done: dict[int, Record] = {record["index"]: record for record in results.records}
    for problem in problems:
        old = done.get(problem.index)
        if old is not None and old.get("question_sha256") != question_hash(problem.question):
            raise ValueError("%s holds a record of another problem at index %d: not this dataset's results"
                             % (output, problem.index))
    pending: queue.Queue[Problem] = queue.Queue()
    for problem in problems:
        if problem.index not in done:
            pending.put(problem)
    return pending


def _tape(problem: Problem, record_dir: str | None, replay_dir: str | None) -> Any:
    """The recording or replay of a problem's LLM calls, or None."""
    if record_dir is not None:
        return _hooks.Recording(os.path.join(record_dir, _tape_name(problem)))
    if replay_dir is not None:
        return _hooks.Replay(os.path.join(replay_dir, _tape_name(problem)))
    return None


def _solve_one(problem: Problem, workdir: str, tolerance: float, tape: Any, problem_timeout: float | None,
               options: dict[str, Any]) -> Record:
    """``run_problem`` in the problem's own folder; a failure of the folder or
    its files is still one record, a full disk a WriteFailure."""
    folder = os.path.join(workdir, "%04d" % problem.index)
    started = time.monotonic()
    try:
        return run_problem(problem, folder, tolerance=tolerance, tape=tape, problem_timeout=problem_timeout,
                           **options)
    except WriteFailure:
        raise
    except Exception as e:
        if _disk_failure(e):
            raise WriteFailure(e) from e
        return _failed_record(problem, e, time.monotonic() - started, int(options.get("candidates") or 1))


class _Run:
    """One evaluation's workers and what they share (under its lock): the
    next problem to start, the records kept, the spend, why it stopped."""

    def __init__(self, problems: Sequence[Problem], results: ResultsFile, budget: float | None,
                 on_start: Callable[[Problem], object] | None,
                 on_record: Callable[[Record, dict[str, Any]], object] | None) -> None:
        self.total = len(problems)
        self.selected = {p.index for p in problems}
        self.results = results
        self.budget = budget
        self.on_start = on_start
        self.on_record = on_record
        self.lock = threading.Lock()
        self.started_at = time.monotonic()
        self.spent = 0.0
        self.stopped: str | None = None
        self.new: list[Record] = []
        self.misses = 0
        self.failure: BaseException | None = None
        self.failed = threading.Event()
        # Set when the run stops early: the workers' compiles, builds and solves end at once.
        self.cancel = threading.Event()

    def summary(self) -> dict[str, Any]:
        records = [r for r in self.results.records if r["index"] in self.selected]
        return summarize(records, self.total, time.monotonic() - self.started_at)

    def next_problem(self, pending: queue.Queue[Problem]) -> Problem | None:
        """The next problem to start, or None once the run stops or the budget is spent."""
        with self.lock:
            if self.stopped is not None:
                return None
            if self.budget is not None and self.spent >= self.budget:
                self.stopped = "budget"
                return None
            try:
                problem = pending.get_nowait()
            except queue.Empty:
                return None
            if self.on_start is not None:
                try:
                    self.on_start(problem)
                except Exception:
                    pass
            return problem

    def keep(self, record: Record) -> None:
        with self.lock:
            if self.stopped is not None and self.stopped != "budget":
                return  # interrupted or failed: nothing more is recorded
            self.results.append(record)
            self.new.append(record)
            self.spent += _cost(record)
            if record["error"] and record["error"].startswith("ReplayMiss:"):
                self.misses += 1
            if self.on_record is not None:
                try:
                    self.on_record(record, self.summary())
                except Exception:
                    pass

    def worker(self, pending: queue.Queue[Problem], solve: Callable[[Problem], Record]) -> None:
        try:
            with _work.cancelling(self.cancel):
                while True:
                    problem = self.next_problem(pending)
                    if problem is None:
                        return
                    self.keep(solve(problem))
        except BaseException as e:  # handed to the waiting thread: no traceback per worker
            with self.lock:
                if self.failure is None:
                    self.failure = e
                self.stopped = "failed"
                self.failed.set()

    def work(self, pending: queue.Queue[Problem], solve: Callable[[Problem], Record], jobs: int) -> None:
        """Runs the workers until the problems are done; Ctrl-C (or a
        worker's failure) cancels their work and is raised."""
        with _work.bounded_compiles():
            threads = [threading.Thread(target=self.worker, args=(pending, solve), name="tavro-eval-%d" % i,
                                        daemon=True)
                       for i in range(max(1, min(int(jobs), pending.qsize() or 1)))]
            try:
                for t in threads:
                    t.start()
                for t in threads:
                    while t.is_alive() and not self.failed.is_set():
                        t.join(0.1)
            except KeyboardInterrupt:
                with self.lock:
                    self.stopped = "interrupted"
                self.stop(threads)
                raise
            if self.failure is not None:
                self.stop(threads)
                failure = self.failure
                if isinstance(failure, WriteFailure):
                    failure.recorded = sum(1 for r in self.results.records if r["index"] in self.selected)
                raise failure

    def stop(self, threads: list[threading.Thread]) -> None:
        """Cancels the workers' work and gives them a moment to end (one
        waiting for an LLM reply ends at that call's own deadline)."""
        self.cancel.set()
        end = time.monotonic() + _STOP_GRACE
        for t in threads:
            if t.ident is not None:  # started
                t.join(max(0.0, end - time.monotonic()))
