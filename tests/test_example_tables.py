"""The examples whose data are CSV tables (src/tavro/kelm_models_csv/NAME/):
each recorded optimum proved by a SciPy model written by hand from the
description that reads the tables with the csv module, never through tavro;
each pair solved through tavro from its files; and none of them ever offered
as a few-shot example for a word problem."""

import csv
import json
import pathlib
from importlib.resources import files

import pytest
from test_example_library import Lp

from tavro import modelwright, solver

TABLES = pathlib.Path(str(files("tavro") / "kelm_models_csv"))
WORDS = pathlib.Path(str(files("tavro") / "kelm_models"))
NAMES = sorted(p.name for p in TABLES.iterdir() if p.is_dir())


def rows(name, table):
    with open(TABLES / name / "data" / table, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def settings(name):
    return {r["setting"]: r["value"] for r in rows(name, "settings.csv")}


def facility_location_tables():
    name = "facility_location_tables"
    warehouses, stores = rows(name, "warehouses.csv"), rows(name, "stores.csv")
    cost = {(r["warehouse"], r["store"]): float(r["cost"]) for r in rows(name, "supply_cost.csv")}
    lp = Lp()
    opened = {w["warehouse"]: lp.binary(float(w["fixed_cost"])) for w in warehouses}
    ship = {k: lp.var(c) for k, c in cost.items()}
    for s in stores:
        d = float(s["demand"])
        lp.row({ship[w, s["store"]]: 1 for w in opened}, d, d)
    for w in warehouses:
        lp.row({**{ship[w["warehouse"], s["store"]]: 1 for s in stores}, opened[w["warehouse"]]: -float(w["capacity"])},
               hi=0)
    lp.row({v: 1 for v in opened.values()}, hi=int(settings(name)["max_open"]))
    return lp.solve()


def assignment_tables():
    name = "assignment_tables"
    options, agents = rows(name, "options.csv"), rows(name, "agents.csv")
    lp = Lp()
    pick = [lp.binary(float(o["cost"])) for o in options]
    for task in {o["task"] for o in options}:
        lp.row({pick[k]: 1 for k, o in enumerate(options) if o["task"] == task}, 1, 1)
    for a in agents:
        lp.row({pick[k]: float(o["hours"]) for k, o in enumerate(options) if o["agent"] == a["agent"]},
               hi=float(a["hours_available"]))
    return lp.solve()


def production_plan_tables():
    name = "production_plan_tables"
    products, periods = rows(name, "products.csv"), rows(name, "periods.csv")
    demand = {(r["product"], int(r["period"])): float(r["units"]) for r in rows(name, "demand.csv")}
    unit = {(r["product"], int(r["period"])): float(r["unit_cost"]) for r in rows(name, "costs.csv")}
    setting = settings(name)
    lp = Lp()
    hours = {}
    for t in periods:
        period = int(t["period"])
        overtime = lp.var(float(setting["overtime_cost_per_hour"]), 0, float(t["overtime_hours"]))
        hours[period] = ({overtime: -1}, float(t["hours"]))
    for p in products:
        stock_before = None
        for period in range(1, int(setting["periods"]) + 1):
            make = lp.var(unit[p["product"], period])
            stock = lp.var(float(p["holding_cost"]))
            need = demand[p["product"], period]
            # stock = previous stock + make - demand
            if stock_before is None:
                rhs = float(p["initial_stock"]) - need
                lp.row({stock: 1, make: -1}, rhs, rhs)
            else:
                lp.row({stock: 1, stock_before: -1, make: -1}, -need, -need)
            stock_before = stock
            hours[period][0][make] = float(p["hours_per_unit"])
    for terms, regular in hours.values():
        lp.row(terms, hi=regular)
    return lp.solve()


def network_flow_tables():
    name = "network_flow_tables"
    arcs = rows(name, "arcs.csv")
    lp = Lp()
    flow = [lp.var(float(a["cost"]), 0, float(a["capacity"])) for a in arcs]
    for n in rows(name, "nodes.csv"):
        terms = {}
        for k, a in enumerate(arcs):
            terms[flow[k]] = (a["from"] == n["node"]) - (a["to"] == n["node"])
        s = float(n["supply"])
        lp.row({j: c for j, c in terms.items() if c}, s, s)
    return lp.solve()


def clinic_location_tables():
    name = "clinic_location_tables"
    towns = {r["town"]: float(r["population"]) for r in rows(name, "towns.csv")}
    km = {(t, t): 0.0 for t in towns}
    for r in rows(name, "road_distance.csv"):
        km[r["town_a"], r["town_b"]] = km[r["town_b"], r["town_a"]] = float(r["km"])
    lp = Lp()
    opened = {c: lp.binary() for c in towns}
    for t, people in towns.items():
        serve = {c: lp.binary(people * km[t, c]) for c in towns}
        lp.row({v: 1 for v in serve.values()}, 1, 1)
        for c, v in serve.items():
            lp.row({v: 1, opened[c]: -1}, hi=0)
    n = float(settings(name)["clinics_to_open"])
    lp.row({v: 1 for v in opened.values()}, n, n)
    return lp.solve()


CHECKS = {f.__name__: f for f in (facility_location_tables, assignment_tables, production_plan_tables,
                                  network_flow_tables, clinic_location_tables)}


def recorded(name):
    return json.loads((TABLES / name / "solution.json").read_text(encoding="utf-8"))


def test_every_table_example_has_an_independent_check():
    assert sorted(CHECKS) == NAMES and len(NAMES) >= 4


@pytest.mark.parametrize("name", NAMES)
def test_folder_is_complete_and_its_description_names_tables_not_numbers(name):
    folder = TABLES / name
    assert sorted(p.name for p in folder.iterdir()) == sorted(
        ["data", "solution.json"] + [name + ext for ext in (".txt", ".mod", ".dat")])
    description = (folder / (name + ".txt")).read_text(encoding="utf-8")
    assert not any(c.isdigit() for c in description)
    data_text = (folder / (name + ".dat")).read_text(encoding="utf-8")
    for table in sorted((folder / "data").iterdir()):
        assert "data/" + table.name in description and "data/" + table.name in data_text
        header = table.read_text(encoding="utf-8").splitlines()[0].split(",")
        for column in header:
            assert column in description, (table.name, column)


@pytest.mark.parametrize("name", NAMES)
def test_recorded_optimum_matches_the_independent_model(name):
    want = recorded(name)
    assert want["status"] == "optimal" and want["sense"] == "minimize"
    assert CHECKS[name]() == pytest.approx(want["objective"], rel=1e-9, abs=1e-6)


@pytest.mark.parametrize("name", NAMES)
def test_tavro_solves_the_pair_from_its_files(name):
    folder = TABLES / name
    got = solver.solve_files(folder / (name + ".mod"), folder / (name + ".dat"))
    assert got.status == "optimal"
    assert got.objective == pytest.approx(recorded(name)["objective"], rel=1e-9, abs=1e-6)


def test_word_problems_never_get_a_table_example():
    # The word-problem library holds no binding, and retrieval for a word
    # problem (even one phrased like a table example) offers none.
    for path in WORDS.rglob("*.dat"):
        assert "csv(" not in path.read_text(encoding="utf-8"), path
    for name in NAMES:
        description = (TABLES / name / (name + ".txt")).read_text(encoding="utf-8")
        shots = modelwright._gather_few_shots(description, k=5)
        assert shots and all("csv(" not in s["data"] and "kelm_models_csv" not in s["desc_path"] for s in shots)


def test_copying_an_example_brings_its_tables(tmp_path):
    from tavro import _examples

    name = "network_flow_tables"
    written = _examples.copy_example(name, str(tmp_path))
    assert sorted(written) == sorted([str(tmp_path / (name + e)) for e in (".txt", ".mod", ".dat")]
                                     + [str(tmp_path / "data" / t) for t in ("arcs.csv", "nodes.csv")])
    assert (tmp_path / "data" / "arcs.csv").read_bytes() == (TABLES / name / "data" / "arcs.csv").read_bytes()
    got = solver.solve_files(tmp_path / (name + ".mod"), tmp_path / (name + ".dat"))
    assert got.objective == pytest.approx(recorded(name)["objective"])
    with pytest.raises(FileExistsError):
        _examples.copy_example(name, str(tmp_path))
    assert name in [e["name"] for e in _examples.list_examples()]


@pytest.mark.parametrize("name", ["facility_location_tables", "network_flow_tables"])
def test_generated_script_carries_the_values_not_the_tables(tmp_path, name):
    import runpy

    from tavro.lpwriter import SciPyCodeGenerator
    from tavro.tavro_core import KelmCompiler

    folder = TABLES / name
    model, data = ((folder / (name + e)).read_text(encoding="utf-8") for e in (".mod", ".dat"))
    tree = KelmCompiler().compile_model(model, data, data_dir=folder)
    text = SciPyCodeGenerator(tree, tree["data"]).generate_code()
    assert ".csv" not in text and "data/" not in text
    script = tmp_path / "script.py"  # run where no table exists
    script.write_text(text, encoding="utf-8")
    ns = runpy.run_path(str(script), run_name="elsewhere")
    expected = solver.solve_problem(solver.build_problem(model, data, data_dir=folder))
    assert ns["status"] == "optimal" and ns["objective"] == pytest.approx(expected.objective)
    assert ns["objective"] == pytest.approx(recorded(name)["objective"])
