"""tavro explain and tavro whatif end to end through the real openai package
against the loopback stub, and the check of numbers an LLM wrote."""

import json
import re

import pytest

import loop_support as ls
from tavro import _explain, cli

stub_server = pytest.importorskip("stub_server")

MODEL = """// Two products share one machine.
{string} Products = ...;
float profit[Products] = ...;   // EUR per unit
float hours[Products] = ...;    // machine hours per unit
float capacity = ...;           // machine hours available in the week
float demand[Products] = ...;   // most units the market takes

dvar float+ make[Products];     // units made in the week

maximize Profit: sum(p in Products) profit[p] * make[p];

subject to {
    Machine: sum(p in Products) hours[p] * make[p] <= capacity;
    forall(p in Products)
        Market: make[p] <= demand[p];
}
"""
DATA = 'Products = {"Chair", "Table"};\nprofit = [30, 50];\nhours = [2, 4];\ncapacity = %s;\ndemand = [20, 40];\n'
EXPLANATION = ("Make 20 chairs and 15 tables for a profit of 1350. The machine is the bottleneck: one more hour "
               "is worth 12.5. Chairs are held back by the market (a chair more is worth 5), which is 99 short.")
READING = "With 20 more machine hours the plan makes 20 tables instead of 15; profit rises by 250 to 1600, or 7 more."


@pytest.fixture
def shop(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "shop.mod").write_text(MODEL)
    (tmp_path / "shop.dat").write_text(DATA % 100)
    with ls.openai_loopback(monkeypatch, tmp_path) as server:
        yield server


def answer(server, feedback=None, explanation=EXPLANATION, reading=READING):
    def other(prompt):
        return {"explain": explanation, "reading": reading}.get(ls.prompt_kind(prompt), "?")

    server.set_default("POST", "/v1/responses", ls.Modeller({}, feedback=feedback, other=other))


def test_explain_shows_the_facts_and_flags_numbers_of_its_own(shop, capsys):
    answer(shop)
    assert cli.main(["explain", "shop.mod", "shop.dat", "--question", "Why no more chairs?"]) == 0
    out, err = capsys.readouterr()
    facts = out[out.index("Facts shown to the LLM:"):out.index("Explanation:")]
    for line in ["  Status: optimal", "  Objective Profit (maximize): 1350", "  - make[Chair] = 20",
                 "  - make[Table] = 15", "  - Machine: 2 make[Chair] + 4 make[Table] <= 100 (shadow price 12.5)",
                 "  - Market[Chair]: make[Chair] <= 20 (shadow price 5)",
                 "  - line 3: EUR per unit", "  - line 8: units made in the week"]:
        assert line + "\n" in facts
    assert "Explanation:\n  " + EXPLANATION in out
    assert "WARNING: numbers in the explanation that match no fact shown to the LLM: 99" in err
    (prompt,) = [r.json["input"] for r in shop.requests()]
    assert ls.prompt_kind(prompt) == "explain" and "Question: Why no more chairs?" in prompt
    assert "- Market[Chair]: make[Chair] <= 20 (shadow price 5)" in prompt and "EUR per unit" in prompt

    assert cli.main(["explain", "shop.mod", "shop.dat", "--json"]) == 0
    result = json.loads(capsys.readouterr().out)
    assert (result["status"], result["objective"], result["unsupported_numbers"]) == ("optimal", 1350.0, ["99"])
    assert result["usage"] == {"prompt_tokens": 100, "completion_tokens": 20}


@pytest.mark.parametrize("command", [["explain"], ["whatif", "what if the machine breaks?"]])
def test_a_model_that_does_not_compile_stops_before_any_llm_call(shop, tmp_path, capsys, command):
    (tmp_path / "shop.mod").write_text(MODEL.replace("capacity;", "capacity"))
    answer(shop)
    name, *rest = command
    assert cli.main([name, "shop.mod", "shop.dat", *rest]) == 1
    err = capsys.readouterr().err
    assert err.startswith("tavro: shop.mod:") and "expected" in err
    assert shop.requests() == []


