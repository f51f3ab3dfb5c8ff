"""Import time of tavro.modelwright (python -X importtime, cumulative, median
of several fresh interpreters), against importing json in the same runs."""

import statistics
import subprocess
import sys
import tempfile


def cumulative_us(stderr, module):
    for line in stderr.splitlines():
        parts = [p.strip() for p in line.split("|")]
        if len(parts) == 3 and parts[2] == module:
            return int(parts[1])
    raise RuntimeError(f"{module} not in -X importtime output")


def main(runs=7):
    ours, base = [], []
    with tempfile.TemporaryDirectory() as cwd:  # never the source tree
        for _ in range(runs):
            out = subprocess.run([sys.executable, "-X", "importtime", "-c", "import json, tavro.modelwright"],
                                 cwd=cwd, capture_output=True, text=True, check=True)
            ours.append(cumulative_us(out.stderr, "tavro.modelwright"))
            base.append(cumulative_us(out.stderr, "json"))
    m, j = statistics.median(ours), statistics.median(base)
    print(f"tavro.modelwright: median {m / 1e3:.2f} ms cumulative over {runs} runs "
          f"(json: {j / 1e3:.2f} ms, ratio {m / j:.1f}x)")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
