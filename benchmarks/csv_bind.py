"""Binding a CSV table through build_problem: an N x N cost matrix in long
format (N^2 rows of warehouse, store, cost; 3 N^2 cells with the keys, 10^6
numbers at the default N = 1000), bound with csv(...) into `float
cost[W][S]` by tavro.solver.build_problem, against json.loads of the same
rows, json.loads of the N^2 numbers alone (a flat list) and pandas.read_csv
of the same file, in one run, median of 5 with the spread.

    python benchmarks/csv_bind.py [N]

The model grounds one column of the matrix, so the time is the binding's:
reading the file, converting 10^6 cells, keying them into the array and
checking that every pair is given once.
"""

import json
import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from solve_build import median_of  # noqa: E402

from tavro import solver  # noqa: E402

MODEL = """\
{string} W = ...;
{string} S = ...;
float cost[W][S] = ...;
dvar float+ x[W];
minimize z: sum(w in W) cost[w]["S1"] * x[w];
subject to { sum(w in W) x[w] >= 1; }
"""
DATA = """\
W = csv("warehouses.csv", "warehouse");
S = csv("stores.csv", "store");
cost = csv("cost.csv", "warehouse", "store" -> "cost");
"""


def write_tables(folder, n, rng):
    rows = [("W%d" % i, "S%d" % j, round(rng.uniform(1, 100), 3)) for i in range(1, n + 1) for j in range(1, n + 1)]
    with open(os.path.join(folder, "cost.csv"), "w", encoding="utf-8") as f:
        f.write("warehouse,store,cost\n")
        f.writelines("%s,%s,%r\n" % row for row in rows)
    for name, column, prefix in (("warehouses.csv", "warehouse", "W"), ("stores.csv", "store", "S")):
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(column + "\n" + "".join("%s%d\n" % (prefix, k) for k in range(1, n + 1)))
    return json.dumps([list(row) for row in rows]), json.dumps([row[2] for row in rows])


def line(name, t, lo, hi):
    return "%-16s %7.0f ms [%.0f-%.0f]" % (name, t * 1e3, lo * 1e3, hi * 1e3)


def main(n):
    with tempfile.TemporaryDirectory(prefix="tavro-csv-") as folder:
        figures(n, folder)


def figures(n, folder):
    doc, numbers = write_tables(folder, n, random.Random(7))
    size = os.path.getsize(os.path.join(folder, "cost.csv"))
    problem = solver.build_problem(MODEL, DATA, data_dir=folder)
    assert problem.num_columns == n, problem
    print("%dx%d cost matrix in long format: %d rows, %d cells with the keys, %.1f MB" % (n, n, n * n, 3 * n * n,
                                                                                         size / 1e6))
    t_bind, b_lo, b_hi = median_of(lambda: solver.build_problem(MODEL, DATA, data_dir=folder))
    print(line("build_problem", t_bind, b_lo, b_hi))
    for name, text in (("json.loads rows", doc), ("json.loads nums", numbers)):
        t_json, j_lo, j_hi = median_of(lambda: json.loads(text))
        print(line(name, t_json, j_lo, j_hi) + "   bind/json %.2fx (spread %.2f-%.2f; goal <= 3)"
              % (t_bind / t_json, b_lo / j_hi, b_hi / j_lo))
    try:
        import pandas
    except ImportError:
        print("pandas.read_csv  (pandas is not installed)")
        return
    path = os.path.join(folder, "cost.csv")
    t_pd, p_lo, p_hi = median_of(lambda: pandas.read_csv(path))
    print(line("pandas.read_csv", t_pd, p_lo, p_hi) + "   bind/pandas %.2fx (spread %.2f-%.2f; goal <= 2)"
          % (t_bind / t_pd, b_lo / p_hi, b_hi / p_lo))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
