"""Compiling a model and data file for a report: every located error, or
counts of what the pair declares (sets, parameters) and instantiates
(variables, constraints)."""

from __future__ import annotations

import os
import re
from typing import Any

__all__ = ["check_files", "check_texts", "counts", "located_errors", "name_locations"]

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


def _count_constraints(nodes: list[dict[str, Any]]) -> int:
    n = 0
    for node in nodes:
        n += _count_constraints(node["constraints"]) if node.get("type") == "forall" else 1
    return n


def _declared_counts(compiled: dict[str, Any]) -> dict[str, Any]:
    decls = compiled["declarations"]
    kinds = [d["type"] for d in decls]
    return {
        "sets": kinds.count("set") + kinds.count("range"),
        "parameters": kinds.count("param"),
        "variables": kinds.count("dvar"),
        "constraints": sum(_count_constraints(d["constraints"]) for d in decls if d["type"] == "constraints"),
        "instantiated": False,
    }


def _problem_counts(compiled: dict[str, Any], problem: Any) -> dict[str, Any]:
    counts = _declared_counts(compiled)
    counts.update(variables=int(problem.A.shape[1]), constraints=int(problem.A.shape[0]), instantiated=True)
    return counts


def counts(model_code: str, data_code: str, data_dir: str | None = None) -> dict[str, Any]:
    """Counts of a pair; raises SemanticError (or another compiler error) when
    it does not compile. The data's tables are read from data_dir (default:
    the current folder)."""
    from . import solver
    from .tavro_core import KelmCompiler

    compiled = KelmCompiler().compile_model(model_code, data_code, data_dir=data_dir)
    return _problem_counts(compiled, solver.build_problem(model_code, data_code, data_dir=data_dir))


def check_files(model_file: str, data_file: str, data_dir: str | None = None) -> dict[str, Any]:
    """{"ok", "model_file", "data_file", "errors", "counts"} for the pair; the
    data's tables are read from data_dir (default: the data file's folder)."""
    with open(model_file, encoding="utf-8") as f:
        model_code = f.read()
    with open(data_file, encoding="utf-8") as f:
        data_code = f.read()
    return check_texts(model_code, data_code, model_file, data_file, data_dir)


def check_texts(model_code: str, data_code: str, model_file: str, data_file: str,
                data_dir: str | None = None) -> dict[str, Any]:
    """``check_files`` of texts already read from ``model_file`` and ``data_file``."""
    result: dict[str, Any] = {"ok": True, "model_file": model_file, "data_file": data_file, "errors": [],
                              "counts": None}
    try:
        if data_dir is None:
            data_dir = os.path.dirname(os.path.abspath(data_file))
        result["counts"] = counts(model_code, data_code, data_dir)
    except Exception as e:  # SemanticError carries the located lines; anything else is one error
        text = str(e) if type(e).__name__ == "SemanticError" else "%s: %s" % (type(e).__name__, e)
        result["ok"] = False
        result["errors"] = located_errors(text, model_file, data_file)
    return result
