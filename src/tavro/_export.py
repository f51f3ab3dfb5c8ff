"""The grounded problem and its answer in other tools' files: MPS and LP
through HiGHS's writer (names made safe for the formats, with a map back to
the model's own), and the non-zero values as CSV."""

from __future__ import annotations

import contextlib
import csv
import io
import os
import re
import shutil
import tempfile
from typing import TYPE_CHECKING, Dict, List

import numpy as np

from . import _fileio, _highs

if TYPE_CHECKING:
    from .solver import FloatArray, LinearProblem

FORMATS = (".mps", ".lp")
# Characters an LP-format name may hold (CPLEX's rules, which HiGHS reads);
# MPS names only must not hold blanks. One rule serves both.
_UNSAFE = re.compile(r"[^A-Za-z0-9_.()!#$%&/,;?@'{}|~]")
_BRACKETS = str.maketrans("[]<>", "(){}")
# Longest name an LP file may hold.
_LONGEST = 255


def safe_names(names: List[str]) -> List[str]:
    """Names every MPS and LP reader takes: brackets as parentheses, tuple
    brackets as braces, any other unsafe character as '_', no leading digit,
    point or exponent-like 'e1', at most 255 characters, each one unique."""
    out: List[str] = []
    taken = set()
    for name in names:
        safe = _UNSAFE.sub("_", name.translate(_BRACKETS)) or "_"
        if safe[0].isdigit() or safe[0] == "." or re.match(r"[eE][0-9eE+-]", safe):
            safe = "_" + safe
        safe = candidate = safe[:_LONGEST]
        k = 1
        while candidate in taken:
            k += 1
            tail = "~%d" % k
            candidate = safe[:_LONGEST - len(tail)] + tail
        taken.add(candidate)
        out.append(candidate)
    return out


def _write_highs(problem: LinearProblem, path: str) -> Dict[str, str]:
    # HiGHS picks the format by the extension: it writes under the target's
    # own name in a temporary folder beside it.
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise ValueError("cannot write %s: the file name must end in .mps or .lp" % path)
    columns, rows = problem.column_names, problem.row_names
    safe_columns, safe_rows = safe_names(columns), safe_names(rows)
    A = problem.A
    _highs.write_model(path, problem.c, A.indptr, A.indices, A.data, problem.row_lower, problem.row_upper,
                       problem.col_lower, problem.col_upper, problem.integrality, problem.maximize, problem.offset,
                       safe_columns, safe_rows)
    renamed = {s: n for s, n in zip(safe_columns, columns) if s != n}
    renamed.update((s, n) for s, n in zip(safe_rows, rows) if s != n)
    return renamed


def _write_highs_to(problem: LinearProblem, path: str, temp: str) -> Dict[str, str]:
    """``_write_highs`` of the problem for ``path``, the file left at ``temp``."""
    folder = tempfile.mkdtemp(dir=os.path.dirname(os.path.abspath(path)), prefix=".tavro-write-")
    try:
        written = os.path.join(folder, os.path.basename(path))
        renamed = _write_highs(problem, written)
        os.replace(written, temp)
        return renamed
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def write_model(problem: LinearProblem, path: str) -> Dict[str, str]:
    """Write the problem to `path` in the format of its extension (.mps or
    .lp) through HiGHS, replacing the file whole; return {written name: model
    name} for every name that had to change."""
    with _fileio.replaced_together([path]) as (temp,):
        return _write_highs_to(problem, path, temp)


def name_map_path(path: str) -> str:
    """Where the names of a model file written as `path` are mapped back: FILE.names.csv."""
    return os.path.splitext(path)[0] + ".names.csv"


def write_model_and_map(problem: LinearProblem, path: str) -> List[str]:
    """``write_model`` and, when names had to change, FILE.names.csv mapping
    them back, both replaced together; a map left by an earlier write that
    no longer applies is removed. Returns the files written."""
    map_path = name_map_path(path)
    with _fileio.replaced_together([path, map_path]) as (temp, map_temp):
        renamed = _write_highs_to(problem, path, temp)
        if renamed:
            with open(map_temp, "w", encoding="utf-8", newline="") as f:
                writer = csv.writer(f)
                writer.writerow(["written", "name"])
                writer.writerows(sorted(renamed.items()))
    if not renamed:
        with contextlib.suppress(FileNotFoundError):
            os.remove(map_path)
        return [path]
    return [path, map_path]


def write_values_csv(problem: LinearProblem, x: FloatArray, path: str, zero: float = 1e-9) -> int:
    """The non-zero values as CSV, replacing `path` whole: variable, name,
    index1..indexK (the index texts of the variable with the most indices),
    value; the number of rows."""
    width = max((len(b.index_sets) for b in problem.column_blocks), default=0)
    nonzero = np.flatnonzero(np.abs(x) > zero)
    text = io.StringIO(newline="")
    writer = csv.writer(text)
    writer.writerow(["variable", "name"] + ["index%d" % (d + 1) for d in range(width)] + ["value"])
    for j in nonzero.tolist():
        block = problem.column_block(j)
        keys = block.keys(j - block.first)
        writer.writerow([block.name, problem.column_name(j)] + keys + [""] * (width - len(keys)) +
                        [repr(float(x[j]))])
    _fileio.write_bytes_atomic(path, text.getvalue().encode("utf-8"))
    return int(nonzero.size)
