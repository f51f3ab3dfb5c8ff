"""Every answer reported optimal holds: the library's and the gold pairs'
models over thousands of mutated data files (numbers scaled by factors
near one and by powers of ten up to 10^±12), each optimal point checked
against the rows, bounds and integrality of the problem independently of
the solver's own check, and its objective recomputed."""

import random
import re
from pathlib import Path

import numpy as np
import pytest

from tavro import solver
from tavro.semantic_error import SemanticError

REPO = Path(__file__).resolve().parent.parent
PAIRS = sorted(p for folder in (REPO / "src" / "tavro" / "kelm_models", REPO / "tests" / "data" / "benchmark_gold")
               for p in folder.rglob("*.mod") if p.with_suffix(".dat").exists())
NUMBER = re.compile(r"(?<![\w.])\d+(?:\.\d+)?(?:[eE][-+]?\d+)?(?![\w.])")
CASES = 2000


def mutated(rng, data):
    """The data text with some numbers changed; integers stay integers."""
    def change(m):
        text = m.group()
        if rng.random() > 0.3:
            return text
        value = float(text)
        if rng.random() < 0.2:
            value *= 10.0 ** rng.randint(-12, 12)
        else:
            value *= rng.uniform(0.5, 2.0)
        whole = not any(c in text for c in ".eE")
        return str(max(0, round(value))) if whole and abs(value) < 2 ** 53 else repr(value)

    return NUMBER.sub(change, data)


def held(problem, result):
    """The largest violation of a row or bound beyond its tolerance (<= 0
    when all hold), by sparse products of the problem's own arrays."""
    x = result.x
    activity = problem.A @ x
    rows = problem.A.tocsr()
    largest = np.zeros(problem.num_rows)
    if rows.nnz:
        largest = np.maximum.reduceat(np.abs(rows.data), rows.indptr[:-1]) * (np.diff(rows.indptr) > 0)
    terms = abs(rows.multiply(x[np.newaxis, :])).max(axis=1).toarray().ravel() if rows.nnz else largest
    excess = np.maximum(np.nan_to_num(problem.row_lower - activity, nan=0.0, neginf=0.0),
                        np.nan_to_num(activity - problem.row_upper, nan=0.0, neginf=0.0))
    size = np.maximum(np.abs(np.where(activity < problem.row_lower, problem.row_lower, problem.row_upper)), terms)
    size = np.nan_to_num(size, posinf=0.0)
    # Rows of tiny coefficients are judged in their own units.
    absolute = 1e-6 * np.where((largest > 0) & (largest < 2.0 ** -10), largest, 1.0)
    beyond = excess - np.maximum(absolute, 1e-9 * size)
    columns = np.maximum(problem.col_lower - x, x - problem.col_upper)
    columns = columns - np.maximum(1e-6, 1e-9 * np.abs(np.where(x < problem.col_lower, problem.col_lower,
                                                                 problem.col_upper)))
    integral = np.abs(x - np.round(x))[problem.integrality == 1] - 1e-6
    return max(beyond.max(initial=-1.0), np.nan_to_num(columns, nan=-1.0).max(initial=-1.0),
               integral.max(initial=-1.0))


def cases():
    rng = random.Random(20261209)
    for k in range(CASES):
        model = PAIRS[k % len(PAIRS)]
        yield model, mutated(rng, model.with_suffix(".dat").read_text())


def test_every_optimal_answer_holds():
    counts = {"optimal": 0}
    for model, data in cases():
        try:
            problem = solver.build_problem(model.read_text(), data)
        except SemanticError:
            continue
        result = solver.solve_problem(problem, time_limit=10)
        counts[result.status] = counts.get(result.status, 0) + 1
        if result.status != "optimal":
            continue
        assert held(problem, result) <= 0, (model.name, data)
        assert result.objective == pytest.approx(float(problem.c @ result.x) + problem.offset, rel=1e-9, abs=1e-9)
    assert counts["optimal"] > CASES // 2, counts
