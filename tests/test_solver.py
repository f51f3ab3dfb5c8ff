"""tavro.solver: build_problem and solve_problem over the instantiation engine."""

import json
import math
from pathlib import Path

import numpy as np
import pytest

from tavro import solver
from tavro.semantic_error import SemanticError

REPO = Path(__file__).resolve().parent.parent
LIBRARY = REPO / "src" / "tavro" / "kelm_models"
GOLD = REPO / "tests" / "data" / "benchmark_gold"


def solve(model, data=""):
    return solver.solve_problem(solver.build_problem(model, data))


@pytest.mark.parametrize("name", sorted(p.name for p in LIBRARY.iterdir() if p.is_dir()))
def test_library_example_reaches_its_recorded_optimum(name):
    folder = LIBRARY / name
    expected = json.loads((folder / "solution.json").read_text())
    result = solver.solve_files(folder / f"{name}.mod", folder / f"{name}.dat")
    assert result.status == expected["status"]
    assert result.objective == pytest.approx(expected["objective"], rel=1e-6)


def benchmark_cases():
    return list(_benchmark_cases())


def _benchmark_cases():
    for line in (REPO / "src" / "tavro" / "data" / "benchmark.jsonl").read_text().splitlines():
        item = json.loads(line)
        yield pytest.param(item["id"], item["answer"], id=item["id"])


@pytest.mark.parametrize("ident, answer", benchmark_cases())
def test_benchmark_gold_pair_answers_its_question(ident, answer):
    result = solver.solve_files(GOLD / f"{ident}.mod", GOLD / f"{ident}.dat")
    if answer == "infeasible":
        assert result.status == "infeasible" and result.objective is None
    else:
        assert result.status == "optimal"
        assert result.objective == pytest.approx(answer, rel=1e-6)


def test_problem_arrays_names_and_row_text():
    p = solver.build_problem(
        "{string} S = ...; float cap[S] = ...; dvar float+ x[S][1..2]; dvar int y;\n"
        "maximize z: sum(s in S) x[s][1] + y + 3;\n"
        "subject to { forall(s in S) Cap: 2 * x[s][1] - x[s][2] <= cap[s]; 1 <= y <= 4; }\n",
        'S = {"a b", "c"}; cap = [5, 6.5];')
    assert (p.sense, p.offset, p.maximize, p.is_mip) == ("maximize", 3.0, True, True)
    assert p.column_names == ["x[a b,1]", "x[a b,2]", "x[c,1]", "x[c,2]", "y"]
    assert p.row_names == ["Cap[a b]", "Cap[c]", "_c3"]
    assert p.A.format == "csc" and p.A.shape == (3, 5)
    assert p.A.toarray().tolist() == [[2, -1, 0, 0, 0], [0, 0, 2, -1, 0], [0, 0, 0, 0, 1]]
    assert p.integrality.tolist() == [0, 0, 0, 0, 1]
    assert p.row_text(1) == "2 x[c,1] - x[c,2] <= 6.5"
    assert p.row_text(2) == "1 <= y <= 4"
    assert p.row_info(0) == {"name": "Cap[a b]", "label": "Cap", "index": ["a b"], "line": 3,
                             "text": "2 x[a b,1] - x[a b,2] <= 5"}


def test_linear_program_duals_in_the_models_sense():
    result = solve("dvar float+ x; dvar float+ y;\nmaximize z: 3*x + 2*y;\n"
                   "subject to { a: x + y <= 4; b: x + 3*y <= 9; c: x <= 3; }\n")
    assert result.status == "optimal" and result.objective == pytest.approx(11)
    assert result.values == {"x": 3.0, "y": 1.0}
    assert result.duals == pytest.approx({"a": 2.0, "b": 0.0, "c": 1.0})
    assert result.reduced_costs == pytest.approx({"x": 0.0, "y": 0.0})


