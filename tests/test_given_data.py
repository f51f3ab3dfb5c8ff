"""Generating a model for data given as CSV tables: the summary the LLM sees,
the redaction of what goes back to it, the prompt, and whole runs of
``generate --data-dir`` and ``eval`` through the real openai package against
the loopback stub."""

import csv
import json
import math
import pathlib
import shlex
import shutil
from importlib.resources import files

import pytest

import loop_support as ls
from tavro import _given, cli, evaluation, pipeline

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply

LIBRARY = pathlib.Path(str(files("tavro") / "kelm_models_csv"))
EXAMPLES = sorted(p.name for p in LIBRARY.iterdir() if p.is_dir())


@pytest.fixture
def stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    with ls.openai_loopback(monkeypatch, tmp_path) as server:
        yield server


def write_tables(folder, tables):
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in tables.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return folder


def prompts(server):
    return [r.json["input"] for r in server.requests("POST", "/v1/responses")]


def example(name):
    folder = LIBRARY / name
    return {"folder": folder, "description": (folder / (name + ".txt")).read_text(encoding="utf-8"),
            "reply": json.dumps({"model": (folder / (name + ".mod")).read_text(encoding="utf-8"),
                                 "data": (folder / (name + ".dat")).read_text(encoding="utf-8")}),
            "objective": json.loads((folder / "solution.json").read_text())["objective"]}


# ---- the summary of the tables ----------------------------------------------------

def columns(table):
    return [(c.name, c.type, c.distinct, c.empty) for c in table.columns]


@pytest.mark.parametrize("text, rows, cols, head, notes", [
    ("k,i,f,s,e\nA,1,1.5,x,\nB,-2,2,y,\nC,+3,1e3,x,\n", 3,
     [("k", "string", 3, 0), ("i", "int", None, 0), ("f", "float", None, 0), ("s", "string", 2, 0),
      ("e", "empty", None, 3)], [["A", "1", "1.5", "x", ""], ["B", "-2", "2", "y", ""]], []),
    # a byte-order mark, CRLF line ends, a quoted comma, blank lines at the end
    ('\ufeffcity,n\r\n"Oslo, Norway", 1\r\nBergen,2\r\n\r\n\r\n', 2,
     [("city", "string", 2, 0), ("n", "int", None, 0)], [["Oslo, Norway", " 1"], ["Bergen", "2"]], []),
    ("a,b\n", 0, [("a", "empty", None, 0), ("b", "empty", None, 0)], [], []),
    ("a,b\n1,\n,2\n3,4\n", 3, [("a", "int", None, 1), ("b", "int", None, 1)], [["1", ""], ["", "2"]], []),
    ("a,b\n1,2\n3\n4,5,6\n", 3, [("a", "int", None, 0), ("b", "int", None, 0)], [["1", "2"], ["3"]],
     ["2 rows with another number of fields than the header"]),
    (b"name,v\ncaf\xe9,1\n", 1, [("name", "string", 1, 0), ("v", "int", None, 0)], [["caf\ufffd", "1"]],
     ["not valid UTF-8"]),
    ("", 0, [], [], ["empty (no header row)"]),
])
def test_summary_of_a_table(tmp_path, text, rows, cols, head, notes):
    tables = _given.read_tables(write_tables(tmp_path / "t", {"t.csv": text}), rows=2)
    (table,) = tables.tables
    assert (table.path, table.rows, columns(table), table.head, table.notes) == ("t.csv", rows, cols, head, notes)


def test_a_column_that_turns_to_text_in_a_later_chunk(tmp_path, monkeypatch):
    monkeypatch.setattr(_given, "_CHUNK", 2)
    folder = write_tables(tmp_path / "t", {"t.csv": "v,w\n1,1\n2,2.5\n2,3\nn/a,4\n"})
    (table,) = _given.read_tables(folder).tables
    assert columns(table) == [("v", "string", 3, 0), ("w", "float", None, 0)]


