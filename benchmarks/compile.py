"""Compile time of a generated transportation model (1,000 sources x 1,000
destinations: a data file of a million numbers) against json.loads of the
same numbers as a JSON document, measured in one run; also peak memory."""

import json
import random
import resource
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


def best_of(fn, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    data, doc = generate(1000, random.Random(7))
    base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    compiled = KelmCompiler().compile_model(MODEL, data)
    assert len(compiled["data"]["cost"]) == 1000
    del compiled
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t_json = best_of(lambda: json.loads(doc))
    t_kelm = best_of(lambda: KelmCompiler().compile_model(MODEL, data))
    print(f"data file: {len(data) / 1e6:.1f} MB, JSON document: {len(doc) / 1e6:.1f} MB")
    print(f"json.loads: {t_json * 1000:.0f} ms   compile_model: {t_kelm * 1000:.0f} ms   "
          f"ratio: {t_kelm / t_json:.2f}x")
    print(f"peak RSS: {peak / 1024:.0f} MB (before the first compile: {base_rss / 1024:.0f} MB)")


if __name__ == "__main__":
    main()