def test_indexed_values_and_duals_are_nested_by_index_values_and_by_text_in_json():
    result = solve("range T = 1..2; {string} P = ...; dvar float+ make[P][T];\n"
                   "minimize z: sum(p in P, t in T) make[p][t];\n"
                   "subject to { forall(p in P, t in T) Need: make[p][t] >= t; }\n", 'P = {"A", "B"};')
    assert result.values == {"make": {"A": {1: 1.0, 2: 2.0}, "B": {1: 1.0, 2: 2.0}}}
    assert result.duals == {"Need": {"A": {1: 1.0, 2: 1.0}, "B": {1: 1.0, 2: 1.0}}}
    assert json.loads(json.dumps(result.to_dict()))["values"] == {"make": {"A": {"1": 1.0, "2": 2.0},
                                                                           "B": {"1": 1.0, "2": 2.0}}}


KEYED = ("tuple Arc { string a; string b; float w; }\n{Arc} Arcs = ...; {string} S = ...; {float} F = ...;\n"
         "range T = 1..2; dvar float+ flow[Arcs][T]; dvar float+ y[S][F];\n"
         "minimize z: sum(a in Arcs, t in T) flow[a][t] + sum(s in S, f in F) y[s][f];\n"
         "subject to { forall(a in Arcs, t in T) Cap: flow[a][t] <= a.w;\n"
         "  forall(s in S) forall(f in F: f > 1) Need: y[s][f] >= 1;\n"
         "  forall(k in 1..2) Low: y[\"x\"][2.5] >= k - 2; }\n",
         'Arcs = {<"A","B",1.5>, <"B","C",2>}; S = {"x", "1"}; F = {1, 2.5};')


def test_keys_keep_the_index_sets_own_types():
    result = solve(*KEYED)
    assert result.values == {"flow": {("A", "B", 1.5): {1: 0.0, 2: 0.0}, ("B", "C", 2.0): {1: 0.0, 2: 0.0}},
                             "y": {"x": {1.0: 0.0, 2.5: 1.0}, "1": {1.0: 0.0, 2.5: 1.0}}}
    assert result.duals == {"Cap": {("A", "B", 1.5): {1: 0.0, 2: 0.0}, ("B", "C", 2.0): {1: 0.0, 2: 0.0}},
                            "Need": {"x": {2.5: 1.0}, "1": {2.5: 1.0}}, "Low": {1: 0.0, 2: 0.0}}
    assert [type(k) for k in result.values["y"]["x"]] == [float, float]
    text = result.to_dict()
    assert text["values"]["flow"] == {"<A,B,1.5>": {"1": 0.0, "2": 0.0}, "<B,C,2.0>": {"1": 0.0, "2": 0.0}}
    assert text["duals"]["Need"] == {"x": {"2.5": 1.0}, "1": {"2.5": 1.0}}


def test_infeasible_model_names_an_irreducible_conflict():
    result = solve("dvar float+ x; dvar float+ y;\nminimize z: x + y;\n"
                   "subject to { big: x + y >= 10; capx: x <= 3; capy: y <= 4; free: x - y <= 100; }\n")
    assert result.status == "infeasible" and result.objective is None and result.values == {}
    assert sorted(r["name"] for r in result.conflict) == ["big", "capx", "capy"]
    assert {r["text"] for r in result.conflict} == {"x + y >= 10", "x <= 3", "y <= 4"}


def test_integer_infeasibility_is_found_too():
    result = solve("dvar int x; minimize z: x;\nsubject to { lo: 2 * x >= 1; hi: 2 * x <= 1.5; }\n")
    assert result.status == "infeasible"
    assert sorted(r["name"] for r in result.conflict) == ["hi", "lo"]


def test_unbounded_model_names_the_runaway_variables():
    result = solve("dvar float+ x; dvar float y; dvar float+ w;\nmaximize z: x - y;\n"
                   "subject to { link: x >= y; cap: w <= 5; }\n")
    assert result.status == "unbounded" and result.objective is None
    assert {(r["name"], r["direction"]) for r in result.runaway} == {("x", "up"), ("y", "down")}


