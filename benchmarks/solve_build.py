"""build_problem (text to a HiGHS-ready sparse problem) of the transportation
model from compile.py against json.loads of the same numbers, measured in one
run (median of 5) at 316x316, 1000x1000 and 2000x2000, with the share of the
time in compile-only work, instantiation and the conversion to numpy/SciPy.

    python benchmarks/solve_build.py [N ...]
    python benchmarks/solve_build.py --script [N]   # the generated script instead

--script: the standalone SciPy script of the N x N model (default 1000),
with its arrays embedded and in a sidecar .npz: time to generate it, its
size, and the wall time of `python script.py` (decode, build, HiGHS solve,
report) against tavro.solver's build and solve of the same text.
"""

import gc
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from compile import MODEL, generate  # noqa: E402

from tavro import _kelm, solver  # noqa: E402


def median_of(fn, runs=5):
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


def main(sizes):
    for n in sizes:
        data, doc = generate(n, random.Random(7))
        problem = solver.build_problem(MODEL, data)
        assert problem.A.nnz == 2 * n * n, problem
        raw = _kelm.instantiate(MODEL, data)
        t_json, j_lo, j_hi = median_of(lambda: json.loads(doc))
        t_build, b_lo, b_hi = median_of(lambda: solver.build_problem(MODEL, data))
        t_native, *_ = median_of(lambda: _kelm.instantiate(MODEL, data))
        t_wrap, *_ = median_of(lambda: solver.LinearProblem(raw))
        # Compile-only work: the same text without the objective and rows.
        bare = MODEL.split("minimize")[0] + "minimize z: 0 * ship[1][1];\n"
        t_front, *_ = median_of(lambda: _kelm.instantiate(bare, data))
        print(f"{n}x{n}: data {len(data) / 1e6:.1f} MB, {problem.A.nnz:,} nonzeros")
        print(f"  json.loads {t_json * 1e3:.0f} ms [{j_lo * 1e3:.0f}-{j_hi * 1e3:.0f}]   "
              f"build_problem {t_build * 1e3:.0f} ms [{b_lo * 1e3:.0f}-{b_hi * 1e3:.0f}]   "
              f"ratio {t_build / t_json:.2f}x (spread {b_lo / j_hi:.2f}-{b_hi / j_lo:.2f})")
        print(f"  parse+check+data {t_front / t_build:.0%}   instantiation {(t_native - t_front) / t_build:.0%}   "
              f"numpy/CSC wrapping {t_wrap / t_build:.0%}")


def script_figures(n):
    from tavro.lpwriter import SciPyCodeGenerator
    from tavro.tavro_core import KelmCompiler

    data, _doc = generate(n, random.Random(7))
    start = time.perf_counter()
    answer = solver.solve_problem(solver.build_problem(MODEL, data))
    t_solver = time.perf_counter() - start
    print(f"{n}x{n}: tavro.solver build and solve {t_solver:.2f} s, objective {answer.objective:.10g}")
    tree = KelmCompiler().compile_model(MODEL, data)
    folder = tempfile.mkdtemp(prefix="tavro-script-")
    for sidecar in (False, True):
        script = os.path.join(folder, "transport.py")
        npz = os.path.join(folder, "transport.npz")
        start = time.perf_counter()
        text = SciPyCodeGenerator(tree, tree["data"]).generate_code(npz if sidecar else None)
        t_gen = time.perf_counter() - start
        with open(script, "w", encoding="utf-8") as f:
            f.write(text)
        start = time.perf_counter()
        run = subprocess.run([sys.executable, script], capture_output=True, text=True, check=True)
        t_run = time.perf_counter() - start
        side = f" + sidecar {os.path.getsize(npz) / 1e6:.1f} MB" if sidecar else ""
        print(f"  {'sidecar ' if sidecar else 'embedded'}: generate {t_gen:.2f} s, script {len(text) / 1e6:.2f} MB"
              f"{side}, python script.py {t_run:.2f} s ({run.stdout.splitlines()[1]})")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--script"]:
        script_figures(int(sys.argv[2]) if len(sys.argv) > 2 else 1000)
    else:
        main([int(a) for a in sys.argv[1:]] or [316, 1000, 2000])
