"""Compile time of a generated transportation model (1,000 sources x 1,000
destinations: a data file of a million numbers) against json.loads of the
same numbers as a JSON document, measured in one run (CPU time, interleaved,
median ratio and its spread); also the peak memory of each in a fresh process.

    python benchmarks/compile.py [N ...]     # default 316 1000 2000
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

from tavro.tavro_core import KelmCompiler

MODEL = """\
int S = ...;
int D = ...;
range Sources = 1..S;
range Dests = 1..D;
float supply[Sources] = ...;
float demand[Dests] = ...;
float cost[Sources][Dests] = ...;
dvar float+ ship[Sources][Dests];
minimize TotalCost: sum(i in Sources, j in Dests) cost[i][j] * ship[i][j];
subject to {
  forall(i in Sources) Supply: sum(j in Dests) ship[i][j] <= supply[i];
  forall(j in Dests) Demand: sum(i in Sources) ship[i][j] >= demand[j];
}
"""


def generate(n, rng):
    cost = [[round(rng.uniform(1, 100), 2) for _ in range(n)] for _ in range(n)]
    supply = [round(rng.uniform(100, 200), 2) for _ in range(n)]
    demand = [round(rng.uniform(50, 100), 2) for _ in range(n)]
    rows = ",\n".join("[" + ", ".join(map(repr, row)) + "]" for row in cost)
    data = (f"S = {n};\nD = {n};\nsupply = [{', '.join(map(repr, supply))}];\n"
            f"demand = [{', '.join(map(repr, demand))}];\ncost = [\n{rows}];\n")
    doc = json.dumps({"S": n, "D": n, "supply": supply, "demand": demand, "cost": cost})
    return data, doc


def peak_mb(text, what):
    """Peak RSS growth (MB, Linux) of one json.loads or compile_model of `text` in a fresh process."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False, encoding="utf-8") as f:
        f.write(text)
    code = (f"import json, sys\n"
            f"def kb(field):\n"
            f"    return int(next(l for l in open('/proc/self/status') if l.startswith(field)).split()[1])\n"
            f"text = open({f.name!r}, encoding='utf-8').read()\n"
            f"from tavro.tavro_core import KelmCompiler\n"
            f"model = {MODEL!r}\n"
            f"open('/proc/self/clear_refs', 'w').write('5')\n"  # resets the peak (VmHWM) to the current RSS
            f"base = kb('VmRSS:')\n"
            f"out = json.loads(text) if {what!r} == 'json' else KelmCompiler().compile_model(model, text)\n"
            f"print((kb('VmHWM:') - base) / 1024)\n")
    try:
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             cwd=tempfile.gettempdir())  # not beside a source tree
    finally:
        os.unlink(f.name)
    return float(run.stdout)


def main(sizes, runs=5):
    for n in sizes:
        data, doc = generate(n, random.Random(7))
        compiled = KelmCompiler().compile_model(MODEL, data)
        want = json.loads(doc)
        assert {k: compiled["data"][k] for k in want} == want, "compiled data differs from the JSON numbers"
        del compiled
        ratios, t_json, t_kelm = [], [], []
        for _ in range(runs):  # interleaved, CPU time: the machine is shared
            gc.collect()
            start = time.process_time()
            json.loads(doc)
            t_json.append(time.process_time() - start)
            gc.collect()
            start = time.process_time()
            KelmCompiler().compile_model(MODEL, data)
            t_kelm.append(time.process_time() - start)
            ratios.append(t_kelm[-1] / t_json[-1])
        m_json, m_kelm = peak_mb(doc, "json"), peak_mb(data, "kelm")
        print(f"{n}x{n}: data file {len(data) / 1e6:.1f} MB, JSON document {len(doc) / 1e6:.1f} MB")
        print(f"  json.loads {statistics.median(t_json) * 1e3:.0f} ms   compile_model "
              f"{statistics.median(t_kelm) * 1e3:.0f} ms (CPU, median of {runs})   ratio "
              f"{statistics.median(ratios):.2f}x [{min(ratios):.2f}-{max(ratios):.2f}]")
        print(f"  peak memory: json.loads +{m_json:.0f} MB, compile_model +{m_kelm:.0f} MB "
              f"({m_kelm / m_json:.2f}x)")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [316, 1000, 2000])
