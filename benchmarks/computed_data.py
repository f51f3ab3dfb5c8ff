"""Computed data against data typed in: the time to build a problem whose
N x N distance matrix the model computes from N coordinates (sqrt and ^ in
the engine) over the time to build the same problem with the N^2 distances
read from the data file, measured in one run (CPU time, interleaved, median
ratio and its spread). Neither builds a Python object per element.

    python benchmarks/computed_data.py [N ...]     # default 300 1000
"""

import random
import statistics
import sys
import time

from tavro import _kelm

HEAD = "int n = ...;\nrange N = 1..n;\n"
USE = "dvar float x;\nminimize z: x;\nsubject to { x >= sum(i in N) dist[i][1]; }\n"
COMPUTED = (HEAD + "float cx[N] = ...;\nfloat cy[N] = ...;\n"
            "float dist[i in N][j in N] = sqrt((cx[i] - cx[j])^2 + (cy[i] - cy[j])^2);\n" + USE)
TYPED = HEAD + "float dist[N][N] = ...;\n" + USE


def generate(n: int, rng: random.Random) -> tuple[str, str]:
    pts = [(rng.uniform(0, 100), rng.uniform(0, 100)) for _ in range(n)]
    coords = (f"n = {n};\ncx = [{', '.join(repr(p[0]) for p in pts)}];\n"
              f"cy = [{', '.join(repr(p[1]) for p in pts)}];\n")
    rows = ",\n".join("[" + ", ".join(repr(((a[0] - b[0]) ** 2 + (a[1] - b[1]) ** 2) ** 0.5) for b in pts) + "]"
                      for a in pts)
    return coords, f"n = {n};\ndist = [\n{rows}];\n"


def cpu(model: str, data: str) -> float:
    start = time.process_time()
    _kelm.instantiate(model, data)
    return time.process_time() - start


def main(sizes: list[int], runs: int = 5) -> None:
    for n in sizes:
        coords, typed = generate(n, random.Random(7))
        a, b = _kelm.instantiate(COMPUTED, coords), _kelm.instantiate(TYPED, typed)
        assert abs(a["row_lower"][0] - b["row_lower"][0]) <= 1e-9 * abs(b["row_lower"][0]), "different distances"
        ratios = []
        for _ in range(runs):
            t_computed, t_typed = cpu(COMPUTED, coords), cpu(TYPED, typed)
            ratios.append(t_computed / t_typed)
        med = statistics.median(ratios)
        print(f"{n}x{n}: computed / typed-in build time = {med:.2f} "
              f"(spread {min(ratios):.2f}..{max(ratios):.2f}, {runs} runs)")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [300, 1000])