@pytest.mark.parametrize("model, data, objective, values", [
    # no constraints at all
    ("dvar float x in 1..2; minimize z: x;\n", "", 1.0, {"x": 1.0}),
    # no variable in the objective; a variable that appears nowhere
    ("dvar float+ x; dvar float+ unused;\nminimize z: 5;\nsubject to { c: x >= 1; }\n", "", 5.0,
     {"x": None, "unused": None}),
    # an empty set: zero columns and zero rows
    ("{string} S = ...; dvar float+ x[S];\nminimize z: sum(s in S) x[s] + 2;\n"
     "subject to { forall(s in S) c: x[s] >= 1; }\n", "S = {};", 2.0, {"x": {}}),
    # huge but finite bounds, -0.0 and 1e308 in the data
    ("float big = ...; float nz = ...; dvar float x in -1e30..1e30;\nminimize z: x + nz;\n"
     "subject to { c: x >= nz; d: x <= big; }\n", "big = 1e308; nz = -0.0;", 0.0, {"x": 0.0}),
])
def test_degenerate_models_get_a_clear_answer(model, data, objective, values):
    result = solve(model, data)
    assert result.status == "optimal"
    assert result.objective == objective and math.copysign(1, result.objective) == 1
    for name, value in values.items():
        assert name in result.values
        if value is not None:
            assert result.values[name] == value


def test_time_limit_reports_limit_or_an_answer():
    result = solver.solve_problem(solver.build_problem(
        "range I = 1..30; dvar boolean b[I];\nmaximize z: sum(i in I) i * b[i];\n"
        "subject to { c: sum(i in I) (31 - i) * b[i] <= 40; }\n", ""), time_limit=0.0)
    assert result.status in ("limit", "optimal")


@pytest.mark.parametrize("model, data, message", [
    ("dvar float x in 5..1; minimize z: x;\n", "",
     "model:1:17: empty domain: 'x' has lower bound 5 above its upper bound 1"),
    ("range I = 1..2; float a[I] = ...; dvar float x[I];\nminimize z: sum(i in I) x[i] / a[i];\n", "a = [2, 0];",
     "model:2:30: division by zero: a[2] is 0"),
    ("dvar float x; minimize z: x\n", "", None),
])
def test_model_faults_raise_semantic_error(model, data, message):
    with pytest.raises(SemanticError) as info:
        solver.build_problem(model, data)
    if message:
        assert str(info.value) == message


def test_non_str_arguments_are_semantic_errors():
    with pytest.raises(SemanticError, match="build_problem: model_code must be a str, got bytes"):
        solver.build_problem(b"x", "")


def test_arrays_are_views_of_the_native_buffers_without_python_objects_per_number():
    p = solver.build_problem("range I = 1..50; dvar float+ x[I][I];\nminimize z: sum(i in I, j in I) x[i][j];\n"
                             "subject to { forall(i in I) c: sum(j in I) x[i][j] >= i; }\n", "")
    for array in (p.c, p.col_lower, p.col_upper, p.row_lower, p.row_upper):
        assert isinstance(array, np.ndarray) and array.dtype == np.float64
    assert p.A.nnz == 2500 and p.integrality.dtype == np.uint8


def test_long_written_out_chains_are_grounded_without_deep_recursion():
    # 2,400 written-out terms: the engine walks operator chains in a loop.
    terms = " + ".join(f"{k % 7 + 1}*x[{k % 3 + 1}]" for k in range(2400))
    data = " + ".join("1" for _ in range(2400))
    p = solver.build_problem(f"range I = 1..3; int n = {data}; dvar float+ x[I] in 0..1;\n"
                             f"maximize z: {terms};\nsubject to {{ c: {terms} <= n; }}\n", "")
    assert p.num_rows == 1 and p.A.nnz == 3
    assert p.row_upper[0] == 2400
    assert p.A.toarray()[0].tolist() == p.c.tolist()


