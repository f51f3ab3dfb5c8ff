"""SciPyCSCCodeGenerator's scripts and `tavro solve`: golden scripts, both
outputs agreeing on every library example, hostile names, the ways a script
is run, sidecar data and the command's exit codes.

Regenerate the golden scripts after an intended change with
    TAVRO_REGEN_GOLDEN=1 bash scripts/test.sh -q tests/test_csc_script.py
"""

import ast
import difflib
import json
import os
import pathlib
import runpy
import subprocess
import sys
from importlib.resources import files

import numpy as np
import pytest

from tavro import cli
from tavro import solver
from tavro.lpwriter import SciPyCodeGenerator
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden" / "scripts"
REGENERATE = os.environ.get("TAVRO_REGEN_GOLDEN") == "1"
LIBRARY = files("tavro").joinpath("kelm_models")
EXAMPLES = sorted(p.name for p in LIBRARY.iterdir() if p.joinpath("solution.json").is_file())
GOLDEN_EXAMPLES = ["assignment", "diet", "knapsack", "set_covering", "transportation", "fixed_charge"]


def paths(name):
    folder = LIBRARY.joinpath(name)
    return str(folder.joinpath(name + ".mod")), str(folder.joinpath(name + ".dat"))


def texts(name):
    return tuple(pathlib.Path(p).read_text(encoding="utf-8") for p in paths(name))


def script_for(model, data, **kwargs):
    tree = KelmCompiler().compile_model(model, data)
    return SciPyCodeGenerator(tree, tree["data"]).generate_code(**kwargs)


def run_text(text, name="script"):
    ns = {}
    exec(compile(text, name, "exec"), ns)
    return ns


def cli_json(capsys, *argv):
    assert cli.main(["solve", *argv, "--json"]) == 0
    return json.loads(capsys.readouterr().out)


@pytest.mark.parametrize("name", GOLDEN_EXAMPLES)
def test_golden_script(name):
    text = script_for(*texts(name))
    golden = GOLDEN / (name + ".py")
    if REGENERATE:
        golden.parent.mkdir(parents=True, exist_ok=True)
        golden.write_text(text, encoding="utf-8")
    expected = golden.read_text(encoding="utf-8")
    diff = "".join(difflib.unified_diff(expected.splitlines(True), text.splitlines(True),
                                        "golden/" + name + ".py", "generated"))
    assert not diff, "generated script differs from the golden one:\n" + diff
    ns = run_text(expected, str(golden))
    recorded = json.loads(LIBRARY.joinpath(name, "solution.json").read_text())
    assert ns["status"] == recorded["status"]
    assert ns["objective"] == pytest.approx(recorded["objective"], rel=1e-6)


def assert_same_answer(ns, problem, solution):
    """The script's answer is the package's: the same status and objective,
    and its point is the same or another optimum of the package's problem
    (HiGHS through SciPy and through highspy may pick different optima)."""
    from tavro import _answer

    assert ns["status"] == solution.status
    assert ns["objective"] == pytest.approx(solution.objective, rel=1e-9, abs=1e-12)
    if solution.x is None:
        return
    x = ns["_x"]
    if not np.allclose(x, solution.x, rtol=1e-9, atol=1e-9):
        largest, worst = _answer.check_point(x, problem.A.indptr, problem.A.indices, problem.A.data,
                                             problem.row_lower, problem.row_upper, problem.col_lower,
                                             problem.col_upper)
        assert worst is None and float(problem.c @ x + problem.offset) == pytest.approx(solution.objective, rel=1e-9)
    assert ns["max_violation"] == pytest.approx(solution.max_violation, abs=1e-6)


