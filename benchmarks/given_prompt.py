"""Prompt size of a problem whose data are tables: a facility location over
about 50,000 cells (W warehouses with capacity and fixed cost, S stores with
demand, the W x S shipping costs in long format), generated with
``generate --data-dir`` (the tables summarised, --rows 3 and --rows 0)
against the same problem with every number written into its description,
as a word problem must be.

    python benchmarks/given_prompt.py [W S]

Counts are tokens of ``tavro.tokenmeter`` (tiktoken where installed, else
its estimate), for the first generation prompt (few-shot examples of each
mode included) and for the data file the LLM must write: bindings for the
tables, every number for the word problem. Token counts do not vary between
runs; the time to summarise the tables is given as a median of 5 with the
spread, against csv.reader of the same files.
"""

import csv
import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from solve_build import median_of  # noqa: E402

from tavro import _given, modelwright, tokenmeter  # noqa: E402

DESCRIPTION = (
    "A retailer decides which of its candidate warehouses to open and how to supply its stores from them. "
    "The file warehouses.csv lists each candidate warehouse (column warehouse) with the fixed cost of opening "
    "it (fixed_cost) and the most units it can ship (capacity). The file stores.csv gives each store (column "
    "store) and the units it needs (demand). The file supply_cost.csv gives the cost of shipping one unit from "
    "a warehouse to a store (columns warehouse, store, cost), one row for every pair. Every store must receive "
    "exactly its demand, only open warehouses may ship, and no warehouse may ship more than its capacity. "
    "Minimise the total of the fixed costs of the open warehouses and the shipping costs.")
BINDINGS = """\
Warehouses = csv("warehouses.csv", "warehouse");
Stores = csv("stores.csv", "store");
fixedCost = csv("warehouses.csv", "warehouse" -> "fixed_cost");
capacity = csv("warehouses.csv", "warehouse" -> "capacity");
demand = csv("stores.csv", "store" -> "demand");
cost = csv("supply_cost.csv", "warehouse", "store" -> "cost");
"""


def write_tables(folder, w, s, rng):
    tables = {
        "warehouses.csv": [("warehouse", "fixed_cost", "capacity")]
        + [("W%03d" % i, rng.randint(200, 900), rng.randint(300, 600)) for i in range(1, w + 1)],
        "stores.csv": [("store", "demand")] + [("S%03d" % j, rng.randint(20, 90)) for j in range(1, s + 1)],
        "supply_cost.csv": [("warehouse", "store", "cost")]
        + [("W%03d" % i, "S%03d" % j, round(rng.uniform(1, 10), 2)) for i in range(1, w + 1) for j in range(1, s + 1)],
    }
    for name, rows in tables.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8", newline="") as f:
            csv.writer(f, lineterminator="\n").writerows(rows)
    return tables


def word_problem(tables):
    """The description with every table written out, as compact as CSV."""
    parts = [DESCRIPTION.replace("The file ", "The table ")]
    for name, rows in tables.items():
        parts.append("%s:\n%s" % (name, "\n".join(",".join(map(str, row)) for row in rows)))
    return "\n\n".join(parts)


def literal_data(tables):
    """The data file a word problem's LLM writes: every number copied."""
    warehouses, stores = tables["warehouses.csv"][1:], tables["stores.csv"][1:]
    cost = {(a, b): c for a, b, c in tables["supply_cost.csv"][1:]}
    quoted = lambda rows: ", ".join('"%s"' % r[0] for r in rows)  # noqa: E731
    lines = ["Warehouses = {%s};" % quoted(warehouses), "Stores = {%s};" % quoted(stores),
             "fixedCost = [%s];" % ", ".join(str(r[1]) for r in warehouses),
             "capacity = [%s];" % ", ".join(str(r[2]) for r in warehouses),
             "demand = [%s];" % ", ".join(str(r[1]) for r in stores),
             "cost = [%s];" % ",\n  ".join("[%s]" % ", ".join(str(cost[a[0], b[0]]) for b in stores)
                                          for a in warehouses)]
    return "\n".join(lines) + "\n"


def tokens(text):
    return int(tokenmeter._count_openai_tokens(text, "gpt-5"))


def read_plain(folder):
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-8", newline="") as f:
            for _row in csv.reader(f):
                pass


def main(w, s):
    rng = random.Random(7)
    grammar = modelwright._get_grammar_implementation(modelwright.Grammar.BNF)
    with tempfile.TemporaryDirectory(prefix="tavro-given-") as folder:
        tables = write_tables(folder, w, s, rng)
        cells = sum(len(rows[0]) * (len(rows) - 1) for rows in tables.values())
        text = word_problem(tables)
        words = modelwright._build_generation_prompt(text, grammar, modelwright._gather_few_shots(text))
        shots = modelwright._gather_few_shots(DESCRIPTION, models_dir=_given.library_folder())
        given = {rows: _given.generation_prompt(_given.problem_text(DESCRIPTION, _given.read_tables(folder, rows)),
                                                grammar, shots) for rows in (3, 0)}
        summary = median_of(lambda: _given.read_tables(folder, 3))
        plain = median_of(lambda: read_plain(folder))
    counter = "tiktoken" if _has_tiktoken() else "tokenmeter's estimate"
    base = tokens(words)
    print("%d cells (%d warehouses, %d stores); tokens by %s" % (cells, w, s, counter))
    print("%-34s %9s %9s" % ("", "prompt", "data file"))
    print("%-34s %9d %9d" % ("numbers in the description", base, tokens(literal_data(tables))))
    for rows, prompt in given.items():
        print("%-34s %9d %9d   prompt %.4f of the word problem's (1/%.0f)" % (
            "--data-dir, --rows %d" % rows, tokens(prompt), tokens(BINDINGS), tokens(prompt) / base,
            base / tokens(prompt)))
    print("summarising the tables: %.1f ms [%.1f-%.1f], %.2fx csv.reader alone (%.1f ms [%.1f-%.1f])" % (
        summary[0] * 1e3, summary[1] * 1e3, summary[2] * 1e3, summary[0] / plain[0], plain[0] * 1e3,
        plain[1] * 1e3, plain[2] * 1e3))


def _has_tiktoken():
    try:
        import tiktoken  # noqa: F401
    except ImportError:
        return False
    return True


if __name__ == "__main__":
    args = [int(a) for a in sys.argv[1:3]] or [100, 164]
    main(*args)