def test_name_lookups_with_commas_in_index_texts_and_repeated_row_names():
    p = solver.build_problem(
        '{string} S = ...; dvar float+ x[S][S]; dvar float+ y;\nminimize z: sum(s in S, t in S) x[s][t] + y;\n'
        'subject to { forall(s in S) Cap: sum(t in S) x[s][t] <= 1; y >= 1; y <= 5; }\n', 'S = {"a,b", "a", "b,"};')
    assert p.column_name(1) == "x[a,b,a]" and p.column_index("x[a,b,a]") == 1
    assert p.column_index("x[b,,a,b]") == 6 and p.column_index("y") == 9
    # Two unlabelled constraints on one line get distinct names.
    assert p.row_names[-2:] == ["_c3", "_c3#2"]
    assert p.row_index("_c3#2") == p.num_rows - 1 and p.row_index("Cap[a,b]") == 0
    for bad in ("x[a]", "x", "y[1]", "nothing", "Cap", "Cap[c]"):
        with pytest.raises(KeyError):
            p.column_index(bad) if not bad.startswith("Cap") else p.row_index(bad)
    with pytest.raises(IndexError):
        p.column_name(10)
    result = solver.solve_problem(p)
    assert result.duals["_c3"] == pytest.approx(1.0) and result.duals["_c3#2"] == 0.0


def golden_cases():
    return list(_golden_cases())


def _golden_cases():
    recorded = json.loads((REPO / "tests" / "data" / "solve_golden.json").read_text())
    for name, entry in recorded.items():
        folder, stem = (GOLD, name[5:]) if name.startswith("gold/") else (LIBRARY / name, name)
        yield pytest.param(folder / f"{stem}.mod", entry, id=name)


@pytest.mark.parametrize("model_file, recorded", golden_cases())
def test_status_objective_and_duals_match_the_scipy_path(model_file, recorded):
    # solve_golden.json was recorded through SciPy's milp and linprog before the solve moved to highspy.
    problem = solver.build_problem(model_file.read_text(), model_file.with_suffix(".dat").read_text())
    result = solver.solve_problem(problem)
    assert result.status == recorded["status"]
    if recorded["objective"] is None:
        assert result.objective is None and result.x is None
        return
    assert result.objective == pytest.approx(recorded["objective"], rel=1e-9, abs=1e-12)
    assert result.max_violation <= 1e-6
    if "duals" in recorded:
        assert result.row_dual.tolist() == pytest.approx([recorded["duals"][n] for n in problem.row_names],
                                                         rel=1e-7, abs=1e-9)
        assert result.col_dual.tolist() == pytest.approx(
            [recorded["reduced_costs"][n] for n in problem.column_names], rel=1e-7, abs=1e-9)


def test_big_m_rounding_is_refused_when_it_breaks_a_row():
    folder = LIBRARY / "machine_scheduling"
    data = (folder / "machine_scheduling.dat").read_text().replace("bigM = 30;", "bigM = 100000000;")
    problem = solver.build_problem((folder / "machine_scheduling.mod").read_text(), data)
    result = solver.solve_problem(problem)
    # Rounding HiGHS's near-integers moves big-M rows by several hours: the
    # unrounded point, which holds every row, is reported with a warning.
    assert result.status == "optimal" and result.max_violation <= 1e-6
    assert any(w.startswith("integer variables are reported unrounded: rounding them would violate constraint ")
               for w in result.warnings)
    assert result.to_dict()["max_violation"] == result.max_violation
    plain = solver.solve_files(folder / "machine_scheduling.mod", folder / "machine_scheduling.dat")
    assert not plain.warnings and set(plain.x[problem.integrality == 1].tolist()) <= {0.0, 1.0}