@pytest.mark.parametrize("name", EXAMPLES)
def test_both_outputs_agree(name, capsys):
    model, data = texts(name)
    out = cli_json(capsys, *paths(name))
    ns = run_text(script_for(model, data))
    recorded = json.loads(LIBRARY.joinpath(name, "solution.json").read_text())
    assert ns["status"] == out["status"] == recorded["status"]
    assert out["objective"] == pytest.approx(recorded["objective"], rel=1e-6)
    problem = solver.build_problem(model, data)
    solution = solver.solve_problem(problem)
    assert out["objective"] == solution.objective and out["max_violation"] == solution.max_violation
    assert_same_answer(ns, problem, solution)
    if solution.row_dual is not None:
        assert np.allclose(ns["_y"], solution.row_dual, rtol=1e-7, atol=1e-9)
        assert np.allclose(ns["_reduced"], solution.col_dual, rtol=1e-7, atol=1e-9)
        assert list(ns["duals"]) == list(solution.duals)


HOSTILE = ['a"""b', "c'''d", "back\\slash", "new\nline", "__import__('os').system('touch PWNED')",
           "# not a comment", "caf\u00e9 \u6771\u4eac \U0001f600", "');__import__('os');('"]


def hostile_model(names=("S", "cost", "x", "y", "z", "i", "c", "d")):
    """A model whose every string is hostile text: a hand-built tree. Its
    names must be identifiers (the tree reader refuses others), so the
    hostile text reaches the script as set elements, in every column name."""
    n = lambda v: {"type": "name", "name": v}  # noqa: E731
    S, cost, x, y, z, i, c, d = names
    decls = [
        {"type": "set", "name": S, "line": 1, "element_type": "string", "value": None},
        {"type": "param", "name": cost, "line": 2, "value_type": "float", "indices": [n(S)], "value": None},
        {"type": "dvar", "name": x, "line": 3, "var_type": "float", "nonnegative": True, "indices": [n(S)],
         "low": None, "high": None},
        {"type": "dvar", "name": y, "line": 4, "var_type": "int", "nonnegative": True, "indices": [],
         "low": None, "high": None},
        {"type": "objective", "name": z, "line": 5, "sense": "minimize",
         "expr": {"type": "binary", "op": "+", "left": {
             "type": "sum", "indices": [{"name": i, "set": n(S)}], "filter": None,
             "body": {"type": "index", "name": x, "indices": [n(i)]}}, "right": n(y)}},
        {"type": "constraints", "name": None, "line": 6, "constraints": [
            {"type": "forall", "line": 7, "indices": [{"name": i, "set": n(S)}], "filter": None, "constraints": [
                {"type": "constraint", "name": c, "line": 7, "op": ">=",
                 "left": {"type": "index", "name": x, "indices": [n(i)]},
                 "right": {"type": "index", "name": cost, "indices": [n(i)]}}]},
            {"type": "constraint", "name": d, "line": 8, "op": ">=", "left": n(y),
             "right": {"type": "number", "value": 2}}]},
    ]
    data = {S: HOSTILE, cost: [float(k) for k in range(len(HOSTILE))]}
    return {"declarations": decls}, data


@pytest.mark.parametrize("form", ["literals", "buffers", "sidecar"])
def test_hostile_names_stay_string_literals(tmp_path, form, monkeypatch):
    from tavro import _csc_script

    if form == "buffers":
        monkeypatch.setattr(_csc_script, "LITERAL_LIMIT", 0)
    tree, data = hostile_model()
    script = tmp_path / "hostile.py"
    gen = SciPyCodeGenerator(tree, data)
    text = gen.generate_code(str(tmp_path / "hostile.npz") if form == "sidecar" else None)
    assert ("_columns = [" in text) == (form == "literals")
    script.write_text(text, encoding="utf-8")
    assert gen.scipy_code_lines == text.split("\n")
    # Every name is in the script only inside string literals: no name, comment or call is made of it.
    parsed = ast.parse(text)
    called = {node.func.id for node in ast.walk(parsed)
              if isinstance(node, ast.Call) and isinstance(node.func, ast.Name)}
    assert "__import__" not in called and "system" not in called
    for node in ast.walk(parsed):
        if isinstance(node, ast.Name):
            assert node.id not in HOSTILE
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                         encoding="utf-8", timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("status: optimal\nobjective (z): 30\n")
    assert not (tmp_path / "PWNED").exists()
    ns = runpy.run_path(str(script), run_name="not_main")
    assert ns["objective"] == pytest.approx(sum(range(len(HOSTILE))) + 2)
    assert list(ns["solution"]["x"]) == HOSTILE
    assert ns["solution"]["y"] == 2.0


