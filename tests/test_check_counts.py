"""``tavro check`` grounds a pair once, in native arrays: a large computed
array is counted without a copy of it in Python objects, and one too large
for the engine is refused with a located message that gives the limit."""

import resource
import subprocess
import sys

import pytest

from tavro import _check

BIG = ("int n;\nrange I = 1..n;\nfloat d[i in I][j in I] = i * j;\ndvar float+ x[I];\n"
       "minimize cost: sum(i in I) d[i][i] * x[i];\nsubject to { forall(i in I) low: x[i] >= 1; }\n")
TOO_BIG = BIG.replace("float d[i in I][j in I] = i * j;", "float d[i in I][j in I][k in I] = i * j + k;") \
             .replace("d[i][i]", "d[i][i][i]")


def test_counts_from_one_grounding():
    result = _check.check_texts(BIG, "n = 3;\n", "m.mod", "m.dat")
    assert result["ok"] and result["counts"] == {"sets": 1, "parameters": 2, "variables": 3, "constraints": 3,
                                                 "instantiated": True}


def _check_cli(tmp_path, model, n, memory):
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text("n = %d;\n" % n)

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))

    return subprocess.run([sys.executable, "-m", "tavro", "check", "m.mod", "m.dat"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300, preexec_fn=limit)


@pytest.mark.parametrize("model, n, code, says", [
    # 16 million numbers fit the engine's arrays (128 MB); as nested Python lists they would not.
    (BIG, 4000, 0, "ok: 1 set, 2 parameters, 4000 variables, 4000 constraints (after instantiation)"),
    (TOO_BIG, 5000, 1, "m.mod:3:7: 'd' is too large: more than 100000000 elements over its index sets"),
])
def test_check_of_a_large_pair_in_bounded_memory(tmp_path, model, n, code, says):
    done = _check_cli(tmp_path, model, n, 800 * 2**20)
    assert done.returncode == code, done.stderr
    assert says in done.stdout and "Traceback" not in done.stderr + done.stdout
