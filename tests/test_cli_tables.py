"""The commands that read a data file find its csv(...) tables in the data
file's folder, or in --data-dir: check, solve (and its emitted script, which
holds values, not paths) and feedback --write's compile of a revision."""
import json
import shutil
from importlib.resources import files

import pytest

from tavro import cli
from tavro.cli import feedback

EXAMPLE = "facility_location_tables"
SOURCE = files("tavro") / "kelm_models_csv" / EXAMPLE


def run(argv):
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


@pytest.fixture
def pair(tmp_path, monkeypatch):
    """The example copied into tmp_path/pair; the current folder is elsewhere."""
    folder = tmp_path / "pair"
    shutil.copytree(str(SOURCE), folder)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    return folder / (EXAMPLE + ".mod"), folder / (EXAMPLE + ".dat")


def optimum():
    return json.loads(SOURCE.joinpath("solution.json").read_text(encoding="utf-8"))["objective"]


def test_check_and_solve_read_tables_beside_the_data_file(pair, capsys):
    model, data = map(str, pair)
    assert run(["check", model, data]) == 0
    assert capsys.readouterr().out.startswith("ok: ")
    assert run(["solve", model, data, "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["objective"] == pytest.approx(optimum())


def test_data_dir_names_another_folder(pair, tmp_path, capsys):
    model, data = pair
    tables = tmp_path / "tables"
    tables.mkdir()
    (data.parent / "data").rename(tables / "data")
    assert run(["check", str(model), str(data)]) == 1
    assert "csv file 'data/warehouses.csv' not found" in capsys.readouterr().out
    assert run(["check", str(model), str(data), "--data-dir", str(tables)]) == 0
    capsys.readouterr()
    script = tmp_path / "plan.py"
    assert run(["solve", str(model), str(data), "--data-dir", str(tables), "--emit", str(script), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["objective"] == pytest.approx(optimum())
    assert ".csv" not in script.read_text(encoding="utf-8")


def test_feedback_compiles_a_revision_against_the_tables(pair):
    model, data = pair
    reply = {"feedback": "fewer warehouses", "revised_data": data.read_text(encoding="utf-8").replace(
        '["max_open"]', '["max_open"] default 2')}
    with pytest.raises(RuntimeError, match="not found"):  # tables looked for in the current folder
        feedback.write_revision(reply, str(model), str(data))
    assert feedback.write_revision(reply, str(model), str(data), str(data.parent)) == [str(data)]
    assert "default 2" in data.read_text(encoding="utf-8")