@pytest.mark.parametrize("at", range(8))
def test_hostile_names_are_refused(at):
    names = ["S", "cost", "x", "y", "z", "i", "c", "d"]
    names[at] = HOSTILE[at]
    tree, data = hostile_model(tuple(names))
    with pytest.raises(SemanticError, match="must be an identifier"):
        SciPyCodeGenerator(tree, data).generate_code()


def test_script_runs_every_way(tmp_path, capsys):
    text = script_for(*texts("transportation"))
    path = tmp_path / "t.py"
    path.write_text(text, encoding="utf-8")
    problem = solver.build_problem(*texts("transportation"))
    expected = solver.solve_problem(problem)
    run = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout.splitlines()[:2] == ["status: optimal",
                                                                   "objective (TotalShippingCost): 22600"]
    # Under another module name and with exec: no report, the same answer at top level.
    for ns in (runpy.run_path(str(path), run_name="elsewhere"), run_text(text)):
        assert (ns["status"], ns["objective"]) == ("optimal", 22600.0)
        assert_same_answer(ns, problem, expected)
        assert ns["results"].success and ns["results"].max_violation == ns["max_violation"]
    assert capsys.readouterr().out == ""
    # A reader that stops early (| head) ends the report quietly.
    head = subprocess.Popen([sys.executable, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head.stdout.close()
    assert head.wait(timeout=60) == 141 and b"Traceback" not in head.stderr.read()
    head.stderr.close()


def test_generator_collections_are_linprogs_form():
    from scipy.optimize import linprog

    for name in ("diet", "transportation", "production_mix"):
        tree = KelmCompiler().compile_model(*texts(name))
        gen = SciPyCodeGenerator(tree, tree["data"])
        gen.generate_code()
        res = linprog(-gen.c if gen.maximize else gen.c, A_ub=gen.A_ub, b_ub=gen.b_ub,
                      A_eq=gen.A_eq if gen.A_eq.shape[0] else None, b_eq=gen.b_eq if gen.b_eq.size else None,
                      bounds=gen.bounds, method="highs")
        value = (-res.fun if gen.maximize else res.fun) + gen.offset
        recorded = json.loads(LIBRARY.joinpath(name, "solution.json").read_text())["objective"]
        assert value == pytest.approx(recorded, rel=1e-9)
        assert gen.var_names == [b[0] for b in gen.problem["columns"]]
        assert gen.integrality.dtype == np.uint8 and gen.bounds.shape == (len(gen.c), 2)


LARGE = """
int n = ...;
range I = 1..n;
float cost[I][I] = ...;
dvar float+ x[I][I] in 0..1;
minimize Total: sum(i in I, j in I) cost[i][j] * x[i][j] + 5;
subject to { forall(i in I) Row: sum(j in I) x[i][j] == 1; }
"""


def large_data(n):
    rng = np.random.default_rng(3)
    rows = ",\n".join("[" + ", ".join("%.2f" % v for v in rng.uniform(1, 9, n)) + "]" for _ in range(n))
    return "n = %d;\ncost = [%s];\n" % (n, rows)


def test_large_data_travels_as_buffers(tmp_path):
    data = large_data(80)  # 6,400 columns: over the literal limit
    text = script_for(LARGE, data)
    lists = [node for node in ast.walk(ast.parse(text)) if isinstance(node, (ast.List, ast.Tuple))]
    assert max(len(node.elts) for node in lists) < 100
    ns = run_text(text)
    problem = solver.build_problem(LARGE, data)
    expected = solver.solve_problem(problem)
    assert ns["status"] == "optimal"
    assert_same_answer(ns, problem, expected)
    # With a sidecar, the script is small and finds the .npz beside itself from any working directory.
    side = script_for(LARGE, data, sidecar=str(tmp_path / "big.npz"))
    assert len(side) < 30_000 and len(side) < len(text) / 2 and (tmp_path / "big.npz").stat().st_size > 10_000
    (tmp_path / "big.py").write_text(side, encoding="utf-8")
    ns = runpy.run_path(str(tmp_path / "big.py"))
    assert ns["objective"] == pytest.approx(expected.objective, rel=1e-9)


def test_emit_and_sidecar_from_the_command_line(tmp_path, capsys):
    script = tmp_path / "out" / "knap.py"
    script.parent.mkdir()
    assert cli.main(["solve", *paths("knapsack"), "--emit", str(script)]) == 0
    assert "status: optimal" in capsys.readouterr().out
    assert not (tmp_path / "out" / "knap.npz").exists()
    assert run_text(script.read_text(encoding="utf-8"))["objective"] == 42.0
    out = cli_json(capsys, *paths("knapsack"), "--emit", str(script), "--sidecar")
    assert out["objective"] == 42.0 and (tmp_path / "out" / "knap.npz").is_file()
    assert runpy.run_path(str(script))["objective"] == 42.0


def test_text_report_names_binding_rows_and_shadow_prices(capsys):
    assert cli.main(["solve", *paths("transportation")]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[:2] == ["status: optimal", "objective (TotalShippingCost): 22600"]
    assert any(line.split() == ["ship[Lyon,Milan]", "400"] for line in out)
    assert any(line.split() == ["PlantCapacity[Lyon]", "600", "-15"] for line in out)


INFEASIBLE = """
dvar float+ x;
dvar float+ y;
minimize Cost: x + y;
subject to {
  Low: x + y >= 10;
  High: x + y <= 4;
  Other: x <= 100;
}
"""


def test_infeasible_model_reports_conflict(tmp_path, capsys):
    (tmp_path / "m.mod").write_text(INFEASIBLE)
    (tmp_path / "m.dat").write_text("")
    assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / "m.dat")]) == 0
    out = capsys.readouterr().out
    assert out.startswith("status: infeasible\n") and "Low (line 6)" in out and "High (line 7)" in out
    assert "Other" not in out
    result = cli_json(capsys, str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert result["status"] == "infeasible" and result["objective"] is None and result["values"] == {}
    ns = run_text(script_for(INFEASIBLE, ""))
    assert (ns["status"], ns["objective"], ns["solution"]) == ("infeasible", None, {})


@pytest.mark.parametrize("argv, code, err", [
    (["--sidecar"], 2, "--sidecar needs --emit"),
    (["--emit", "s.npz", "--sidecar"], 2, "the arrays would overwrite the script itself"),
    (["--time-limit", "0"], 2, "--time-limit must be a positive"),
    (["--mip-gap", "-1"], 2, "--mip-gap must be"),
    (["--time-limit", "soon"], 2, "invalid float value"),
])
def test_usage_errors_exit_2(argv, code, err, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(["solve", *paths("diet"), *argv])
    assert exc.value.code == code and err in capsys.readouterr().err


def test_unreadable_file_is_a_usage_error(tmp_path, capsys):
    with pytest.raises(SystemExit) as exc:
        cli.main(["solve", str(tmp_path / "none.mod"), paths("diet")[1]])
    assert exc.value.code == 2 and "cannot read" in capsys.readouterr().err


def test_model_error_exits_1_with_located_lines(tmp_path, capsys):
    (tmp_path / "m.mod").write_text("dvar float+ x;\nminimize C: x + y + z;\n")
    (tmp_path / "m.dat").write_text("")
    emitted = tmp_path / "s.py"
    assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / "m.dat"), "--json",
                     "--emit", str(emitted)]) == 1
    captured = capsys.readouterr()
    model_file = str(tmp_path / "m.mod")
    doc = json.loads(captured.out)
    assert doc["error"].startswith(model_file + ":2:") and not emitted.exists()
    # The shape of `tavro check --json`'s errors.
    assert [(e["file"], e["line"]) for e in doc["errors"]] == [(model_file, 2), (model_file, 2)]
    lines = captured.err.splitlines()
    assert len(lines) == 2 and all(line.startswith("tavro: %s:2:" % model_file) for line in lines)
    assert "unknown name 'y'" in lines[0] and "unknown name 'z'" in lines[1]