@pytest.mark.parametrize("x, expected", [
    # rows: x0 + x1 >= 2 ; 1e8 y - x0 <= 1e8 (big-M size) ; bounds 0 <= x <= 10
    ([1.0, 1.0, 0.0], (0.0, None)),
    ([1.0, 1.0 - 2e-6, 0.0], (2e-6, ("row", 0, 2e-6))),  # beyond 1e-6 in the model's units
    ([1.0, 1.0 - 5e-7, 0.0], (5e-7, None)),
    ([0.5, 1.5, 1.00000005], (4.5, ("row", 1, 4.5))),  # 4.5 on a row of size 1e8: beyond 1e-9 of it
    ([0.0, 2.0, 1.00000000001], (1e-3, None)),  # 1e-3 on it: within
    ([11.0, 1.0, 0.0], (1.0, ("column", 0, 1.0))),
])
def test_check_point_scales_the_tolerance_to_the_row(x, expected):
    from tavro import _answer
    import scipy.sparse

    A = scipy.sparse.csc_matrix(np.array([[1.0, 1.0, 0.0], [-1.0, 0.0, 1e8]]))
    largest, worst = _answer.check_point(np.array(x), A.indptr, A.indices, A.data, np.array([2.0, -np.inf]),
                                         np.array([np.inf, 1e8]), np.zeros(3), np.full(3, 10.0))
    assert largest == pytest.approx(expected[0], rel=1e-3, abs=1e-12)
    if expected[1] is None:
        assert worst is None
    else:
        assert worst[:2] == expected[1][:2] and worst[2] == pytest.approx(expected[1][2], rel=1e-3)


def test_a_point_that_breaks_a_row_is_an_error_with_the_point_attached(monkeypatch):
    from tavro import _highs

    problem = solver.build_problem("dvar float+ x; dvar float+ y;\nminimize z: x + y;\n"
                                   "subject to { need: x + y >= 10; }\n", "")
    real = _highs.Model.outcome

    def off_by_one(self):
        outcome = real(self)
        return _highs.Outcome(outcome.status, None, outcome.message, outcome.x - 1.0, None, None, None, None)

    monkeypatch.setattr(_highs.Model, "outcome", off_by_one)
    result = solver.solve_problem(problem)
    assert result.status == "error" and result.objective is None and result.x is not None
    assert result.violation == "the solver's point violates constraint need by 2"
    assert result.message.startswith("the solver's point violates constraint need by 2 (HiGHS: ")
    assert result.max_violation == pytest.approx(2.0) and sum(result.values.values()) == pytest.approx(8.0)


@pytest.mark.parametrize("row, objective", [
    ("1e15 * x >= 1e15", 1.0),
    ("1e-9 * x >= 1e-9", 1.0),
    ("1e-300 * x >= 1e-300", 1.0),
    ("3e-12 * x + 1e-12 * y >= 4e-12", 4 / 3),
    ("1e13 * x + 2e13 * y >= 6e13", 3.0),
])
def test_rows_of_extreme_magnitude_are_solved_in_their_own_units(row, objective):
    # HiGHS drops entries of 1e-9 and less and refuses 1e15: such rows reach it
    # scaled by a power of two, and both outputs find the true optimum.
    from tavro._csc_script import script_for_problem

    problem = solver.build_problem("dvar float+ x; dvar float+ y; minimize z: x + y; subject to { r: %s; }" % row, "")
    result = solver.solve_problem(problem)
    assert (result.status, result.warnings) == ("optimal", [])
    assert result.objective == pytest.approx(objective, rel=1e-9)
    assert result.duals["r"] == pytest.approx(objective / float(problem.row_lower[0]), rel=1e-9)
    ns: dict = {}
    exec(compile(script_for_problem(problem)[0], "script", "exec"), ns)
    assert ns["status"] == "optimal" and ns["objective"] == pytest.approx(objective, rel=1e-9)
    # SciPy's own result reads in the model's units too (the row as -r <= -b).
    assert ns["results"].ineqlin.marginals[0] == pytest.approx(-result.duals["r"], rel=1e-9)


