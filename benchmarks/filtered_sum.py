"""Grounding of a generalized-assignment model written over a table of
options, the way an LLM writes it (filtered sums that pick a set's tuples by
a field equal to an outer index), against the engine of a baseline build
measured in the same run (median of 5, with the spread).

    python benchmarks/filtered_sum.py [--baseline PATH/_kelm.so] [N ...]

N is the number of options (default 8000 16000 32000 64000); every task has
8 candidate agents. --baseline loads another build of the _kelm module (say,
main's; it gets no work limit) and times it too, checking that it gives the
same arrays: the median of 5 when a run takes under --baseline-once seconds
(default 3), else one run; sizes after one that took longer than
--baseline-limit seconds (default 30) are not given to it.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import random
import statistics
import sys
import time
from types import ModuleType
from typing import Any, Callable, List, Optional, Tuple

from tavro import _kelm

AGENTS_PER_TASK = 8
UNLIMITED = 10**15  # work steps: the scan of a baseline needs far more than the default limit

MODEL = """\
tuple Option { string task; int agent; float cost; float load; }
{Option} Options = ...;
{string} Tasks = ...;
int m = ...;
range Agents = 1..m;
float capacity[Agents] = ...;
dvar boolean assign[Options];
minimize TotalCost: sum(o in Options) o.cost * assign[o];
subject to {
  forall(t in Tasks) Once: sum(o in Options: o.task == t) assign[o] == 1;
  forall(a in Agents) Capacity: sum(o in Options: o.agent == a) o.load * assign[o] <= capacity[a];
  forall(o in Options) Peers: sum(q in Options: q.task == o.task && q.agent != o.agent) assign[q]
                              + assign[o] <= 1;
}
"""

Timing = Tuple[float, float, float]  # median, min, max


def generate(options: int, rng: random.Random) -> str:
    """A data file of `options` options over options / 8 tasks and as many
    agents, listed in a shuffled order."""
    tasks = options // AGENTS_PER_TASK
    agents = max(AGENTS_PER_TASK, tasks // 4)
    rows: List[str] = []
    for t in range(tasks):
        for a in rng.sample(range(1, agents + 1), AGENTS_PER_TASK):
            rows.append(f'<"T{t}", {a}, {rng.randint(1, 99)}, {rng.randint(1, 20)}>')
    rng.shuffle(rows)
    capacity = ", ".join(str(rng.randint(40, 80)) for _ in range(agents))
    names = ", ".join(f'"T{t}"' for t in range(tasks))
    return (f"Options = {{{', '.join(rows)}}};\nTasks = {{{names}}};\nm = {agents};\n"
            f"capacity = [{capacity}];\n")


def median_of(fn: Callable[[], Any], runs: int = 5) -> Timing:
    times: List[float] = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


def load(path: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location("_kelm", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(argv: List[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("sizes", nargs="*", type=int, default=[8000, 16000, 32000, 64000])
    ap.add_argument("--baseline", help="another build of the _kelm extension module")
    ap.add_argument("--baseline-once", type=float, default=3.0)
    ap.add_argument("--baseline-limit", type=float, default=30.0)
    args = ap.parse_args(argv)
    base: Optional[ModuleType] = load(args.baseline) if args.baseline else None
    base_ok = base is not None
    for n in args.sizes:
        data = generate(n, random.Random(11))
        problem = _kelm.instantiate(MODEL, data)
        rows = len(problem["row_lower"])
        print(f"{n:,} options: {rows:,} rows, {len(problem['values']):,} nonzeros")
        after = median_of(lambda: _kelm.instantiate(MODEL, data))
        line = f"  grounding {after[0]:.3f} s [{after[1]:.3f}-{after[2]:.3f}]"
        if base is not None and base_ok:
            start = time.perf_counter()
            reference = base.instantiate(MODEL, data, work_limit=UNLIMITED)
            once = time.perf_counter() - start
            for key in ("indptr", "indices", "values", "row_lower", "row_upper"):
                assert list(reference[key]) == list(problem[key]), key
            base_ok = once <= args.baseline_limit  # the scan is quadratic: larger sizes take longer still
            if once > args.baseline_once:
                line += f"   baseline {once:.2f} s (one run)   ratio {once / after[0]:.0f}x"
            else:
                before = median_of(lambda: base.instantiate(MODEL, data, work_limit=UNLIMITED))
                line += (f"   baseline {before[0]:.3f} s [{before[1]:.3f}-{before[2]:.3f}]   "
                         f"ratio {before[0] / after[0]:.0f}x (spread {before[1] / after[2]:.0f}-"
                         f"{before[2] / after[1]:.0f}x)")
        elif base is not None:
            line += "   baseline not run (past --baseline-limit at a smaller size)"
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