def test_limit_options_reach_the_solver(capsys):
    out = cli_json(capsys, *paths("tsp"), "--time-limit", "30", "--mip-gap", "0.5")
    assert out["status"] in ("optimal", "limit") and out["objective"] is not None


def test_malformed_tree_is_a_semantic_error():
    gen = SciPyCodeGenerator({"declarations": [{"type": "dvar", "name": "x"}]}, None)
    with pytest.raises(SemanticError, match="'var_type' missing"):
        gen.generate_code()


EDGE_CASES = {
    "no constraints": ("dvar float x in 1..3;\nmaximize z: 2 * x + 1;\n", "", "optimal", 7.0),
    "constant objective, unused variable": (
        "dvar float+ x;\ndvar int y in -2..2;\nminimize z: 4;\nsubject to { c: x >= 1; }\n", "", "optimal", 4.0),
    "empty set": ("{string} S = ...;\ndvar float+ x[S];\nminimize z: sum(s in S) x[s] + 1;\n"
                  "subject to { forall(s in S) c: x[s] >= 1; }\n", "S = {};", "optimal", 1.0),
    "unbounded": ("dvar float x;\nmaximize z: x;\nsubject to { c: x >= 1; }\n", "", "unbounded", None),
    "huge numbers and -0.0": ("float big = ...;\nfloat nz = ...;\ndvar float x in nz..big;\n"
                              "minimize z: x - nz;\nsubject to { c: x >= 1e-300; }\n",
                              "big = 1e308;\nnz = -0.0;", "optimal", 1e-300),
    "infeasible bounds": ("dvar float x in 0..1;\nminimize z: x;\nsubject to { c: x >= 2; }\n", "",
                          "infeasible", None),
}