def test_a_row_whose_bound_would_reach_highs_infinity_is_not_scaled():
    # Scaled up to [0.5, 1), 1e-6 * x <= 1e15 would get a bound HiGHS takes for none.
    from tavro._csc_script import script_for_problem

    problem = solver.build_problem("dvar float+ x; maximize z: x; subject to { r: 1e-6 * x <= 1e15; }", "")
    result = solver.solve_problem(problem)
    assert result.status == "optimal" and result.objective == pytest.approx(1e21)
    ns: dict = {}
    exec(compile(script_for_problem(problem)[0], "script", "exec"), ns)
    assert ns["status"] == "optimal" and ns["objective"] == pytest.approx(1e21)


def test_a_tiny_row_is_judged_in_its_own_units():
    from tavro import _answer

    one = np.array([0, 1])
    args = (one, np.array([0]), np.array([1e-9]), np.array([1e-9]), np.array([np.inf]), np.zeros(1), np.full(1, np.inf))
    assert _answer.check_point(np.array([0.0]), *args) == (1e-9, ("row", 0, 1e-9))
    assert _answer.check_point(np.array([1.0 - 1e-9]), *args)[1] is None


@pytest.mark.parametrize("model, status, warning", [
    ("dvar float+ x; dvar float+ y; minimize z: x + y; subject to { tiny: x + 1e-9 * y >= 1; }", "optimal",
     "coefficients of 1e-09 or less, which HiGHS treats as zero, in row tiny"),
    ("dvar float+ x; dvar float+ y; minimize z: x + y;\nsubject to { forall(i in 1..7) wide: 1e10 * x + i * y >= 1; }",
     "optimal", "coefficients spanning more than 1e+09 in rows wide[1] (1.0e+10), wide[2] (5.0e+09), wide[3] "
                "(3.3e+09), wide[4] (2.5e+09), wide[5] (2.0e+09) and 2 more: HiGHS's answer may be inaccurate"),
    ("dvar float+ x; dvar float+ y; minimize z: 1e12 * x + 0.1 * y; subject to { c: x + y >= 1; }", "optimal",
     "objective coefficients spanning more than 1e+09 (1.0e+13): HiGHS's answer may be inaccurate"),
])
def test_coefficients_highs_cannot_be_trusted_with_are_named(model, status, warning):
    result = solve(model)
    assert result.status == status and result.warnings == [warning]


def test_a_tiny_ratio_is_no_longer_taken_for_an_optimum():
    # HiGHS drops no coefficient of 1e-8, so the slope is seen and the model is
    # unbounded; the script's HiGHS (SciPy's) settles at 0 within its dual
    # tolerance of 1e-7 unless the wrong-signed reduced cost is noticed.
    from tavro._csc_script import script_for_problem

    problem = solver.build_problem("dvar float+ x; dvar float+ y; maximize z: y; subject to { r: y <= 1e-8 * x; }", "")
    result = solver.solve_problem(problem)
    assert result.status == "unbounded" and result.warnings == []
    ns: dict = {}
    exec(compile(script_for_problem(problem)[0], "script", "exec"), ns)
    assert ns["status"] == "unbounded"


IIS_CASES = [
    # (model, HiGHS's irreducible subset, the conflict reported)
    ("dvar float+ x; dvar float+ y;\nminimize z: x + y;\n"
     "subject to { big: x + y >= 10; capx: x <= 3; capy: y <= 4; free: x - y <= 100; }\n",
     ["big", "capx", "capy"], ["big", "capx", "capy"]),
    ("dvar float+ x; dvar float+ y;\nminimize z: x;\nsubject to { lo: x + y >= 10; hi: x + y <= 4; o: x <= 100; }\n",
     ["lo", "hi"], ["lo", "hi"]),
    # MIPs: HiGHS 1.16's getIis marks its set not valid (kWarning) and, on the
    # second, includes o, which the integers alone make unnecessary.
    ("dvar int x; minimize z: x;\nsubject to { lo: 2 * x >= 1; hi: 2 * x <= 1.5; }\n", None, ["lo", "hi"]),
    ("dvar int x; dvar int y; minimize z: x;\nsubject to { odd: 2 * x + 2 * y == 1; o: x <= 5; }\n", None, ["odd"]),
]