def test_the_tables_block(tmp_path):
    folder = write_tables(tmp_path / "t", {
        "b/sites.csv": "site,cap\nOslo,10\n\"Tromsø, N\",20\nBergen,30\n",
        "a.csv": "k,v\nx,1.5\n", ".hidden.csv": "h\n1\n", ".git/x.csv": "h\n1\n", "notes.txt": "no table"})
    block = _given.tables_block(_given.read_tables(folder, rows=2))
    assert block.splitlines()[3:] == [
        "",
        "a.csv: 1 row",
        "  columns: k (string, 1 distinct), v (float)",
        "  first 1 row:",
        "    k,v",
        "    x,1.5",
        "",
        "b/sites.csv: 3 rows",
        "  columns: site (string, 3 distinct), cap (int)",
        "  first 2 rows:",
        "    site,cap",
        "    Oslo,10",
        "    \"Tromsø, N\",20",
        "</tables>"]
    quiet = _given.tables_block(_given.read_tables(folder, rows=0))
    assert "No cell values are shown." in quiet and "Oslo" not in quiet and "first" not in quiet


@pytest.mark.parametrize("make, message", [
    (lambda p: p / "missing", "is not a folder"),
    (lambda p: write_tables(p / "t", {"t.txt": "a\n1\n", ".h.csv": "a\n1\n"}), "holds no CSV table (*.csv)"),
])
def test_a_folder_without_tables(tmp_path, make, message):
    with pytest.raises(_given.NoTables, match=message.replace("(", r"\(").replace(")", r"\)").replace("*", r"\*")):
        _given.read_tables(make(tmp_path))


# ---- redaction ----------------------------------------------------------------------

TABLE = ("site,cap,note\nQxv-Zorblat,4817263,3.50\nNorth Hub,-120,Os\nx,7,in\n")
DESCRIPTION = "Serve every site of sites.csv; North Hub closes early; at most 1,000 units per day."


@pytest.mark.parametrize("text, model, expected", [
    # text cells whole, names kept, a cell inside a longer word kept
    ("data:2:25: t.csv row 3, column site: 'Qxv-Zorblat' is not an element of 'S' (for 'cap')", "",
     "data:2:25: t.csv row 3, column site: '<value>' is not an element of 'S' (for 'cap')"),
    ("Cap[Qxv-Zorblat]: x[Qxv-Zorblat] <= 4817263", "dvar float+ x[S];", "Cap[<value>]: x[<value>] <= <value>"),
    ("Oslo Os Osx", "", "Oslo <value> Osx"),
    # numbers by value, whatever their form or sign; positions kept
    ("3.5 3.50 -120 120.0 1.2e2 4817263.5 line 7 row 7 model:7:7: 7x v7 7", "",
     "<value> <value> -<value> <value> <value> 4817263.5 line 7 row 7 model:7:7: 7x v7 <value>"),
    # stated in the description: kept ("North Hub", 1,000 units); column and table names are not cells
    ("North Hub ships 1000 of cap from t.csv", "", "North Hub ships 1000 of cap from t.csv"),
    # the LLM's own names are kept, though a cell holds them ("x", "in"), but not in its strings
    ("forall(s in S) x[s] >= 7", "dvar float x[S];\nforall(s in S) x[s] >= 0; // in\n",
     "forall(s in S) x[s] >= <value>"),
    ("forall(s in S) x[s] >= 7", 'string s0 = "in";', "forall(s <value> S) <value>[s] >= <value>"),
])
def test_redaction(tmp_path, text, model, expected):
    tables = _given.read_tables(write_tables(tmp_path / "t", {"t.csv": TABLE}), rows=0)
    assert _given.Redactor(tables, DESCRIPTION)(text, model) == expected


