"""``tavro check``: compile a model and data file, report every located error
or a one-line summary of what the pair declares."""

from __future__ import annotations

import argparse
from typing import Any

from .options import add_data_dir_option, add_output_options, data_dir_of

NAME = "check"
HELP = "compile a model and data file and report every error"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model_file", metavar="MODEL.mod")
    parser.add_argument("data_file", metavar="DATA.dat")
    add_data_dir_option(parser)
    add_output_options(parser, progress=False)


def run(args: argparse.Namespace) -> int:
    from .._check import check_texts
    from .files import read_input
    from .output import clean, emit_json

    model_code = read_input(args.parser, args.model_file)
    data_code = read_input(args.parser, args.data_file)
    result = check_texts(model_code, data_code, args.model_file, args.data_file, data_dir_of(args))
    if args.json:
        emit_json(result)
    elif result["ok"]:
        print(summary_line(result["counts"]), flush=True)
    else:
        for err in result["errors"]:
            print(clean(error_line(err)), flush=True)
        n = len(result["errors"])
        print("%d error%s" % (n, "" if n == 1 else "s"), flush=True)
    return 0 if result["ok"] else 1


def _plural(n: int, word: str) -> str:
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def summary_line(c: dict[str, Any]) -> str:
    where = "after instantiation" if c["instantiated"] else "as declared"
    return "ok: %s, %s, %s, %s (%s)" % (_plural(c["sets"], "set"), _plural(c["parameters"], "parameter"),
                                        _plural(c["variables"], "variable"),
                                        _plural(c["constraints"], "constraint"), where)


def error_line(err: dict[str, Any]) -> str:
    if err["file"] is None:
        return str(err["message"])
    return "%s:%d:%d: %s" % (err["file"], err["line"], err["column"], err["message"])
