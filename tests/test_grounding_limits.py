"""Grounding that ends: the work limit, the deadline, the cancel token and
Ctrl-C stop any model promptly with a located error; sizes are checked before
anything is allocated; unlabelled rows keep unique names. The huge cases run
in a child with CPU-time and memory limits, so a regression fails instead of
taking the machine."""

import json
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tavro import _kelm, solver
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler


def run_limited(code, cpu_seconds=120, memory_mb=3000, timeout=300):
    """Runs `code` in a child under RLIMIT_CPU and RLIMIT_AS; returns the process."""
    prelude = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_CPU, ({cpu_seconds}, {cpu_seconds}))
        resource.setrlimit(resource.RLIMIT_AS, ({memory_mb} << 20, {memory_mb} << 20))
    """)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


def doubling_dexprs(n):
    lines = ["dvar float x;", "dexpr float d0 = x;"]
    lines += ["dexpr float d%d = d%d + d%d;" % (k, k - 1, k - 1) for k in range(1, n + 1)]
    return "\n".join(lines + ["minimize z: d%d;" % n])


NESTED = "dvar float x[1..2];\nminimize z: " + "".join("sum(i%d in 1..2) " % k for k in range(40)) + "x[i0];"

# (name, model, data, the located start of the message); every model here
# would run for minutes to hours without the limit.
RUNAWAYS = [
    ("data-only sum over 10^5 x 10^5", "int n;\nrange I = 1..n;\nint m = sum(i in I, j in I) 1;\n"
     "dvar float x;\nminimize z: x + m;", "n = 100000;", "model:3:21: "),
    ("filter that keeps nothing", "int n;\nrange I = 1..n;\ndvar float x;\nminimize z: x;\n"
     "subject to { forall(i in I, j in I: i + j < 0) c: x >= i; }", "n = 100000;", "model:5:29: "),
    ("40 nested sums", NESTED, "", "model:2:585: "),
    ("10^12-term constant", "dvar float x;\nminimize z: x + sum(i in 1..1000000, j in 1..1000000) 1;", "",
     "model:2:38: "),
    ("variable sum over 10^10 terms", "range I = 1..100000;\ndvar float x[I];\n"
     "minimize z: sum(i in I, j in I) x[i];", "", "model:3:25: "),
    ("60 doubling dexprs", doubling_dexprs(60), "", "model:63:1: "),
]


def test_runaway_models_stop_with_a_located_error():
    cases = [(model, data) for _name, model, data, _at in RUNAWAYS]
    proc = run_limited(f"""
        import json
        from tavro import solver
        from tavro.semantic_error import SemanticError
        from tavro.tavro_core import KelmCompiler
        out = []
        for model, data in {cases!r}:
            try:
                KelmCompiler().compile_model(model, data)  # checks a first share only
                compiled = "ok"
            except SemanticError as e:
                compiled = str(e)
            try:
                solver.build_problem(model, data, work_limit=2_000_000)
                out.append([compiled, "built"])
            except SemanticError as e:
                out.append([compiled, str(e)])
        print(json.dumps(out))
    """)
    assert proc.returncode == 0, proc.stderr[-2000:]
    for (name, _model, _data, at), (compiled, built) in zip(RUNAWAYS, json.loads(proc.stdout)):
        assert built.startswith(at + "building the model takes more than 2000000 steps"), (name, built)
        assert built.endswith("narrow the index sets or filters, or raise the work limit"), name
        assert compiled == "ok" or "building the model takes more than 200000000 steps" in compiled, name


def test_the_default_limit_ends_a_runaway_model_and_takes_the_largest_benchmark():
    proc = run_limited("""
        import random, sys, time
        sys.path.insert(0, %r)
        from compile import MODEL, generate
        from tavro import solver
        from tavro.semantic_error import SemanticError
        start = time.monotonic()
        try:
            solver.build_problem("dvar float x;\\nminimize z: x + sum(i in 1..1000000, j in 1..1000000) 1;", "")
        except SemanticError as e:
            print(e)
        print(time.monotonic() - start)
        data, _ = generate(2000, random.Random(7))
        print(solver.build_problem(MODEL, data).A.nnz)
    """ % str(__import__("pathlib").Path(__file__).resolve().parents[1] / "benchmarks"), cpu_seconds=200)
    assert proc.returncode == 0, proc.stderr[-2000:]
    message, seconds, nnz = proc.stdout.splitlines()
    assert message.startswith("model:2:38: building the model takes more than 200000000 steps")
    assert int(nnz) == 2 * 2000 * 2000
    print("default limit reached in %.1f s" % float(seconds))


CHECK_CHILD = """
import sys
from tavro import _kelm
unlimited = _kelm.instantiate
_kelm.instantiate = lambda *a, **k: unlimited(*a, **{**k, "work_limit": 10**15})
from tavro.cli import main
print("ready", flush=True)
sys.exit(main(["check", sys.argv[1], sys.argv[2]]))
"""


def test_ctrl_c_stops_tavro_check_within_a_second(tmp_path):
    model, data = tmp_path / "m.mod", tmp_path / "m.dat"
    model.write_text("int n;\nrange I = 1..n;\ndvar float x;\nminimize z: x;\n"
                     "subject to { forall(i in I, j in I: i + j < 0) c: x >= i; }\n")
    data.write_text("n = 100000;\n")
    proc = subprocess.Popen([sys.executable, "-c", CHECK_CHILD, str(model), str(data)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(1.0)  # well into grounding: 10^10 filter tests
        assert proc.poll() is None
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        _out, err = proc.communicate(timeout=30)
        waited = time.monotonic() - sent
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert "tavro: interrupted" in err
    assert waited < 1.0


# Its work is all in reading the data, so compile() does it as well as instantiate().
HUGE = "int m = sum(i in 1..100000, j in 1..100000) 1;\ndvar float x;\nminimize z: x + m;"


def test_deadline_stops_with_timeout_error():
    start = time.monotonic()
    with pytest.raises(TimeoutError, match=r"^model:1:29: building the model passed its deadline after \d+ steps; "
                                           r"stopped in the loop over 'j'$"):
        solver.build_problem(HUGE, "", work_limit=10**15, deadline=time.monotonic() + 0.2)
    assert time.monotonic() - start < 5
    with pytest.raises(TimeoutError):  # a deadline already past stops at once
        KelmCompiler().compile_model("dvar float x;\nminimize z: x;", "", deadline=0.0)


@pytest.mark.parametrize("make, cancel", [
    (_kelm.CancelToken, lambda token: token.cancel()),
    (threading.Event, lambda event: event.set()),  # as the solver's requests take it
], ids=["CancelToken", "threading.Event"])
def test_one_cancel_token_stops_every_worker(make, cancel):
    token = make()
    outcome = []

    def work(entry):
        try:
            entry(HUGE, "", work_limit=10**15, cancel=token)
        except BaseException as e:  # the worker's own record of what stopped it
            outcome.append((type(e), time.monotonic()))

    threads = [threading.Thread(target=work, args=(entry,)) for entry in (_kelm.instantiate, _kelm.compile)]
    for t in threads:
        t.start()
    time.sleep(0.3)
    assert not outcome
    cancelled_at = time.monotonic()
    cancel(token)
    for t in threads:
        t.join(30)
    assert [kind for kind, _ in outcome] == [KeyboardInterrupt, KeyboardInterrupt]
    assert max(at for _, at in outcome) - cancelled_at < 2


@pytest.mark.parametrize("keywords, error, message", [
    ({"work_limit": 0}, ValueError, "work_limit must be a positive int, not 0"),
    ({"work_limit": True}, TypeError, "Argument 'work_limit' has incorrect type (expected int, got bool)"),
    ({"work_limit": 1.5}, TypeError, "Argument 'work_limit' has incorrect type (expected int, got float)"),
    ({"deadline": "soon"}, TypeError, "Argument 'deadline' has incorrect type (expected float, got str)"),
    ({"deadline": float("nan")}, ValueError, "deadline must be a time.monotonic() value, not nan"),
    ({"cancel": True}, TypeError, "Argument 'cancel' has incorrect type (expected CancelToken or threading.Event, "
                                    "got bool)"),
])
def test_bad_limits_are_refused(keywords, error, message):
    for entry in (_kelm.compile, _kelm.instantiate):
        with pytest.raises(error) as exc:
            entry("dvar float x;\nminimize z: x;", "", **keywords)
        assert str(exc.value) == message


def test_huge_inline_range_is_refused_before_allocating():
    # Before the size check this built rows up to the row cap: 14.5 s and 3.4 GB.
    proc = run_limited("""
        from tavro import solver
        from tavro.semantic_error import SemanticError
        try:
            solver.build_problem("dvar float x;\\nminimize z: x;\\n"
                                 "subject to { forall(k in 1..4294967297) c: x >= k; }", "")
        except SemanticError as e:
            print(e)
    """, cpu_seconds=30, memory_mb=1500)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "model:3:26: range 1..4294967297 is too large: more than 100000000 elements\n"


def test_unlabelled_constraints_on_one_line_keep_their_duals():
    model = "dvar float x;\ndvar float y;\nminimize z: x + 2 * y;\nsubject to { x >= 1; y >= 2; _c4: x + y >= 0; }"
    # The engine names them apart (a label may take "_c4"), for every reader of its blocks.
    assert [block[0] for block in _kelm.instantiate(model, "")["rows"]] == ["_c4#2", "_c4#3", "_c4"]
    result = solver.solve_problem(solver.build_problem(model, ""))
    assert result.status == "optimal" and result.objective == 5
    assert result.duals == {"_c4#2": 1.0, "_c4#3": 2.0, "_c4": 0.0}


def test_work_limit_reaches_the_tree_entry():
    tree = KelmCompiler().compile_model("dvar float x[1..10];\nminimize z: sum(i in 1..10) x[i];", "")
    with pytest.raises(SemanticError, match="takes more than 5 steps"):
        _kelm.instantiate_tree(tree, None, work_limit=5)
    assert _kelm.instantiate_tree(tree, None, work_limit=100)["c"].tolist() == [1.0] * 10
