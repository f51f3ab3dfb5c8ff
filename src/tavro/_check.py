"""Compiling a model and data file for a report: every located error, or
counts of what the pair declares (sets, parameters) and instantiates
(variables, constraints)."""

from __future__ import annotations

import re
import threading
from typing import Any

from ._data import tables_folder

__all__ = ["check_files", "check_texts", "counts", "located_errors", "name_locations"]

_OUT_OF_MEMORY = ("out of memory: the problem's arrays do not fit in the memory this process may use; "
                  "make the index sets smaller")
_LOCATED = re.compile(r"^(model|data):(\d+):(\d+): (.*)$")


def located_errors(message: object, model_file: str, data_file: str) -> list[dict[str, Any]]:
    """The compiler's error lines as records; "model:L:C:" becomes the file name."""
    errors: list[dict[str, Any]] = []
    for line in str(message).splitlines():
        m = _LOCATED.match(line)
        if m:
            which, row, col, text = m.groups()
            errors.append({"file": model_file if which == "model" else data_file, "line": int(row),
                           "column": int(col), "message": text})
        elif line.strip():
            errors.append({"file": None, "line": None, "column": None, "message": line})
    return errors


def name_locations(message: object, model_file: str, data_file: str) -> str:
    """The compiler's message with each "model:L:C:" / "data:L:C:" line head
    replaced by the file's name ("typo.mod:9:42:")."""
    def named(m: re.Match[str]) -> str:
        return "%s:%s:%s: %s" % (model_file if m.group(1) == "model" else data_file, *m.group(2, 3, 4))

    return "\n".join(_LOCATED.sub(named, line) for line in str(message).split("\n"))


def counts(model_code: str, data_code: str, data_dir: str | None = None, *, deadline: float | None = None,
           cancel: threading.Event | None = None) -> dict[str, Any]:
    """Counts of a pair from one grounding: what the model declares (sets,
    parameters) and instantiates (variables, constraints); raises
    SemanticError (or another compiler error) when it does not build. The
    data's tables are read from data_dir (default: the current folder);
    deadline and cancel bound the work as ``solver.build_problem`` does."""
    from . import solver

    problem = solver.build_problem(model_code, data_code, data_dir=data_dir, deadline=deadline, cancel=cancel)
    return {"sets": problem.declared["sets"], "parameters": problem.declared["parameters"],
            "variables": problem.num_columns, "constraints": problem.num_rows, "instantiated": True}


def check_files(model_file: str, data_file: str, data_dir: str | None = None, *, deadline: float | None = None,
                cancel: threading.Event | None = None) -> dict[str, Any]:
    """{"ok", "model_file", "data_file", "errors", "counts"} for the pair; the
    data's tables are read from data_dir (default: the data file's folder)."""
    with open(model_file, encoding="utf-8") as f:
        model_code = f.read()
    with open(data_file, encoding="utf-8") as f:
        data_code = f.read()
    return check_texts(model_code, data_code, model_file, data_file, data_dir, deadline=deadline, cancel=cancel)


def check_texts(model_code: str, data_code: str, model_file: str, data_file: str, data_dir: str | None = None, *,
                deadline: float | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
    """``check_files`` of texts already read from ``model_file`` and ``data_file``."""
    from .semantic_error import SemanticError

    result: dict[str, Any] = {"ok": True, "model_file": model_file, "data_file": data_file, "errors": [],
                              "counts": None}
    try:
        result["counts"] = counts(model_code, data_code, tables_folder(data_file, data_dir), deadline=deadline,
                                  cancel=cancel)
    except (SemanticError, TimeoutError) as e:  # the located lines (the engine stops at a deadline with one)
        result.update(ok=False, errors=located_errors(e, model_file, data_file))
    except MemoryError:
        result.update(ok=False, errors=located_errors(_OUT_OF_MEMORY, model_file, data_file))
    except Exception as e:  # anything else is one error
        result.update(ok=False, errors=located_errors("%s: %s" % (type(e).__name__, e), model_file, data_file))
    return result
