"""The ``check`` and ``examples`` commands of the command line."""

import os

from . import _cli_check, _cli_examples
from ._cli_output import add_output_options, clean, emit_json

__all__ = ["add_check", "add_examples"]


def add_check(sub):
    p = sub.add_parser("check", help="compile a model and data file and report every error")
    p.add_argument("model_file", metavar="MODEL.mod")
    p.add_argument("data_file", metavar="DATA.dat")
    add_output_options(p, progress=False)
    p.set_defaults(run=_check, parser=p)


def _check(args):
    result = _cli_check.check_files(args.model_file, args.data_file)
    if args.json:
        emit_json(result)
    elif result["ok"]:
        print(_cli_check.summary_line(result["counts"]), flush=True)
    else:
        for err in result["errors"]:
            print(clean(_cli_check.error_line(err)), flush=True)
        n = len(result["errors"])
        print("%d error%s" % (n, "" if n == 1 else "s"), flush=True)
    return 0 if result["ok"] else 1


def add_examples(sub):
    p = sub.add_parser("examples", help="list the example problems, or copy one into the current folder")
    p.add_argument("name", nargs="?", metavar="NAME", help="example to copy (NAME.txt, NAME.mod, NAME.dat)")
    p.add_argument("--dir", default=".", metavar="FOLDER", help="where to copy the files (default: here)")
    p.add_argument("--force", action="store_true", help="overwrite files that exist")
    add_output_options(p, progress=False)
    p.set_defaults(run=_examples, parser=p)


def _examples(args):
    if args.name is None:
        entries = _cli_examples.list_examples()
        if args.json:
            emit_json({"examples": entries})
            return 0
        width = max(len(e["name"]) for e in entries)
        for e in entries:
            print("%-*s  %-14s %s" % (width, e["name"], _cli_examples.optimum_text(e["optimum"]), e["summary"]))
        return 0
    try:
        files = _cli_examples.copy_example(args.name, args.dir, args.force)
    except _cli_examples.UnknownExample as e:
        args.parser.error(str(e))
    if args.json:
        emit_json({"example": args.name, "files": files})
    else:
        for path in files:
            print("wrote %s" % os.path.normpath(path), flush=True)
    return 0
