"""`tavro solve` end to end, against baselines measured in the same run
(median of 5, interleaved, with the spread):

- `tavro solve` of the N x N transportation model (text files to printed
  report; and with --json) against the bare highspy solve of the same arrays
  with duals (passModel of numpy arrays, run, getSolution);
- its peak memory in a fresh process;
- the generated SciPy script (executed, arrays embedded) against the bare
  SciPy linprog solve it contains, on the same arrays;
- Ctrl-C: the time from SIGINT to exit of `tavro solve` on a hard MILP,
  against that of a Python process that only sleeps (wall time).

Solve figures are CPU time of this process by default (steadier on a shared
machine); TAVRO_BENCH_WALL=1 gives wall time.

    python benchmarks/solve_end_to_end.py [N] [--skip-interrupt]
"""

import contextlib
import gc
import io
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import numpy as np  # noqa: E402
from compile import MODEL, generate  # noqa: E402

from tavro import cli, solver  # noqa: E402

RUNS = 5


def interleaved(fns, runs=RUNS, clock=time.perf_counter):
    """{name: [seconds per run]} of each function, run in turn."""
    times = {name: [] for name in fns}
    for _ in range(runs):
        for name, fn in fns.items():
            gc.collect()
            start = clock()
            fn()
            times[name].append(clock() - start)
    return times


# CPU time of this process (HiGHS's threads included): less disturbed than
# wall time by the other work of a shared machine. Set TAVRO_BENCH_WALL=1
# for wall time.
CLOCK = time.perf_counter if os.environ.get("TAVRO_BENCH_WALL") == "1" else time.process_time


def ratio(times, name, base):
    t, b = times[name], times[base]
    med = statistics.median(t) / statistics.median(b)
    return "%s %.2f s [%.2f-%.2f]  vs  %s %.2f s [%.2f-%.2f]:  %.2fx (spread %.2f-%.2f)" % (
        name, statistics.median(t), min(t), max(t), base, statistics.median(b), min(b), max(b), med,
        min(t) / max(b), max(t) / min(b))


def bare_highspy(problem):
    import highspy
    from highspy._core import _Highs

    h = _Highs()
    h.setOptionValue("output_flag", False)
    A = problem.A
    h.passModel(problem.num_columns, problem.num_rows, A.nnz, int(highspy.MatrixFormat.kColwise),
                int(highspy.ObjSense.kMinimize), problem.offset, problem.c, problem.col_lower, problem.col_upper,
                problem.row_lower, problem.row_upper, A.indptr.astype(np.int32), A.indices, A.data,
                problem.integrality.astype(np.int32))
    h.run()
    solution = h.getSolution()
    return np.asarray(solution.col_value), np.asarray(solution.row_dual), np.asarray(solution.col_dual)


def tavro_solve(paths, *extra):
    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main(["solve", *paths, *extra]) == 0


def peak_mb(paths):
    code = ("import sys\nfrom tavro import cli\n"
            "code = cli.main(['solve', %r, %r])\n"
            "print(next(l for l in open('/proc/self/status') if l.startswith('VmHWM')).split()[1], file=sys.stderr)\n"
            % paths)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(run.stderr.split()[-1]) / 1024


def script_figures(n, data):
    from scipy.optimize import linprog

    from tavro import _csc_script
    from tavro.lpwriter import SciPyCodeGenerator
    from tavro.tavro_core import KelmCompiler

    tree = KelmCompiler().compile_model(MODEL, data)
    gen = SciPyCodeGenerator(tree, tree["data"])
    text = gen.generate_code()
    code = compile(text, "transport.py", "exec")
    problem = solver.build_problem(MODEL, data)
    A = problem.A.tocsr()
    ub = np.isfinite(problem.row_upper)
    A_ub = scipy_vstack(A, ub)
    b_ub = np.concatenate([problem.row_upper[ub], -problem.row_lower[~ub]])

    def bare():
        res = linprog(problem.c, A_ub=A_ub, b_ub=b_ub, bounds=np.column_stack([problem.col_lower, problem.col_upper]),
                      method="highs")
        assert res.status == 0

    def script():
        ns = {"__name__": "transport"}
        exec(code, ns)
        assert ns["status"] == "optimal"

    assert _csc_script.LITERAL_LIMIT < problem.num_columns
    times = interleaved({"generated script": script, "bare linprog": bare}, clock=CLOCK)
    print("%dx%d script (%.1f MB): %s" % (n, n, len(text) / 1e6, ratio(times, "generated script", "bare linprog")))


def scipy_vstack(A, ub):
    import scipy.sparse

    return scipy.sparse.vstack([A[np.flatnonzero(ub)], -A[np.flatnonzero(~ub)]], format="csr")


def interrupt_figures():
    import hard_milp

    folder = tempfile.mkdtemp(prefix="tavro-sigint-")
    paths = (os.path.join(folder, "hard.mod"), os.path.join(folder, "hard.dat"))
    with open(paths[0], "w") as f:
        f.write(hard_milp.MODEL)
    with open(paths[1], "w") as f:
        f.write(hard_milp.data())
    sleeper = [sys.executable, "-c", "import sys, time; print('solving', flush=True); time.sleep(600)"]
    solving = [sys.executable, os.path.join(os.path.dirname(HERE), "tests", "hard_milp.py"), *paths]
    command = [sys.executable, "-m", "tavro", "solve", *paths]
    lags = {"tavro solve": [], "library": [], "sleeping python": []}
    for _ in range(RUNS):
        for name, argv, ready in (("tavro solve", command, None), ("library", solving, "solving"),
                                  ("sleeping python", sleeper, "solving")):
            proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            if ready:
                assert proc.stdout.readline().strip() == ready
            time.sleep(2.0)
            start = time.perf_counter()
            proc.send_signal(signal.SIGINT)
            proc.communicate(timeout=120)
            lags[name].append(time.perf_counter() - start)
            assert proc.returncode in (130, -signal.SIGINT, 1), (name, proc.returncode)
    print("Ctrl-C to exit (hard MILP, SIGINT 2 s into the solve):")
    print("  " + ratio(lags, "tavro solve", "sleeping python"))
    print("  " + ratio(lags, "library", "sleeping python"))


def main(n, skip_interrupt):
    data, _doc = generate(n, random.Random(7))
    folder = tempfile.mkdtemp(prefix="tavro-e2e-")
    paths = (os.path.join(folder, "t.mod"), os.path.join(folder, "t.dat"))
    with open(paths[0], "w") as f:
        f.write(MODEL)
    with open(paths[1], "w") as f:
        f.write(data)
    problem = solver.build_problem(MODEL, data)
    print("%dx%d transportation: %d columns, %d rows, %d non-zeros (%s time)" % (
        n, n, problem.num_columns, problem.num_rows, problem.A.nnz, "wall" if CLOCK is time.perf_counter else "CPU"))
    times = interleaved({"tavro solve": lambda: tavro_solve(paths),
                         "tavro solve --json": lambda: tavro_solve(paths, "--json"),
                         "bare highspy": lambda: bare_highspy(problem)}, clock=CLOCK)
    print(ratio(times, "tavro solve", "bare highspy"))
    print(ratio(times, "tavro solve --json", "tavro solve"))
    print("peak memory of tavro solve: %.0f MB" % peak_mb(paths))
    script_figures(n, data)
    if not skip_interrupt:
        interrupt_figures()


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    main(int(args[0]) if args else 1000, "--skip-interrupt" in sys.argv)
