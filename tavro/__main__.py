"""Command line of the tavro package: ``python -m tavro`` or ``tavro``."""

import argparse
import contextlib
import json
import os
import re
import sys
import tempfile

# Control characters other than tab and newline: C0, DEL and C1.
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")

# Exit status of a generate run whose final model and data do not compile.
EXIT_DOES_NOT_COMPILE = 3


def _shown(text, json_text=False):
    """``text`` as it may reach a terminal: every control character other than
    newline and tab escaped (``\\x1b``), so LLM text cannot move the cursor,
    clear the screen or retitle the window. In JSON output the escape is
    ``\\u001b``, which keeps the document valid and its values unchanged."""
    form = "\\u%04x" if json_text else "\\x%02x"
    return _CONTROL.sub(lambda m: form % ord(m.group()), str(text))


def _print_progress(msg):
    print(_shown(msg), flush=True)


def _print_json(value):
    print(_shown(json.dumps(value, indent=2, ensure_ascii=False, default=str), json_text=True), flush=True)


def _estimate(args):
    from types import SimpleNamespace

    from . import tokenmeter

    if args.pricing is not None:
        tokenmeter.PRICING_URL = args.pricing
    model = args.model or "gpt-4.1"
    priced = tokenmeter.estimate_costs(SimpleNamespace(model=model), {"prompt_tokens": 1, "completion_tokens": 1})
    if not {"prompt_cost", "completion_cost"} & set(priced):
        source = tokenmeter.PRICING_URL
        known = tokenmeter._parse_pricing(source) if isinstance(source, str) else {}
        what = "model %s is not in the price list" % model if known else "no prices could be read"
        print("tavro: %s (%s)" % (_shown(what), _shown(source)), file=sys.stderr)
        return 1
    tokenmeter.exercise_estimate_costs(args.model)
    return 0


def _description(args, parser):
    if (args.description is None) == (args.file is None):
        parser.error("give the problem DESCRIPTION or -f FILE (exactly one)")
    if args.file is None:
        return args.description
    with open(args.file, encoding="utf-8") as f:
        return f.read()


def _output_problem(path):
    """Why ``path`` cannot take an output file, or None."""
    if os.path.isdir(path) or path.endswith(("/", os.sep)):
        return "it is a folder"
    folder = os.path.dirname(os.path.abspath(path))
    existing = folder
    while not os.path.lexists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        return "%s is not a folder" % existing
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "permission denied"
    try:  # can a file (or the missing folders) be created there?
        if existing == folder:
            fd, probe = tempfile.mkstemp(dir=folder, prefix=".tavro-check-")
            os.close(fd)
            os.unlink(probe)
        else:
            os.rmdir(tempfile.mkdtemp(dir=existing, prefix=".tavro-check-"))
    except OSError as e:
        return e.strerror or str(e)
    return None


def _check_outputs(parser, args):
    """Usage errors for output paths that cannot be written, before the
    first LLM request is paid for."""
    for option, path in (("-o", args.output), ("-d", args.data)):
        problem = _output_problem(path)
        if problem:
            parser.error("argument %s: cannot write %s: %s" % (option, _shown(path), _shown(problem)))
    if os.path.realpath(args.output) == os.path.realpath(args.data):
        parser.error("-o and -d name the same file")


def _kept_name(path):
    root, ext = os.path.splitext(path)
    return root + ".compiled" + ext


class _Outcome:
    """Follows a generate run through its progress messages: whether the
    pair last written compiled, and the texts of the last pair that did, so
    that a run ending on a broken pair never leaves the user with less."""

    def __init__(self, model_file, data_file):
        self.paths = (model_file, data_file)
        self.written = False  # a pair was written and its verdict is pending
        self.compiles = None  # verdict on the last pair written
        self.good = None  # texts of the last pair that compiled

    def progress(self, msg):
        _print_progress(msg)
        msg = str(msg)
        if msg.startswith("Wrote files: "):
            self.written = True
        elif self.written:
            self.written = False
            self.compiles = not msg.startswith("Syntax/semantic errors found: ")
            if self.compiles:
                self.good = tuple(self._read(p) for p in self.paths)

    @staticmethod
    def _read(path):
        with open(path) as f:
            return f.read()

    def keep_good(self):
        """Writes the last compiling pair beside the outputs when the final
        pair does not compile; returns the two paths, or None."""
        if self.compiles is not False or self.good is None:
            return None
        from . import _fileio

        kept = tuple(_kept_name(p) for p in self.paths)
        for path, text in zip(kept, self.good):
            _fileio.write_text_atomic(path, text)
        print("tavro: the last model and data that compiled are kept in %s and %s"
              % tuple(_shown(p) for p in kept), file=sys.stderr)
        return kept

    def run(self, solve, *args, **kwargs):
        """``solve(*args, **kwargs)``; should it fail after a broken pair
        replaced one that compiled, that one is kept first."""
        try:
            return solve(*args, **kwargs)
        except BaseException:
            self.keep_good()
            raise

    def finish(self):
        """The exit status; for a final pair that does not compile, its errors
        and the files left are printed first."""
        if self.compiles is not False:
            return 0
        from . import modelwright

        try:
            modelwright.KelmCompiler().compile_model(*(self._read(p) for p in self.paths))
            errors = []
        except modelwright.SemanticError as e:
            errors = [str(e)]
        except Exception as e:
            errors = ["%s: %s" % (type(e).__name__, e)]
        print("tavro: the final model and data do not compile:", file=sys.stderr)
        for error in errors:
            print(_shown(error), file=sys.stderr)
        print("tavro: files written: %s and %s" % tuple(_shown(p) for p in self.paths), file=sys.stderr)
        self.keep_good()
        return EXIT_DOES_NOT_COMPILE