def test_the_rows_shown_are_not_redacted(tmp_path):
    tables = _given.read_tables(write_tables(tmp_path / "t", {"t.csv": TABLE}), rows=1)
    redact = _given.Redactor(tables, "")
    assert redact("x[Qxv-Zorblat] <= 4817263; 3.5; x[North Hub] <= 120", "dvar float x[S];") == \
        "x[Qxv-Zorblat] <= 4817263; 3.5; x[<value>] <= <value>"


# ---- cells as the compiler reads them ------------------------------------------------

CELLS = ["7", "+3", "-2", " 7 ", "\t4\t", ".5", "3.", "1e5", "1E-2", "-2.5e+3", "007", "infinity", "-infinity",
         "99999999999999999999", "1_000", "inf", "nan", "Infinity", "0x1F", "1,5", "7\n", "1e999", "--1", "1e", "e5",
         "\u0667", "1 000"]


@pytest.mark.parametrize("cell", CELLS)
def test_a_cell_is_a_number_exactly_when_the_compiler_binds_it(tmp_path, cell):
    from tavro import _kelm
    from tavro.semantic_error import SemanticError

    folder = tmp_path / "t"
    folder.mkdir()
    with open(folder / "t.csv", "w", encoding="utf-8", newline="") as f:
        csv.writer(f, lineterminator="\n").writerows([("k", "v"), ("A", cell)])
    model = "{string} K = ...; %s v[K] = ...; dvar float+ y; minimize y;"
    data = 'K = csv("t.csv", "k");\nv = csv("t.csv", "k" -> "v");'
    number = _kelm.scan_number(cell)
    values, kinds = _kelm.scan_cells([cell])
    if number is None:
        assert kinds[0] == 1 and math.isnan(values[0])
        with pytest.raises(SemanticError, match="is not a number|is out of range"):
            _kelm.compile(model % "float", data, str(folder))
        return
    assert _kelm.compile(model % "float", data, str(folder))["data"]["v"] == [float(number)]
    assert (kinds[0], values[0]) == (2 if isinstance(number, int) else 3, float(number))
    if isinstance(number, int):  # an int numeral binds to an int
        assert _kelm.compile(model % "int", data, str(folder))["data"]["v"] == [number]


def test_column_types_and_redaction_follow_the_compiler(tmp_path):
    folder = write_tables(tmp_path / "t", {"t.csv": "a,b,c,d\n1e5,1_000,+3,infinity\n.5,inf,-4, 7 \n"})
    tables = _given.read_tables(folder, rows=0)
    assert columns(tables.tables[0]) == [("a", "float", None, 0), ("b", "string", 2, 0), ("c", "int", None, 0),
                                         ("d", "float", None, 0)]
    redact = _given.Redactor(tables, "")
    assert redact("100000 0.5 1_000 inf 3 4 7 1000") == "<value> <value> <value> <value> <value> <value> <value> 1000"


LONG = "Kvartal Nord-Øst, bygning 14 (gamle laøgeret ved kaia)"  # 'ø' at bytes 40-41