@pytest.mark.parametrize("model, from_highs, conflict", IIS_CASES)
def test_highs_own_iis_is_taken_for_linear_programs_only(model, from_highs, conflict):
    problem = solver.build_problem(model, "")
    request = solver._Request(problem, solver.SolveOptions())
    assert request.run().status == "infeasible"
    rows = request.model.iis(10.0) if not problem.is_mip else None
    if problem.is_mip:
        import highspy

        request.model.set_option("iis_strategy", int(highspy.IisStrategy.kIisStrategyIrreducible))
        status, iis = request.model.h.getIis()
        assert status != highspy.HighsStatus.kOk or not iis.valid_
    assert (None if rows is None else [problem.row_name(i) for i in rows]) == from_highs
    result = solver.solve_problem(problem)
    assert [r["name"] for r in result.conflict] == conflict and result.notes == []


def test_a_model_too_large_for_the_conflict_search_says_so_at_once(monkeypatch):
    monkeypatch.setattr(solver, "CONFLICT_MAX_ROWS", 3)
    result = solve("dvar float+ x; minimize z: x;\nsubject to { forall(i in 1..4) c: x >= i; d: x <= 1; }\n")
    assert result.status == "infeasible" and result.conflict is None
    assert result.notes == ["conflict not computed: the model has 5 rows and 5 non-zeros (the search runs up to "
                            "3 rows and 200000 non-zeros)"]
    assert "conflict" in result.to_dict() and result.to_dict()["notes"] == result.notes


def test_crossing_bounds_are_their_own_conflict():
    result = solve("dvar float+ x; minimize z: x;\nsubject to { a: x >= 1; band: 3 <= x + 0 * x <= 2; }\n")
    assert result.status == "infeasible"
    assert [r["name"] for r in result.conflict] == ["band"]


@pytest.mark.parametrize("model, data", [
    KEYED,
    ("range I = 1..3; dvar float x[I][1..2][1..2] in -1..1; dvar float y; dvar int e[1..0];\n"
     "maximize z: sum(i in I, j in 1..2, k in 1..2) (i + j * 0.1 + k * 1e-7) * x[i][j][k] - y;\n"
     "subject to { c: y >= 1e20 * 0 + 0.5; }\n", ""),
    ('{string} S = ...; dvar float+ x[S]; minimize z: sum(s in S) x[s];\nsubject to { forall(s in S) c: x[s] >= 1; }\n',
     'S = {"new\\nline", "quote\\"", "del\x7f", "c1\x85", "caf\u00e9"};'),
])
def test_json_text_is_the_dictionary_written_out(model, data):
    result = solve(model, data)
    text = result.to_json()
    assert json.loads(text) == json.loads(json.dumps(result.to_dict()))
    assert not any(ch in text for ch in "\n\x7f\x85")


EXPORTED = {
    "keyed": KEYED,
    "hostile names, a MIP with an offset, maximised": (
        '{string} S = ...; dvar int x[S] in 0..5; dvar float y in -3..7;\n'
        'maximize z: sum(s in S) x[s] - y + 4;\nsubject to { forall(s in S) c: x[s] + y <= 6.5; d: y >= -2; }\n',
        'S = {"new york", "9lives", "e12", "a]b[", "<q\\"uote>"};'),
}


@pytest.mark.parametrize("suffix", [".mps", ".lp"])
@pytest.mark.parametrize("model, data", EXPORTED.values(), ids=list(EXPORTED))
def test_written_file_read_back_by_highs_gives_the_same_optimum(model, data, suffix, tmp_path):
    from highspy._core import _Highs

    problem = solver.build_problem(model, data)
    expected = solver.solve_problem(problem)
    path = tmp_path / ("model" + suffix)
    renamed = problem.write(path)
    h = _Highs()
    h.setOptionValue("output_flag", False)
    h.readModel(str(path))
    h.run()
    assert h.getInfo().objective_function_value == pytest.approx(expected.objective, rel=1e-9)
    written = [h.getColName(j)[1] for j in range(problem.num_columns)]
    assert [renamed.get(n, n) for n in written] == problem.column_names
    assert len(set(written)) == len(written) and all(" " not in n and "[" not in n for n in written)