def _generate(args):
    from . import modelwright

    description = _description(args, args.parser)
    _check_outputs(args.parser, args)
    outcome = _Outcome(args.output, args.data)
    kwargs = {}
    if args.iterations is not None:
        kwargs["iterations"] = args.iterations
    result = outcome.run(
        modelwright.generative_solve,
        description,
        args.output,
        args.data,
        model_name=args.model or modelwright.MODEL_NAME,
        mode=getattr(modelwright.Grammar, args.mode.upper()),
        return_statistics=args.stats,
        alignment_check=False if args.no_alignment else None,
        llm_provider=args.provider,
        progress=outcome.progress,
        few_shot=not args.no_few_shot,
        **kwargs,
    )
    _print_json(result) if args.stats else print(_shown(result), flush=True)
    return outcome.finish()


def _feedback(args):
    from . import modelwright

    reply = modelwright.generative_feedback(
        args.question,
        args.model_file,
        args.data_file,
        model_name=args.model or modelwright.MODEL_NAME,
        llm_provider=args.provider,
        progress=_print_progress,
    )
    _print_json(reply)
    return 0


def _models(args):
    from . import modelwright

    for name in modelwright.list_models(args.provider, args.model or modelwright.MODEL_NAME):
        print(_shown(name))
    return 0


def _llm_options(p):
    p.add_argument("--provider", default=None,
                   help="openai, google or ollama (default: chosen from the model name)")
    p.add_argument("--model", default=None, help="LLM model name (default gpt-5)")
    p.add_argument("--timeout", type=float, default=None, metavar="SECONDS",
                   help="longest wait for one LLM call (default: $TAVRO_LLM_TIMEOUT, else 300)")


def build_parser():
    parser = argparse.ArgumentParser(prog="tavro", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    est = sub.add_parser("estimate", help="print a demonstration cost estimate")
    est.add_argument("model", nargs="?", default=None, help="model name (default gpt-4.1)")
    est.add_argument("--pricing", metavar="SOURCE", help="price list URL or file (default: tokenmeter.PRICING_URL)")
    est.set_defaults(run=_estimate)

    gen = sub.add_parser("generate", help="write a model and data file from a problem description")
    gen.add_argument("description", nargs="?", default=None, help="the problem in plain language")
    gen.add_argument("-f", "--file", help="read the description from FILE instead")
    gen.add_argument("-o", "--output", required=True, metavar="MODEL.mod", help="model file to write")
    gen.add_argument("-d", "--data", required=True, metavar="DATA.dat", help="data file to write")
    _llm_options(gen)
    gen.add_argument("--iterations", type=int, default=None, metavar="N",
                     help="maximum generate/revise rounds (default 5)")
    gen.add_argument("--no-alignment", action="store_true", help="skip the alignment check")
    gen.add_argument("--no-few-shot", action="store_true", help="do not show example problems to the LLM")
    gen.add_argument("--mode", choices=("bnf", "code", "none"), default="bnf",
                     help="grammar reference put into the prompts (default bnf)")
    gen.add_argument("--stats", action="store_true", help="print the statistics (JSON) instead of the assessment")
    gen.set_defaults(run=_generate, parser=gen)

    fb = sub.add_parser("feedback", help="ask a question about an existing model and data file")
    fb.add_argument("question")
    fb.add_argument("model_file", metavar="MODEL.mod")
    fb.add_argument("data_file", metavar="DATA.dat")
    _llm_options(fb)
    fb.set_defaults(run=_feedback)

    models = sub.add_parser("models", help="list the models a provider offers")
    _llm_options(models)
    models.set_defaults(run=_models)
    return parser


def main(argv=None):
    from . import _deadline

    parser = build_parser()
    args = parser.parse_args(argv)
    bounded = contextlib.nullcontext()
    if hasattr(args, "timeout"):  # a command that calls an LLM: bound each call
        try:
            bounded = _deadline.llm_deadline(_deadline.llm_timeout(args.timeout))
        except ValueError as e:
            parser.error(str(e))
    try:
        with bounded:
            return args.run(args)
    except KeyboardInterrupt:
        print("tavro: interrupted", file=sys.stderr)
        return 130
    except Exception as e:  # one line for the user, no traceback
        print("tavro: %s" % _shown(str(e) or type(e).__name__), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