@pytest.mark.parametrize("message, expected", [
    # a long cell is quoted cut short; a cell may hold quotes
    ("data:3:9: t.csv row 2, column v: '%s...' is not a number (for 'v')" % LONG[:40],
     "data:3:9: t.csv row 2, column v: '<value>' is not a number (for 'v')"),
    ("data:3:9: t.csv row 2, column v: 'O'Neil' is' is not an integer (for 'v')",
     "data:3:9: t.csv row 2, column v: '<value>' is not an integer (for 'v')"),
    ('data:3:9: t.csv row 3, column k: "Zq9 \'x\'" is not an element of \'K\' (for \'v\')',
     'data:3:9: t.csv row 3, column k: "<value>" is not an element of \'K\' (for \'v\')'),
    ('data:3:9: t.csv row 4: a second value for v["Zq9"]["Hidden Place"] (first at row 2)',
     'data:3:9: t.csv row 4: a second value for v["<value>"]["<value>"] (first at row 2)'),
    ('data:3:9: t.csv has no row for v["Zq9"] (nor for 5 other keys): add the rows or give \'default V\'',
     'data:3:9: t.csv has no row for v["<value>"] (nor for 5 other keys): add the rows or give \'default V\''),
    ("data:3:9: t.csv row 5: unterminated quoted field: the closing '\"' is missing",
     "data:3:9: t.csv row 5: unterminated quoted field: the closing '\"' is missing"),
    # names, and the values shown, stay; so do quotes in messages about no table row
    ("data:3:9: t.csv row 2, column v: 'Shown' is not a number (for 'v')",
     "data:3:9: t.csv row 2, column v: 'Shown' is not a number (for 'v')"),
    ("data:3:9: t.csv has no column 'vv'; did you mean 'v'?", "data:3:9: t.csv has no column 'vv'; did you mean 'v'?"),
    # a long cell cut short in any message, a character cut in two included
    ('model:5:3: "%s..." is not an element of \'K\'' % LONG.encode()[:40].decode(errors="replace"),
     'model:5:3: "<value>" is not an element of \'K\''),
    ("model:5:3: 'Kvartal Syd...', 'Shown...' are not", "model:5:3: 'Kvartal Syd...', 'Shown...' are not"),
])
def test_cells_quoted_in_table_messages_are_redacted_whole(tmp_path, message, expected):
    folder = write_tables(tmp_path / "t", {"t.csv": "k,v\nShown,1\nZq9,2\n\"%s\",3\n" % LONG})
    redact = _given.Redactor(_given.read_tables(folder, rows=1), "")
    assert redact(message, "{string} K = ...; float v[K] = ...;") == expected


# ---- the prompt ---------------------------------------------------------------------

def test_the_prompt_is_the_generation_prompt_with_a_task_for_tables(tmp_path):
    from tavro import modelwright

    tables = _given.read_tables(write_tables(tmp_path / "t", {"t.csv": TABLE}), rows=0)
    query = example("facility_location_tables")["description"]
    shots = modelwright._gather_few_shots(query, k=2, models_dir=_given.library_folder())
    problem = _given.problem_text(DESCRIPTION, tables)
    grammar = modelwright._get_grammar_implementation(modelwright.Grammar.BNF)
    ours = _given.generation_prompt(problem, grammar, shots)
    theirs = modelwright._build_generation_prompt(problem, grammar, few_shots=shots)
    # The same blocks from the end of the task on; a task that asks for bindings and invents no data.
    assert ours.split("</task>\n", 1)[1] == theirs.split("</task>\n", 1)[1]
    task = ours.split("<task>\n", 1)[1].split("</task>", 1)[0]
    assert "If data are missing" not in task and "csv(\"FILE\", ...)" in task and "literate programming" in task
    assert task.index("Never invent data") < task.index("Use the following Tavro syntax")
    assert len(shots) == 2 and all("csv(" in s["data"] for s in shots)


# ---- whole runs -------------------------------------------------------------------------

