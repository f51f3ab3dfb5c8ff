"""Import time of tavro.modelwright (python -X importtime, cumulative, over
several fresh interpreters), against importing json in the same runs.

The second line loads, before the module, what loading it used to import
eagerly and now defers (importlib.metadata for tavro.__version__,
urllib.request for the first price-list fetch, inspect until first used), and
counts their time with the module's: the cost that the deferral saves. Runs
of the two kinds alternate, so both see the same machine load.

    python benchmarks/import_time.py [RUNS]
"""

import statistics
import subprocess
import sys
import tempfile

DEFERRED = ["importlib.metadata", "urllib.request", "inspect"]


def cumulative_us(stderr, modules):
    found = {}
    for line in stderr.splitlines():
        parts = [p.strip() for p in line.split("|")]
        if len(parts) == 3 and parts[2] in modules and parts[2] not in found:
            found[parts[2]] = int(parts[1])
    missing = set(modules) - set(found)
    if missing:
        raise RuntimeError(f"{sorted(missing)} not in -X importtime output")
    return sum(found.values())


def run(cwd, statement):
    return subprocess.run([sys.executable, "-X", "importtime", "-c", statement],
                          cwd=cwd, capture_output=True, text=True, check=True).stderr


def spread(values):
    return (f"median {statistics.median(values) / 1e3:6.2f} ms, "
            f"min {min(values) / 1e3:6.2f}, max {max(values) / 1e3:6.2f}")


def main(runs=9):
    now, eager, base = [], [], []
    with tempfile.TemporaryDirectory() as cwd:  # never the source tree
        for _ in range(runs):
            out = run(cwd, "import json, tavro.modelwright")
            now.append(cumulative_us(out, ["tavro.modelwright"]))
            base.append(cumulative_us(out, ["json"]))
            out = run(cwd, "import json, " + ", ".join(DEFERRED) + ", tavro.modelwright")
            eager.append(cumulative_us(out, DEFERRED + ["tavro.modelwright"]))
    j = statistics.median(base)
    print(f"{runs} runs; json: {spread(base)}")
    print(f"tavro.modelwright:                  {spread(now)} "
          f"(ratio to json {statistics.median(now) / j:.1f}x)")
    print(f"with the deferred imports included: {spread(eager)} "
          f"(ratio to json {statistics.median(eager) / j:.1f}x)")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