def test_only_mps_and_lp_are_written(tmp_path):
    problem = solver.build_problem("dvar float+ x; minimize z: x;\n", "")
    with pytest.raises(ValueError, match="must end in .mps or .lp"):
        problem.write(tmp_path / "m.txt")


@pytest.mark.parametrize("names, safe", [
    (["x[1,2]", "x(1,2)", "x(1,2)~2"], ["x(1,2)", "x(1,2)~2", "x(1,2)~2~2"]),
    (["flow[<A,B>,1]", "new york", "9lives", "e12", ".5", "é"], ["flow({A,B},1)", "new_york", "_9lives", "_e12",
                                                                  "_.5", "_"]),
    (["a" * 300, "a" * 300], ["a" * 255, "a" * 253 + "~2"]),
])
def test_names_are_made_safe_for_mps_and_lp_and_stay_unique(names, safe):
    from tavro import _export

    assert _export.safe_names(names) == safe


class _Table(__import__("html.parser").parser.HTMLParser):
    """The paragraphs and table cells of an HTML fragment."""

    def __init__(self):
        super().__init__()
        self.paragraphs, self.cells, self._text, self._in = [], [], [], None

    def handle_starttag(self, tag, attrs):
        if tag in ("p", "td", "th"):
            self._in, self._text = tag, []

    def handle_endtag(self, tag):
        if tag == self._in:
            (self.paragraphs if tag == "p" else self.cells).append("".join(self._text))
            self._in = None

    def handle_data(self, data):
        if self._in:
            self._text.append(data)


def test_notebook_views_of_a_solution():
    result = solve('{string} S = ...; dvar int take[S] in 0..3; dvar float+ idle;\n'
                   'maximize z: sum(s in S) take[s];\nsubject to { c: sum(s in S) take[s] <= 5; }\n',
                   'S = {"<script>alert(1)</script>", "b&c", "d"};')
    page = _Table()
    page.feed(result._repr_html_())
    assert page.paragraphs[0] == "optimal, objective 5"
    assert page.cells[:2] == ["variable", "value"]
    shown = dict(zip(page.cells[2::2], page.cells[3::2]))
    assert sum(float(v) for v in shown.values()) == 5 and "idle" not in shown
    assert set(shown) <= {"take[<script>alert(1)</script>]", "take[b&c]", "take[d]"}
    assert "<script>" not in result._repr_html_()
    assert str(result).startswith("optimal, objective 5, ") and repr(result) == "<Solution optimal objective=5.0>"
    flat = result.flat()
    assert list(flat) == result.column_names and all(type(v) is float for v in flat.values())
    assert sum(flat.values()) == 5.0 and flat["idle"] == 0.0


def test_frames_keep_the_index_values():
    pandas = pytest.importorskip("pandas")
    result = solve(*KEYED)
    flow = result.to_frame("flow")
    assert list(flow.columns) == ["index1", "index2", "value", "reduced_cost"]
    assert flow.iloc[1].tolist() == [("A", "B", 1.5), 2, 0.0, 1.0]
    need = result.to_frame("Need")
    assert need.to_dict("list") == {"index1": ["x", "1"], "index2": [2.5, 2.5], "dual": [1.0, 1.0]}
    frames = result.to_frames()
    assert list(frames) == ["flow", "y"] and all(isinstance(f, pandas.DataFrame) for f in frames.values())
    with pytest.raises(KeyError):
        result.to_frame("nothing")


def test_pandas_is_imported_only_by_to_frame():
    import subprocess
    import sys

    code = "import sys, tavro.solver; print('pandas' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout == "False\n"
