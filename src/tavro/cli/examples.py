"""``tavro examples``: list the example problems shipped in the package, or
copy one into a folder."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from .options import add_output_options

NAME = "examples"
HELP = "list the example problems, or copy one into a folder (the current one by default)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("name", nargs="?", metavar="NAME", help="example to copy (NAME.txt, NAME.mod, NAME.dat)")
    parser.add_argument("--dir", default=".", metavar="FOLDER", help="where to copy the files (default: here)")
    parser.add_argument("--force", action="store_true", help="overwrite files that exist")
    add_output_options(parser, progress=False)


def run(args: argparse.Namespace) -> int:
    from .. import _examples
    from .output import clean, emit_json

    if args.name is None:
        entries = _examples.list_examples()
        if args.json:
            emit_json({"examples": entries})
            return 0
        width = max(len(e["name"]) for e in entries)
        for e in entries:
            print("%-*s  %-14s %s" % (width, e["name"], optimum_text(e["optimum"]), e["summary"]))
        return 0
    if os.path.exists(args.dir) and not os.path.isdir(args.dir):
        args.parser.error("--dir %s is not a folder" % clean(args.dir, one_line=True))
    try:
        files = _examples.copy_example(args.name, args.dir, args.force)
    except _examples.UnknownExample as e:
        args.parser.error(str(e))
    except FileExistsError:
        raise
    except OSError as e:
        from .files import why

        print("tavro: cannot write into %s: %s" % (clean(args.dir, one_line=True), why(e)), file=sys.stderr)
        return 1
    if args.json:
        emit_json({"example": args.name, "files": files})
    else:
        for path in files:
            print("wrote %s" % os.path.normpath(path), flush=True)
    return 0


def optimum_text(opt: dict[str, Any] | None) -> str:
    if not opt or "objective" not in opt:
        return "-"
    senses: dict[object, str] = {"minimize": "min", "maximize": "max"}
    sense = senses.get(opt.get("sense"), "")
    return ("%s %s" % (sense, "%g" % opt["objective"] if isinstance(opt["objective"], (int, float))
                       else opt["objective"])).strip()
