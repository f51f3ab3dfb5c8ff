"""``tavro feedback``: ask a question about an existing model and data file;
with --write, save the revision the LLM proposes once it compiles."""

from __future__ import annotations

import argparse
from typing import Any

from .options import add_data_dir_option, add_llm_options, add_output_options, add_pricing_options, data_dir_of

NAME = "feedback"
HELP = "ask a question about an existing model and data file"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("question")
    parser.add_argument("model_file", metavar="MODEL.mod")
    parser.add_argument("data_file", metavar="DATA.dat")
    add_data_dir_option(parser, "with --write: folder of the tables the revised data binds with csv(...), read "
                                "to check the revision (default: the data file's folder)")
    add_llm_options(parser)
    add_pricing_options(parser)
    parser.add_argument("--write", action="store_true",
                        help="save the revised model and data into MODEL.mod and DATA.dat instead of printing them")
    add_output_options(parser)


def run(args: argparse.Namespace) -> int:
    from .. import modelwright
    from . import guard
    from .files import require_inputs
    from .output import llm_session
    from .preflight import require_provider

    guard.check_provider(args.parser, args.provider)
    require_inputs(args.parser, args.model_file, args.data_file)
    require_provider(args)
    with llm_session(args) as out:
        reply = modelwright.generative_feedback(
            args.question,
            args.model_file,
            args.data_file,
            model_name=args.model or modelwright.MODEL_NAME,
            llm_provider=args.provider,
            progress=out.progress,
        )
        written = []
        if args.write and isinstance(reply, dict):
            written = write_revision(reply, args.model_file, args.data_file, data_dir_of(args))
        out.feedback(reply, args, written)
    return 0


def write_revision(reply: dict[str, Any], model_file: str, data_file: str, data_dir: str | None = None) -> list[str]:
    """Save the revised texts over the files, replaced together, once the
    revised pair compiles (its tables read from data_dir; None: the current
    folder; the command resolves --data-dir first); a revision that does not
    compile, or a write that fails, leaves both untouched."""
    from .. import _check
    from .._fileio import write_files_atomic

    model, data = reply.get("revised_model"), reply.get("revised_data")
    model = model if isinstance(model, str) and model.strip() else None
    data = data if isinstance(data, str) and data.strip() else None
    if model is None and data is None:
        return []
    texts: dict[str, str] = {}
    for path, new in ((model_file, model), (data_file, data)):
        if new is None:
            with open(path, encoding="utf-8") as f:
                new = f.read()
        texts[path] = new
    try:
        _check.counts(texts[model_file], texts[data_file], data_dir)
    except Exception as e:
        raise RuntimeError("the revised model and data do not compile, so %s and %s were left unchanged:\n%s"
                           % (model_file, data_file, e)) from None
    written = [path for path, new in ((model_file, model), (data_file, data)) if new is not None]
    write_files_atomic({path: texts[path] for path in written}, encoding="utf-8")
    return written