@pytest.mark.parametrize("model, data, status, objective", EDGE_CASES.values(), ids=list(EDGE_CASES))
def test_edge_cases_agree(model, data, status, objective, tmp_path, capsys):
    (tmp_path / "m.mod").write_text(model)
    (tmp_path / "m.dat").write_text(data)
    out = cli_json(capsys, str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    ns = run_text(script_for(model, data))
    assert ns["status"] == out["status"] == status
    assert ns["objective"] == out["objective"]
    if objective is None:
        assert out["objective"] is None and ns["solution"] == {} == out["values"]
    else:
        assert out["objective"] == pytest.approx(objective, rel=1e-12)
        assert ns["solution"] == out["values"]


@pytest.mark.parametrize("name", ["transportation", "multi_period_inventory", "tsp", "warehouse_location"])
def test_names_one_at_a_time_match_the_lists_and_invert(name):
    problem = solver.build_problem(*texts(name))
    columns = [problem.column_name(j) for j in range(problem.num_columns)]
    rows = [problem.row_name(i) for i in range(problem.num_rows)]
    assert columns == problem.column_names and rows == problem.row_names
    assert [problem.column_index(n) for n in columns] == list(range(problem.num_columns))
    assert [problem.row_index(n) for n in rows] == list(range(problem.num_rows))


def test_script_checks_its_point_like_the_package():
    model, data = texts("machine_scheduling")
    ns = run_text(script_for(model, data.replace("bigM = 30;", "bigM = 100000000;")))
    # Whatever point SciPy's HiGHS returns, the script reports only one that holds every row.
    assert ns["status"] == "optimal" and ns["max_violation"] <= 1e-6 and ns["violation"] is None
    assert all(w.startswith("integer variables are reported unrounded") for w in ns["warnings"])


@pytest.mark.parametrize("form", ["literals", "buffers"])
def test_script_keys_keep_the_index_types_and_names_keep_the_texts(form, monkeypatch):
    from tavro import _csc_script

    if form == "buffers":
        monkeypatch.setattr(_csc_script, "LITERAL_LIMIT", 0)
    model = ("tuple Arc { string a; string b; float w; }\n{Arc} Arcs = ...; {float} F = ...;\n"
             "dvar float+ flow[Arcs][F];\nminimize z: sum(a in Arcs, f in F) f * flow[a][f];\n"
             "subject to { forall(a in Arcs) Need: sum(f in F) flow[a][f] >= a.w; }\n")
    data = 'Arcs = {<"A","B",1.5>, <"B","C",2>}; F = {1, 2.5};'
    ns = run_text(script_for(model, data))
    expected = solver.solve_problem(solver.build_problem(model, data))
    assert ns["solution"] == expected.values == {"flow": {("A", "B", 1.5): {1.0: 1.5, 2.5: 0.0},
                                                          ("B", "C", 2.0): {1.0: 2.0, 2.5: 0.0}}}
    assert ns["duals"] == expected.duals == {"Need": {("A", "B", 1.5): 1.0, ("B", "C", 2.0): 1.0}}
    assert [ns["_column_name"](j) for j in range(4)] == expected.problem.column_names
    assert ns["_row_name"](1) == "Need[<B,C,2.0>]"


def test_a_large_result_is_one_line_of_the_same_json(capsys, monkeypatch):
    from tavro.cli import solve as cli_solve

    indented = cli_json(capsys, *paths("transportation"))
    monkeypatch.setattr(cli_solve, "JSON_INDENTED", 0)
    assert cli.main(["solve", *paths("transportation"), "--json"]) == 0
    out = capsys.readouterr().out
    assert out.count("\n") == 1 and json.loads(out) == indented
    assert indented["max_violation"] == 0.0 and indented["warnings"] == [] and indented["reason"] is None


def test_emit_grounds_once(tmp_path, capsys, monkeypatch):
    from tavro import _kelm

    calls = []
    for name in ("instantiate", "instantiate_tree", "compile"):
        real = getattr(_kelm, name)
        monkeypatch.setattr(_kelm, name, lambda *a, _real=real, _name=name: calls.append(_name) or _real(*a))
    script = tmp_path / "t.py"
    assert cli.main(["solve", *paths("transportation"), "--emit", str(script)]) == 0
    assert calls == ["instantiate"]
    ns = run_text(script.read_text(encoding="utf-8"))
    assert ns["objective"] == 22600.0
    assert script.read_text(encoding="utf-8") == script_for(*texts("transportation"))


def test_write_and_values_csv_from_the_command_line(tmp_path, capsys):
    import csv

    lp, table = tmp_path / "t.lp", tmp_path / "v.csv"
    assert cli.main(["solve", *paths("transportation"), "--write", str(lp), "--values-csv", str(table)]) == 0
    assert capsys.readouterr().out.startswith("status: optimal\n")
    assert "ship(Lyon,Milan)" in lp.read_text()
    names = list(csv.reader((tmp_path / "t.names.csv").open()))
    assert names[0] == ["written", "name"] and ["ship(Lyon,Milan)", "ship[Lyon,Milan]"] in names
    rows = list(csv.DictReader(table.open()))
    problem = solver.build_problem(*texts("transportation"))
    expected = solver.solve_problem(problem)
    assert len(rows) == int((np.abs(expected.x) > 1e-9).sum())
    row = next(r for r in rows if r["name"] == "ship[Lyon,Milan]")
    assert (row["variable"], row["index1"], row["index2"], float(row["value"])) == ("ship", "Lyon", "Milan", 400.0)


def test_an_extra_file_that_cannot_be_written_comes_after_the_answer(tmp_path, capsys):
    (tmp_path / "plain").write_text("a file where a folder is needed")
    missing = tmp_path / "plain" / "folder" / "v.csv"
    assert cli.main(["solve", *paths("diet"), "--values-csv", str(missing), "--json"]) == 1
    captured = capsys.readouterr()
    assert json.loads(captured.out)["status"] == "optimal"
    assert captured.err == "tavro: cannot write %s: Not a directory\n" % missing
    with pytest.raises(SystemExit) as exc:
        cli.main(["solve", *paths("diet"), "--write", str(tmp_path / "m.txt")])
    assert exc.value.code == 2 and "--write needs a file name ending in .mps or .lp" in capsys.readouterr().err



EMIT_UNDER_LIMIT = """
import resource, signal, sys
from tavro import cli
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (5000, 5000))  # the arrays fit, the script does not
sys.exit(cli.main(["solve", *sys.argv[1:]]))
"""
SMALL = ("int n;\nrange I = 1..n;\nfloat b[I];\ndvar float+ x[I];\nminimize c: sum(i in I) x[i];\n"
         "subject to { forall(i in I) x[i] >= b[i]; }\n")


def run_script(path):
    return subprocess.run([sys.executable, str(path)], capture_output=True, text=True, timeout=120)


def test_script_and_sidecar_are_replaced_together(tmp_path):
    """Under a size limit the arrays used to be replaced without the script:
    the old script then solved the new arrays and printed their objective."""
    (tmp_path / "m.mod").write_text(SMALL)
    (tmp_path / "old.dat").write_text("n = 2;\nb = [4, 6];\n")
    (tmp_path / "new.dat").write_text("n = 3;\nb = [1, 2, 103];\n")
    script = tmp_path / "s.py"
    emit = ["--emit", str(script), "--sidecar"]
    assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / "old.dat"), *emit]) == 0
    proc = subprocess.run([sys.executable, "-c", EMIT_UNDER_LIMIT, str(tmp_path / "m.mod"),
                           str(tmp_path / "new.dat"), *emit], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and "File too large" in proc.stderr
    assert "objective (c): 10\n" in run_script(script).stdout
    assert sorted(os.listdir(tmp_path)) == ["m.mod", "new.dat", "old.dat", "s.npz", "s.py"]


def test_a_sidecar_written_for_another_script_is_refused(tmp_path):
    (tmp_path / "m.mod").write_text(SMALL)
    (tmp_path / "a.dat").write_text("n = 2;\nb = [4, 6];\n")
    (tmp_path / "b.dat").write_text("n = 3;\nb = [1, 2, 103];\n")
    for name in "ab":
        (tmp_path / name).mkdir()
        assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / (name + ".dat")), "--emit",
                         str(tmp_path / name / "s.py"), "--sidecar"]) == 0
    assert "objective (c): 106\n" in run_script(tmp_path / "b" / "s.py").stdout
    os.replace(tmp_path / "b" / "s.npz", tmp_path / "a" / "s.npz")
    done = run_script(tmp_path / "a" / "s.py")
    assert done.returncode == 1 and done.stdout == ""
    assert "s.npz does not belong to this script: it holds other arrays" in done.stderr
    os.unlink(tmp_path / "a" / "s.npz")
    with pytest.raises(SystemExit, match="cannot read the arrays of this script"):
        runpy.run_path(str(tmp_path / "a" / "s.py"))


