"""Ctrl-C and deadlines: SIGINT stops HiGHS and the library reports what it
had; every solve of one request (the main solve and the searches after it)
ends by the request's deadline."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import hard_milp
from tavro import solver

HERE = Path(__file__).resolve().parent
# A stopped solve ends within seconds; this only keeps a broken one from hanging the run.
PATIENCE = 60


@pytest.fixture
def hard_pair(tmp_path):
    (tmp_path / "hard.mod").write_text(hard_milp.MODEL)
    (tmp_path / "hard.dat").write_text(hard_milp.data())
    return str(tmp_path / "hard.mod"), str(tmp_path / "hard.dat")


def interrupt(argv, wait_for=None, delay=1.0):
    """Run argv, send SIGINT `delay` seconds after it printed `wait_for`
    (after it started when None); its exit code and output."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=HERE,
                            env=dict(os.environ, PYTHONPATH=str(HERE)))
    try:
        if wait_for is not None:
            assert proc.stdout.readline().strip() == wait_for
        time.sleep(delay)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=PATIENCE)
    finally:
        proc.kill()
    return proc.returncode, out, err


def test_sigint_stops_the_solve_and_the_library_keeps_the_best_point(hard_pair):
    code, out, err = interrupt([sys.executable, str(HERE / "hard_milp.py"), *hard_pair], wait_for="solving")
    assert code == 130, err
    assert json.loads(out) == {"status": "limit", "reason": "interrupted", "objective": json.loads(out)["objective"],
                               "has_point": True}


def test_sigint_to_tavro_solve_reports_the_point_and_exits_130(hard_pair):
    code, out, err = interrupt([sys.executable, "-m", "tavro", "solve", *hard_pair], delay=3.0)
    assert code == 130, err
    lines = out.splitlines()
    assert lines[0] == "status: limit (interrupted)"
    assert lines[1].startswith("objective (Value): ") and lines[2].startswith("gap: ")
    assert any(line.startswith("  take[") for line in lines)


TRANSPORT = """
int n = ...;
range I = 1..n;
float cost[I][I] = ...;
dvar float+ ship[I][I];
minimize Cost: sum(i in I, j in I) cost[i][j] * ship[i][j];
subject to {
  forall(i in I) Supply: sum(j in I) ship[i][j] <= 100;
  forall(j in I) Demand: sum(i in I) ship[i][j] >= 101;
}
"""


@pytest.mark.parametrize("n", [30, 60])  # HiGHS's own IIS first, or the deletion filter alone
def test_the_conflict_search_ends_by_the_requests_deadline(n):
    # Every row is in the conflict: a search that takes seconds without a deadline.
    cost = "[" + ", ".join("[" + ", ".join(str((i * j) % 7 + 1) for j in range(n)) + "]" for i in range(n)) + "]"
    problem = solver.build_problem(TRANSPORT, "n = %d;\ncost = %s;\n" % (n, cost))
    started = time.monotonic()
    result = solver.solve_problem(problem, time_limit=0.5)
    assert time.monotonic() - started < 5  # the searches share the half-second deadline
    assert result.status == "infeasible" and len(result.notes) == 1
    if result.conflict is None:
        assert result.notes == ["conflict not computed: the search ran out of time"]
    else:
        assert result.notes[0].startswith("conflict: an infeasible subset of %d rows, not reduced"
                                          % len(result.conflict))
    full = solver.solve_problem(problem)
    assert len(full.conflict) == 2 * n and full.notes == []


def test_a_cancelled_request_stops_at_once():
    import threading

    problem = solver.build_problem(hard_milp.MODEL, hard_milp.data())
    cancel = threading.Event()
    timer = threading.Timer(0.5, cancel.set)
    timer.start()
    try:
        result = solver.solve_problem(problem, options=solver.SolveOptions(cancel=cancel))
    finally:
        timer.cancel()
    assert (result.status, result.reason) == ("limit", "interrupted") and result.x is not None
