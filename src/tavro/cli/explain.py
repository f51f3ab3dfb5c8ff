"""``tavro explain MODEL.mod DATA.dat [--question Q]``: solve a pair and have
the LLM explain the answer from the solver's facts; the facts and the
explanation are both printed, and numbers of the explanation that match no
fact are flagged.

Exit status: 0 with an explanation, 1 on a model error (the compiler's
messages, before any LLM call) or a failed LLM call, 2 on a usage error.
"""

from __future__ import annotations

import argparse
from typing import Any

from . import guard
from .options import add_data_dir_option, add_llm_options, add_output_options

NAME = "explain"
HELP = "solve a model and data file and explain the answer in plain language"
DESCRIPTION = ("Solve a model and data file, then ask the LLM to explain the answer from the solver's facts "
               "(decisions, binding constraints and shadow prices, ranges) and the model's comments.")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model_file", metavar="MODEL.mod")
    parser.add_argument("data_file", metavar="DATA.dat")
    parser.add_argument("--question", metavar="Q", default=None,
                        help="what to explain (default: the plan and the limits that decide it)")
    add_data_options(parser)
    add_llm_options(parser)
    add_output_options(parser)


def add_data_options(parser: argparse.ArgumentParser) -> None:
    """--data-dir, --rows and --time-limit, shared with ``tavro whatif``."""
    add_data_dir_option(parser, "folder of the tables the data binds (default: the data file's folder)")
    parser.add_argument("--rows", type=guard.positive_int, default=0, metavar="N",
                        help="values from the tables the data binds are withheld from the LLM, but for the first N "
                             "rows of each table (default 0)")
    parser.add_argument("--time-limit", type=float, default=None, metavar="S", help="solver time limit")


def check_inputs(args: argparse.Namespace) -> None:
    """Usage errors for unreadable inputs and bad limits, before any work."""
    from .files import read_input

    for path in (args.model_file, args.data_file):
        read_input(args.parser, path)
    if args.time_limit is not None and not args.time_limit > 0:
        args.parser.error("--time-limit must be a positive number of seconds")


def run(args: argparse.Namespace) -> int:
    from .. import pipeline
    from ..semantic_error import SemanticError
    from .output import llm_session
    from .solve import _model_error

    from .preflight import require_provider

    guard.check_provider(args.parser, args.provider)
    check_inputs(args)
    require_provider(args)
    with llm_session(args) as out:
        try:
            result = pipeline.explain(args.model_file, args.data_file, args.question, model_name=args.model,
                                      llm_provider=args.provider, data_dir=args.data_dir,
                                      time_limit=args.time_limit, rows=args.rows, progress=out.progress)
        except SemanticError as e:
            return _model_error(e, args)
        show(result, args)
        if not args.json and not args.quiet:
            out.summary()
    return 0


def show(result: dict[str, Any], args: argparse.Namespace) -> None:
    from .generate import print_warning
    from .output import emit_json, print_out

    if args.json:
        emit_json(result)
        return
    print_out("Facts from the solver:" if result["withheld"] else "Facts shown to the LLM:")
    for line in result["facts"]:
        print_out("  " + line)
    print_withheld(result["withheld"])
    print_out("")
    print_out("Explanation:")
    for line in (result["explanation"] or "(the LLM gave no explanation)").splitlines():
        print_out("  " + line)
    if result["unsupported_numbers"]:
        print_warning("numbers in the explanation that match no fact shown to the LLM: %s"
                      % ", ".join(result["unsupported_numbers"]))


# At most this many withheld values are named.
WITHHELD_SHOWN = 20


def print_withheld(withheld: list[str]) -> None:
    """Says which values from the tables the LLM saw as <value>."""
    from .output import print_out

    if not withheld:
        return
    named = ", ".join(withheld[:WITHHELD_SHOWN]) + (", ..." if len(withheld) > WITHHELD_SHOWN else "")
    print_out("  Withheld from the LLM (values from the tables, shown to it as <value>; --rows N shows it those of "
              "each table's first N rows): %d value%s: %s" % (len(withheld), "" if len(withheld) == 1 else "s",
                                                              named))