def test_the_report_shows_warnings_and_notes(tmp_path, capsys, monkeypatch):
    (tmp_path / "w.mod").write_text("dvar float+ x; dvar float+ y;\nminimize z: x + y;\n"
                                    "subject to { wide: 1e10 * x + y >= 1; }\n")
    (tmp_path / "w.dat").write_text("")
    assert cli.main(["solve", str(tmp_path / "w.mod"), str(tmp_path / "w.dat")]) == 0
    out = capsys.readouterr().out.splitlines()
    assert "warning: coefficients spanning more than 1e+09 in row wide (1.0e+10): HiGHS's answer may be " \
           "inaccurate" in out
    monkeypatch.setattr(solver, "CONFLICT_MAX_ROWS", 1)
    (tmp_path / "i.mod").write_text(INFEASIBLE)
    assert cli.main(["solve", str(tmp_path / "i.mod"), str(tmp_path / "w.dat")]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "status: infeasible" and out[1].startswith("note: conflict not computed: the model has 3 rows")


def test_the_name_map_is_never_stale(tmp_path, capsys):
    lp, names = tmp_path / "t.lp", tmp_path / "t.names.csv"
    assert cli.main(["solve", *paths("transportation"), "--write", str(lp)]) == 0
    assert names.exists()
    # Names an LP file holds as they are.
    (tmp_path / "m.mod").write_text("float b;\ndvar float+ x;\nminimize c: x;\nsubject to { low: x >= b; }\n")
    (tmp_path / "m.dat").write_text("b = 4;\n")
    capsys.readouterr()
    assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / "m.dat"), "--write", str(lp)]) == 0
    assert capsys.readouterr().err == "wrote %s\n" % lp
    assert not names.exists() and "ship" not in lp.read_text()
    assert sorted(os.listdir(tmp_path)) == ["m.dat", "m.mod", "t.lp"]


