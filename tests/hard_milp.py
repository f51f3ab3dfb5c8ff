"""A multi-dimensional knapsack that HiGHS does not finish in minutes (a
solve that must be stopped), for the interrupt tests and the Ctrl-C
benchmark. Run as a program it solves MODEL.mod DATA.dat as the
library would and reports how the solve ended:

    python hard_milp.py MODEL.mod DATA.dat
"""

import json
import random
import sys

MODEL = """\
int n = ...;
range I = 1..n;
range K = 1..5;
float w[K][I] = ...;
float v[I] = ...;
float cap[K] = ...;
dvar boolean take[I];
maximize Value: sum(i in I) v[i] * take[i];
subject to {
  forall(k in K) Cap: sum(i in I) w[k][i] * take[i] <= cap[k];
}
"""

def data(n=120, seed=1):
    rng = random.Random(seed)
    w = [[rng.randint(20, 1000) for _ in range(n)] for _ in range(5)]
    v = [sum(w[k][i] for k in range(5)) // 5 + rng.randint(0, 50) for i in range(n)]
    cap = [sum(row) // 2 for row in w]
    rows = ",\n".join("[" + ", ".join(map(str, r)) + "]" for r in w)
    return "n = %d;\nw = [%s];\nv = [%s];\ncap = [%s];\n" % (n, rows, ", ".join(map(str, v)), ", ".join(map(str, cap)))


def main(model_file, data_file):
    from tavro import solver

    with open(model_file, encoding="utf-8") as f:
        model = f.read()
    with open(data_file, encoding="utf-8") as f:
        problem = solver.build_problem(model, f.read())
    print("solving", flush=True)
    try:
        solver.solve_problem(problem)
    except KeyboardInterrupt as e:
        s = e.solution
        print(json.dumps({"status": s.status, "reason": s.reason, "objective": s.objective,
                          "has_point": s.x is not None}), flush=True)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