@pytest.mark.parametrize("name", EXAMPLES)
def test_generate_and_solve_reaches_the_optimum_of_a_library_example(stub, tmp_path, capsys, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    case = example(name)
    stub.script("POST", "/v1/responses", Reply.openai_text(case["reply"]),
                Reply.openai_text(json.dumps({"aligned": True, "assessment": "Matches."})))
    (tmp_path / "p.txt").write_text(case["description"])
    assert cli.main(["generate", "-f", "p.txt", "--data-dir", str(case["folder"]), "-o", "out/m.mod",
                     "-d", "out/m.dat", "--solve", "--json"]) == 0
    out = capsys.readouterr()
    result = json.loads(out.out)
    assert (result["status"], result["data_dir"]) == ("optimal", str(case["folder"]))
    assert result["objective"] == pytest.approx(case["objective"], rel=1e-9)
    first = prompts(stub)[0]
    assert "<tables>" in first and "data/" in first and "kelm_models_csv" in first  # its own few-shot library
    # The command printed solves the pair again, over the same tables.
    command = next(line.split(": ", 1)[1] for line in out.err.splitlines() if line.startswith("To solve this pair"))
    assert command == "tavro solve out/m.mod out/m.dat --data-dir " + shlex.quote(str(case["folder"]))
    assert cli.main(shlex.split(command)[1:] + ["--json"]) == 0
    assert json.loads(capsys.readouterr().out)["objective"] == pytest.approx(case["objective"], rel=1e-9)


def test_generate_for_tables_without_solving(stub, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    case = example("network_flow_tables")
    broken = json.loads(case["reply"])
    broken["data"] = broken["data"].replace('"', "'", 1)  # does not compile
    stub.script("POST", "/v1/responses", Reply.openai_text(json.dumps(broken)), Reply.openai_text(case["reply"]),
                Reply.openai_text(json.dumps({"aligned": True, "assessment": "Matches."})))
    assert cli.main(["generate", case["description"], "--data-dir", str(case["folder"]), "-o", "m.mod",
                     "-d", "m.dat", "--no-few-shot", "--rows", "0"]) == 0
    out = capsys.readouterr()
    assert out.out.splitlines()[-1] == "Matches."
    assert "To solve this pair again: tavro solve m.mod m.dat --data-dir" in out.err
    assert (tmp_path / "m.dat").read_text() == json.loads(case["reply"])["data"]
    assert "Syntax/semantic errors found: 1; revising..." in out.out
    assert "The previous attempt to generate a Tavro model and data file failed" in prompts(stub)[1]


@pytest.mark.parametrize("argv, message", [
    (["--rows", "2"], "--rows goes with --data-dir"),
    (["--data-dir", "nowhere"], "argument --data-dir: the data folder nowhere is not a folder"),
    (["--data-dir", "."], "argument --data-dir: the data folder . holds no CSV table (*.csv)"),
])
def test_usage_errors_before_any_call(stub, tmp_path, capsys, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit:
        cli.main(["generate", "Ship goods.", "-o", "m.mod", "-d", "m.dat"] + argv)
    assert exit.value.code == 2 and message in capsys.readouterr().err
    assert prompts(stub) == []


# ---- privacy ------------------------------------------------------------------------------

SITES = [("Qxv-Zorblat", 4817263, 3715092), ("Mirkwood Lxq", 5920371, 4628130),
         ("Vhenkel_Ost", 6038145, 6842157), ("Prrt Jembu", 7149026, 2957318)]
PRIVATE_MODEL = """{string} Sites = ...;
float cap[Sites] = ...;
float need[Sites] = ...;
dvar float+ x[Sites];
minimize Total: sum(s in Sites) x[s];
subject to {
  forall(s in Sites) Cap: x[s] <= cap[s];
  forall(s in Sites) Need: x[s] >= need[s];
}
"""
BINDINGS = ('Sites = csv("sites.csv", "site");\ncap = csv("sites.csv", "site" -> "capacity");\n'
            'need = csv("orders.csv", "site" -> "demand");\n')


def pair(model, data):
    return Reply.openai_text(json.dumps({"model": model, "data": data}))


def feedback(**reply):
    return Reply.openai_text(json.dumps(reply))


@pytest.mark.parametrize("rows", [0, 2])
def test_no_cell_value_reaches_the_llm_beyond_the_rows_shown(stub, tmp_path, rows):
    folder = write_tables(tmp_path / "tables", {
        "sites.csv": "site,capacity\n" + "".join("%s,%d\n" % (s, c) for s, c, _ in SITES),
        "orders.csv": "site,demand\n" + "".join("%s,%d\n" % (s, d) for s, _, d in SITES)})
    stub.script(
        "POST", "/v1/responses",
        # keys and values swapped: the compiler quotes a demand
        pair(PRIVATE_MODEL, BINDINGS.replace('"site" -> "demand"', '"demand" -> "site"')),
        pair(PRIVATE_MODEL, BINDINGS),
        Reply.openai_text(json.dumps({"aligned": True, "assessment": "Matches."})),
        # infeasible (a demand above its capacity): a revision that does not compile (a key outside the set) ...
        feedback(feedback="Only the first site.", revised_data=BINDINGS.replace(
            'csv("sites.csv", "site");', '{"%s"};' % SITES[0][0])),
        # ... then one that solves; its optimum is every demand, shown for the check
        feedback(feedback="Capacity may be exceeded.", revised_model=PRIVATE_MODEL.replace(
            "x[s] <= cap[s];", "x[s] <= cap[s] + need[s];")),
        feedback(feedback="Right."))
    description = "Each site of sites.csv has a capacity; each order of orders.csv must be met. Minimise the total."
    result = pipeline.generate_and_solve(description, tmp_path / "m.mod", tmp_path / "m.dat", data_dir=folder,
                                         rows=rows, repair=3, check_solution=True)
    assert [r["outcome"] for r in result["rounds"]] == ["not_compiled", "revised", "no_revision"]
    assert (result["status"], result["objective"]) == ("optimal", sum(d for _, _, d in SITES))
    sent = [r.body.decode("utf-8") for r in stub.requests("POST", "/v1/responses")]
    assert len(sent) == 6
    cells = [[str(v) for v in site] for site in SITES]
    shown, hidden = cells[:rows], cells[rows:]
    for value in (v for row in hidden for v in row):
        assert not any(value in body for body in sent), value
    for value in (v for row in shown for v in row):
        assert value in sent[0]
    # What the loop told the LLM, redacted: the compiler's messages, the conflict, the values.
    questions = [json.loads(body)["input"] for body in sent]
    quoted = "<value>" if rows == 0 else str(SITES[0][2])  # the first row is shown with --rows 2
    assert "orders.csv row 2, column demand: \"%s\" is not an element of" % quoted in questions[1]
    assert "Cap[<value>] (label Cap, index <value>, model line 7): x[<value>] <= <value>" in questions[3]
    assert "A previous revision did not compile:" in questions[4]
    assert "- x[<value>] = <value>" in questions[5]


# ---- eval -------------------------------------------------------------------------------

def copy_case(name, target):
    shutil.copytree(LIBRARY / name, target / name)
    return target / name


def test_a_dataset_names_the_data_folders(tmp_path):
    copy_case("assignment_tables", tmp_path / "cases")
    (tmp_path / "lib" / "plain").mkdir(parents=True)
    (tmp_path / "lib" / "plain" / "plain.txt").write_text("Buy 7.")
    (tmp_path / "lib" / "plain" / "solution.json").write_text('{"objective": 7}')
    copy_case("production_plan_tables", tmp_path / "lib")
    dataset = tmp_path / "d.jsonl"
    dataset.write_text(json.dumps({"question": "Q1", "answer": 1, "data_dir": "cases/assignment_tables"}) + "\n"
                       + json.dumps({"question": "Q2", "answer": 2}) + "\n")
    assert [p.data_dir for p in evaluation.load_dataset(dataset)] == [str(tmp_path / "cases/assignment_tables"), None]
    assert [p.data_dir for p in evaluation.load_dataset(tmp_path / "lib")] == [
        None, str(tmp_path / "lib/production_plan_tables")]


@pytest.mark.parametrize("entry, message", [
    ({"data_dir": 5}, "d.jsonl:1: data_dir is not a folder name: 5"),
    ({"data_dir": "none"}, "d.jsonl:1: the data folder %s is not a folder"),
    ({"data_dir": "."}, "d.jsonl:1: the data folder %s holds no CSV table (*.csv)"),
])
def test_a_dataset_entry_with_an_unusable_data_folder(tmp_path, entry, message):
    dataset = tmp_path / "d.jsonl"
    dataset.write_text(json.dumps(dict({"question": "Q", "answer": 1}, **entry)) + "\n")
    with pytest.raises(evaluation.DatasetError) as error:
        evaluation.load_dataset(dataset)
    folder = str(tmp_path / entry["data_dir"]) if isinstance(entry["data_dir"], str) else None
    assert str(error.value) == "%s/%s" % (tmp_path, message.replace("%s", str(folder and pathlib.Path(folder))))


def test_eval_over_tables_records_and_replays(stub, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    clinics, warehouses = example("clinic_location_tables"), example("facility_location_tables")
    copy_case("clinic_location_tables", tmp_path / "cases")
    folder = copy_case("facility_location_tables", tmp_path / "lib")
    # Questions of their own, so that the stub tells them from the few-shot examples.
    (folder / "facility_location_tables.txt").write_text("EVQ-W: open warehouses for the stores.")
    dataset = tmp_path / "d.jsonl"
    dataset.write_text(
        json.dumps({"question": "EVQ-C: place clinics.", "data_dir": "cases/clinic_location_tables",
                    "answer": clinics["objective"]}) + "\n"
        + json.dumps({"question": "EVQ-7: buy at least 7.", "answer": 7}) + "\n")
    stub.set_default("POST", "/v1/responses", ls.Modeller({
        "EVQ-C": clinics["reply"], "EVQ-W": warehouses["reply"], "EVQ-7": ls.pair_json(7)}))
    for data, output in ((str(dataset), "r.jsonl"), ("lib", "f.jsonl")):
        assert cli.main(["eval", data, "--output", output, "--record", "rec-" + output, "--rows", "0",
                         "--pricing", "pricing.md"]) == 0
    recorded = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()]
    assert [(r["correct"], r["data_dir"]) for r in recorded] == [
        (True, str(tmp_path / "cases/clinic_location_tables")), (True, None)]
    (folder_record,) = [json.loads(line) for line in (tmp_path / "f.jsonl").read_text().splitlines()]
    assert (folder_record["correct"], folder_record["data_dir"]) == (True, str(folder))
    calls = len(prompts(stub))
    assert cli.main(["eval", str(dataset), "--output", "again.jsonl", "--replay", "rec-r.jsonl", "--rows", "0",
                     "--json"]) == 0
    assert len(prompts(stub)) == calls  # answered from the recording
    summary = json.loads(capsys.readouterr().out.splitlines()[-1])
    assert (summary["correct"], summary["replay_misses"]) == (2, 0)


def test_a_final_pair_that_does_not_compile_is_judged_over_its_tables(stub, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    case = example("network_flow_tables")
    wrong = json.loads(case["reply"])
    wrong["data"] = wrong["data"].replace('"cost"', '"kost"')
    stub.script("POST", "/v1/responses", Reply.openai_text(json.dumps(wrong)), Reply.openai_text("A poor model."))
    assert cli.main(["generate", case["description"], "--data-dir", str(case["folder"]), "-o", "m.mod",
                     "-d", "m.dat", "--no-few-shot", "--iterations", "1"]) == 3
    err = capsys.readouterr().err
    assert "tavro: the final model and data do not compile:" in err
    assert "has no column 'kost'; did you mean 'cost'?" in err.split("do not compile:", 1)[1]


def test_candidates_over_tables(stub, tmp_path):
    case = example("production_plan_tables")
    stub.set_default("POST", "/v1/responses", ls.Modeller({"PLAN-Q": case["reply"]}))
    result = pipeline.generate_and_solve("PLAN-Q: plan the production.", tmp_path / "m.mod", tmp_path / "m.dat",
                                         data_dir=case["folder"], candidates=2, few_shot=False)
    assert (result["agreement"], result["status"], result["data_dir"]) == ("2/2", "optimal", str(case["folder"]))
    assert result["objective"] == pytest.approx(case["objective"], rel=1e-9)
    assert (tmp_path / "m.dat").read_text() == json.loads(case["reply"])["data"]