WRITE_UNDER_LIMIT = EMIT_UNDER_LIMIT.replace("5000, 5000", "1000, 1000")


@pytest.mark.parametrize("flag, target", [("--write", "t.mps"), ("--values-csv", "v.csv")])
def test_an_extra_file_is_replaced_whole_or_not_at_all(tmp_path, flag, target):
    (tmp_path / "m.mod").write_text(SMALL)
    (tmp_path / "m.dat").write_text("n = 200;\nb = [%s];\n" % ", ".join(str(k) for k in range(200)))
    (tmp_path / target).write_text("old\n")
    proc = subprocess.run([sys.executable, "-c", WRITE_UNDER_LIMIT, str(tmp_path / "m.mod"),
                           str(tmp_path / "m.dat"), flag, str(tmp_path / target)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and "File too large" in proc.stderr
    assert proc.stdout.startswith("status: optimal\n")  # the answer first, whatever the extra file does
    assert (tmp_path / target).read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == sorted(["m.dat", "m.mod", target])



def test_the_script_escapes_names_as_tavro_solve_does(tmp_path, capsys):
    # A data string that would forge report lines, drive the terminal or reorder what it shows.
    evil = "a\nstatus: infeasible\x1b[2J\u202eb\x85"
    (tmp_path / "m.mod").write_text('{string} S;\ndvar float+ x[S];\nminimize c: sum(s in S) x[s];\n'
                                    'subject to { forall(s in S) x[s] >= 1; }\n')
    (tmp_path / "m.dat").write_text('S = {"%s"};\n' % evil.replace("\n", "\\n"))
    script = tmp_path / "s.py"
    assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / "m.dat"), "--emit", str(script)]) == 0
    solve_lines = capsys.readouterr().out.splitlines()
    script_lines = run_script(script).stdout.splitlines()
    name = next(line for line in solve_lines if line.lstrip().startswith("x["))
    assert "\\x0astatus: infeasible\\x1b[2J\\u202eb\\x85" in name and name in script_lines
    assert [line for line in script_lines if line.startswith("status:")] == ["status: optimal"]


def test_the_script_prints_numbers_as_tavro_solve_does(tmp_path, capsys):
    (tmp_path / "m.mod").write_text("dvar float+ x;\ndvar float+ y;\nminimize c: 123456789012 * x + 3 * y;\n"
                                    "subject to { x >= 1; 3 * y >= 1; }\n")
    (tmp_path / "m.dat").write_text("")
    script = tmp_path / "s.py"
    assert cli.main(["solve", str(tmp_path / "m.mod"), str(tmp_path / "m.dat"), "--emit", str(script)]) == 0
    solve_lines = capsys.readouterr().out.splitlines()
    script_lines = run_script(script).stdout.splitlines()
    shown = [line for line in solve_lines if line.startswith("objective") or line.lstrip().startswith(("x ", "y "))]
    assert shown == ["objective (c): 123456789013", "  x         1", "  y         0.3333333333"]
    assert all(line in script_lines for line in shown)