def test_whatif_revises_solves_both_and_tables_what_moved(shop, tmp_path, capsys):
    revised = DATA % 120
    answer(shop, feedback=lambda prompt: json.dumps({"feedback": "Raised the machine hours from 100 to 120.",
                                                     "revised_data": revised}))
    assert cli.main(["whatif", "shop.mod", "shop.dat", "what if the machine gets 20 more hours?"]) == 0
    out, err = capsys.readouterr()
    assert "Change: Raised the machine hours from 100 to 120.\n" in out
    assert "  -capacity = 100;\n  +capacity = 120;\n" in out
    assert "Objective: 1350 \u2192 1600 (+250, +18.52%)\n" in out
    table = out[out.index("Decisions that moved (1):"):out.index("Reading:")].splitlines()
    assert table == ["Decisions that moved (1):", "  decision     before  after", "  make[Table]  15      20"]
    assert "Reading: " + READING in out
    assert "match no fact shown to the LLM: 7" in err
    assert "No files written" in out
    assert (tmp_path / "shop.mod").read_text() == MODEL and (tmp_path / "shop.dat").read_text() == DATA % 100
    question, reading = [r.json["input"] for r in shop.requests()]
    assert ls.prompt_kind(question) == "feedback" and "What-if scenario: what if the machine gets 20" in question
    assert "- make[Table]: 15 -> 20" in reading and "Change of the objective: 250" in reading

    assert cli.main(["whatif", "shop.mod", "shop.dat", "what if the machine gets 20 more hours?",
                     "-o", "new/shop.mod", "-d", "new/shop.dat", "--json"]) == 0
    result = json.loads(capsys.readouterr().out)
    assert result["moved"] == [{"name": "make[Table]", "before": 15.0, "after": 20.0}]
    assert (result["objective_change"], result["status"]) == (250.0, "solved")
    assert result["written"] == ["new/shop.mod", "new/shop.dat"]
    assert (tmp_path / "new" / "shop.dat").read_text() == revised and (tmp_path / "new" / "shop.mod").read_text() \
        == MODEL
    assert (tmp_path / "shop.dat").read_text() == DATA % 100


def test_whatif_rejects_a_revision_that_does_not_compile(shop, tmp_path, capsys):
    answer(shop, feedback=lambda prompt: json.dumps({"feedback": "Set the capacity.",
                                                     "revised_data": (DATA % 100).replace("100", "")}))
    assert cli.main(["whatif", "shop.mod", "shop.dat", "what if capacity doubles?", "-d", "new.dat"]) == 3
    err = capsys.readouterr().err
    assert "the revision for the scenario does not compile; it is rejected" in err and "tavro: data:4:" in err
    assert not (tmp_path / "new.dat").exists() and (tmp_path / "shop.dat").read_text() == DATA % 100
    assert [ls.prompt_kind(r.json["input"]) for r in shop.requests()] == ["feedback"]  # no reading


@pytest.mark.parametrize("text, unsupported", [
    ("The profit is 1350 and the machine is worth 12.5 an hour.", []),
    ("Profit 1,350.0 with a shadow price of about 12.50.", []),      # other forms of the same numbers
    ("A third of 1350 is 450.", ["450"]),                            # computed by the LLM
    ("1. Make 20 chairs.\n2. Make 15 tables.", []),                  # list markers are no numbers
    ("The plan uses 45% of the market.", ["45%"]),
    ("Only 0.33333 of the demand is met.", []),                      # the fact rounded as written
    ("A loss of -12.5 per hour; 99 and 99 again.", ["99"]),          # signs ignored, each number once
])
def test_unsupported_numbers(text, unsupported):
    shown = "Objective: 1350\n- Machine (shadow price 12.5)\n- make[Chair] = 20, make[Table] = 15, share 0.333333333"
    assert _explain.unsupported_numbers(text, shown) == unsupported


