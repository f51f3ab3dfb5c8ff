"""``tavro whatif MODEL.mod DATA.dat "what if ..." [-o NEW.mod -d NEW.dat]``:
the LLM revises the pair for a scenario, both are solved, and the report
shows the objective's change, every decision that moved and the LLM's
reading of the difference. The original files are written only when -o/-d
name them.

Exit status: 0 when both were solved (or the LLM proposed no revision), 1 on
a model error of the original (before any LLM call) or a failed LLM call, 2
on a usage error, 3 when the revision does not compile (its errors shown).
"""

from __future__ import annotations

import argparse
import os
from typing import Any

from . import guard
from .explain import add_data_options, check_inputs, print_withheld
from .options import add_llm_options, add_output_options
from .output import solve_line

NAME = "whatif"
HELP = "revise a model and data file for a scenario and compare the answers"
DESCRIPTION = ("Ask the LLM to revise a model and data file for a scenario, solve both, and show how the "
               "objective and the decisions moved.")

# The revision for the scenario does not compile.
EXIT_REJECTED = 3


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model_file", metavar="MODEL.mod")
    parser.add_argument("data_file", metavar="DATA.dat")
    parser.add_argument("scenario", metavar="SCENARIO", help='the change, e.g. "what if demand rises 10%%?"')
    parser.add_argument("-o", "--output", metavar="NEW.mod", default=None, help="write the scenario's model here")
    parser.add_argument("-d", "--data", metavar="NEW.dat", default=None, help="write the scenario's data here")
    add_data_options(parser)
    add_llm_options(parser)
    add_output_options(parser)


def run(args: argparse.Namespace) -> int:
    from .. import pipeline
    from ..semantic_error import SemanticError
    from .generate import output_problem
    from .output import clean, llm_session
    from .solve import _model_error

    guard.check_provider(args.parser, args.provider)
    if not args.scenario.strip():
        args.parser.error("the scenario is empty")
    check_inputs(args)
    for option, path in (("-o", args.output), ("-d", args.data)):
        problem = output_problem(path) if path is not None else None
        if problem:
            args.parser.error("argument %s: cannot write %s: %s" % (option, clean(path), clean(problem)))
    if args.output and args.data and os.path.realpath(args.output) == os.path.realpath(args.data):
        args.parser.error("-o and -d name the same file")
    from .preflight import require_provider

    require_provider(args)
    with llm_session(args) as out:
        try:
            result = pipeline.whatif(args.model_file, args.data_file, args.scenario, model_out=args.output,
                                     data_out=args.data, model_name=args.model, llm_provider=args.provider,
                                     data_dir=args.data_dir, time_limit=args.time_limit, rows=args.rows,
                                     progress=out.progress)
        except SemanticError as e:
            return _model_error(e, args)
        result["solve_command"] = solve_command(result, args)
        show(result, args)
        if not args.json and not args.quiet:
            out.summary()
    return EXIT_REJECTED if result["status"] == "rejected" else 0


def solve_command(result: dict[str, Any], args: argparse.Namespace) -> str | None:
    """The command that solves the written scenario from the current folder,
    with the folder of the tables its data bind; None unless every part the
    scenario changed was written."""
    from .._explain import bound_tables

    if not result["written"]:
        return None
    revised = {kind for kind in ("model", "data") if "--- %s (before)" % kind in result["diff"]}
    if "model" in revised and args.output is None or "data" in revised and args.data is None:
        return None
    model, data = args.output or args.model_file, args.data or args.data_file
    try:
        with open(data, encoding="utf-8") as f:
            binds = bool(bound_tables(f.read()))
    except (OSError, UnicodeDecodeError):
        binds = True
    # tables are found from the original data file's folder unless told
    folder = (args.data_dir if args.data_dir is not None else os.path.dirname(args.data_file) or ".") if binds else None
    return solve_line(model, data, folder)


def _cell(value: float | None) -> str:
    if value is None:
        return "-"
    from .._numbers import report_number

    return report_number(value)


def objective_line(result: dict[str, Any]) -> str:
    before, after = result["before"], result["after"]
    line = "Objective: %s \u2192 %s" % (_cell(before["objective"]), _cell(after["objective"]))
    change = result["objective_change"]
    if change is not None:
        line += " (%s%s" % ("+" if change >= 0 else "", _cell(change))
        if before["objective"]:
            line += ", %+.2f%%" % (100.0 * change / abs(before["objective"]))
        line += ")"
    if before["status"] != after["status"]:
        line += "; status %s \u2192 %s" % (before["status"], after["status"])
    return line


def show(result: dict[str, Any], args: argparse.Namespace) -> None:
    from .generate import print_warning
    from .output import emit_json, print_err, print_out
    from .solve import MAX_LINES, _limited, _table

    if args.json:
        emit_json(result)
        return
    print_out("Scenario: %s" % result["scenario"])
    if result["change"]:
        print_out("Change: %s" % result["change"])
    if result["status"] == "no_revision":
        print_out("The LLM proposed no revision for this scenario; nothing was solved again.")
        return
    if result["diff"]:
        print_out("Changed lines:")
        for line in result["diff"][:MAX_LINES]:
            print_out("  " + line)
    if result["status"] == "rejected":
        print_err("tavro: the revision for the scenario does not compile; it is rejected:")
        for error in result["errors"]:
            for line in error.splitlines():
                print_err("tavro: %s" % line)
        return
    print_out(objective_line(result))
    moved = result["moved"]
    if moved:
        print_out("Decisions that moved (%d):" % len(moved))
        shown, more = _limited(moved)
        rows = [(m["name"], _cell(m["before"]), _cell(m["after"])) for m in shown]
        for line in _table(rows, ("decision", "before", "after")) + more:
            print_out(line)
    else:
        print_out("No decision moved.")
    if result["reading"]:
        print_out("Reading: %s" % result["reading"])
    print_withheld(result["withheld"])
    for error in result["errors"]:
        print_err("tavro: %s" % error)
    if result["unsupported_numbers"]:
        print_warning("numbers in the reading that match no fact shown to the LLM: %s"
                      % ", ".join(result["unsupported_numbers"]))
    if result["written"]:
        print_out("Files written: %s" % ", ".join(result["written"]))
        if result["solve_command"]:
            print_out("To solve the scenario again: %s" % result["solve_command"])
        else:
            print_out("The scenario changed a file that was not written (give both -o NEW.mod and -d NEW.dat).")
    else:
        print_out("No files written (give -o NEW.mod -d NEW.dat to keep the scenario).")