@pytest.mark.parametrize("ranging, expected", [
    (False, []),                                                          # not asked for: no ranges
    (True, ["- objective coefficient of make[Chair]: from 25 to infinity (now 30)",
            "- objective coefficient of make[Table]: from 0 to 60 (now 50)",
            "- limit of Machine: from 40 to 200", "- limit of Market[Chair]: from 0 to 50"]),
])
def test_ranges_are_facts_when_the_solver_gives_them(ranging, expected):
    from tavro import pipeline, solver

    problem = solver.build_problem(MODEL, DATA % 100)
    solution = solver.solve_problem(problem, options=solver.SolveOptions(ranging=ranging))
    facts = _explain.solver_facts(problem, solution)
    assert [line for line in facts if line.startswith(("- objective coefficient", "- limit of"))] == expected
    assert "- make[Table] = 15" in facts and pipeline.nonzero_values(solution.values) == [
        ("make[Chair]", 20.0), ("make[Table]", 15.0)]


# ---- data from tables: what the LLM may see ------------------------------------------------

TABLE_DATA = ('Products = csv("products.csv", "product");\nprofit = csv("products.csv", "product" -> "profit");\n'
              'hours = csv("products.csv", "product" -> "hours");\n'
              'demand = csv("products.csv", "product" -> "demand");\n'
              'capacity = csv("settings.csv", "setting" -> "value")["machine_hours"];\n')
# the first row of each table, then the rest
SHOWN_CELLS = {"Zorblax", "37", "3.25", "23", "machine_hours", "150"}
HIDDEN_CELLS = {"Quentel", "61", "7.75", "41"}


@pytest.fixture
def tables(shop, tmp_path):
    folder = tmp_path / "tables"
    folder.mkdir()
    (folder / "products.csv").write_text("product,profit,hours,demand\nZorblax,37,3.25,23\nQuentel,61,7.75,41\n")
    (folder / "settings.csv").write_text("setting,value\nmachine_hours,150\n")
    (tmp_path / "work").mkdir()
    (tmp_path / "work" / "shop.mod").write_text(MODEL)
    (tmp_path / "work" / "shop.dat").write_text(TABLE_DATA)
    return shop


def words(prompt):
    """The names and numbers of a prompt, numbers by value."""
    out = set()
    for word in re.findall(r"[A-Za-z_]\w*|\d+(?:\.\d+)?", prompt):
        out.add(str(float(word)) if word[0].isdigit() else word)
    return out


def cells(texts):
    return {str(float(t)) if t[0].isdigit() else t for t in texts}


@pytest.mark.parametrize("rows", [0, 1])
def test_explain_withholds_values_from_the_tables(tables, capsys, rows):
    answer(tables)
    argv = ["explain", "work/shop.mod", "work/shop.dat", "--data-dir", "tables"] + (["--rows", "1"] if rows else [])
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    (prompt,) = [r.json["input"] for r in tables.requests()]
    hidden = HIDDEN_CELLS | (set() if rows else SHOWN_CELLS - {"machine_hours"})  # a key the data file names
    assert not words(prompt) & cells(hidden)
    assert "make[<value>] = " in prompt and "withheld and shown as <value>" in prompt
    assert ("- make[Zorblax] = 23" in prompt) == bool(rows)
    # the user sees every fact, and what the LLM did not
    assert "  - make[Quentel] = 9.709677419\n" in out and "Withheld from the LLM" in out
    withheld = out[out.index("Withheld from the LLM"):].splitlines()[0]
    assert "Quentel" in withheld and ("Zorblax" in withheld) != bool(rows)


def test_whatif_withholds_values_from_the_tables_and_says_how_to_solve_again(tables, tmp_path, capsys):
    import shlex

    answer(tables, feedback=lambda prompt: json.dumps({"feedback": "Twenty more machine hours.",
                                                       "revised_data": TABLE_DATA.replace(
                                                           'csv("settings.csv", "setting" -> "value")'
                                                           '["machine_hours"]', "170")}))
    assert cli.main(["whatif", "work/shop.mod", "work/shop.dat", "what if the machine gets 20 more hours?",
                     "-o", "new/shop.mod", "-d", "new/shop.dat", "--data-dir", "tables"]) == 0
    out = capsys.readouterr().out
    question, reading = [r.json["input"] for r in tables.requests()]
    assert not words(question + reading) & cells(HIDDEN_CELLS | SHOWN_CELLS - {"machine_hours"})
    assert "- make[<value>]: " in reading and "  make[Quentel]" in out and "Withheld from the LLM" in out
    command = out[out.index("To solve the scenario again: "):].splitlines()[0].split(": ", 1)[1]
    assert command == "tavro solve new/shop.mod new/shop.dat --data-dir tables"
    assert cli.main(shlex.split(command)[1:] + ["--json"]) == 0
    assert json.loads(capsys.readouterr().out)["status"] == "optimal"


def test_values_the_user_names_are_theirs_to_send(tables, capsys):
    # A question or scenario that names a hidden cell sent it already: the
    # facts keep it, and the revision request says how the tables spell it.
    answer(tables)
    assert cli.main(["explain", "work/shop.mod", "work/shop.dat", "--data-dir", "tables",
                     "--question", "why so many Quentel?"]) == 0
    (prompt,) = [r.json["input"] for r in tables.requests()]
    assert "- make[Quentel] = " in prompt and not words(prompt) & cells(HIDDEN_CELLS - {"Quentel"})
    capsys.readouterr()
    answer(tables, feedback=lambda prompt: json.dumps({"feedback": "none", "revised_data": TABLE_DATA}))
    assert cli.main(["whatif", "work/shop.mod", "work/shop.dat", "what if quentel sells less?",
                     "--data-dir", "tables"]) == 0
    question = tables.requests()[-2].json["input"]
    assert 'spelled as in the tables: "Quentel".' in question  # matched regardless of case, spelled as held
    answer(tables, feedback=lambda prompt: json.dumps({"feedback": "none", "revised_data": TABLE_DATA}))
    assert cli.main(["whatif", "work/shop.mod", "work/shop.dat", "what if Quentel sells less?",
                     "--data-dir", "tables"]) == 0
    question, reading = [r.json["input"] for r in tables.requests()][-2:]
    assert 'spelled as in the tables: "Quentel".' in question
    assert not words(question + reading) & cells(HIDDEN_CELLS - {"Quentel"})


def test_numbers_in_the_users_words_reveal_no_cell(tables):
    # 41 is Quentel's hidden demand: "in at most 41 words" says nothing of which cell it is.
    answer(tables)
    assert cli.main(["explain", "work/shop.mod", "work/shop.dat", "--data-dir", "tables",
                     "--question", "Explain in at most 41 words"]) == 0
    (prompt,) = [r.json["input"] for r in tables.requests()]
    facts = prompt[:prompt.index("Explain in at most 41 words")]
    assert not words(facts) & cells(HIDDEN_CELLS)


@pytest.mark.parametrize("options, command", [
    # the tables beside the original data file: found from there, quoted for the shell
    (["-o", "new dir/s.mod", "-d", "new dir/s.dat"], "tavro solve 'new dir/s.mod' 'new dir/s.dat' --data-dir work"),
    (["-d", "s.dat"], "tavro solve work/shop.mod s.dat --data-dir work"),
    (["-o", "s.mod"], None),  # the data changed and were not written
])
def test_the_command_to_solve_a_scenario_again_works_from_here(tables, tmp_path, capsys, options, command):
    import shlex
    import shutil

    for name in ("products.csv", "settings.csv"):
        shutil.copy(tmp_path / "tables" / name, tmp_path / "work" / name)
    answer(tables, feedback=lambda prompt: json.dumps({"feedback": "Demand of each product only.",
                                                       "revised_data": TABLE_DATA + "// scenario\n"}))
    assert cli.main(["whatif", "work/shop.mod", "work/shop.dat", "what if?", *options, "--json"]) == 0
    result = json.loads(capsys.readouterr().out)
    assert result["solve_command"] == command
    if command:
        assert cli.main(shlex.split(command)[1:] + ["--json"]) == 0
        assert json.loads(capsys.readouterr().out)["status"] == "optimal"
