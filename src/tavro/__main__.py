"""Command line of the tavro package: ``python -m tavro`` or ``tavro``."""

import argparse
import contextlib
import sys

from . import __version__, _cli_guard, _cli_output


def _shown(text, json_text=False):
    """``text`` as it may reach a terminal: control characters other than
    newline and tab escaped."""
    return _cli_output.clean(text, json_text)


def _print_progress(msg):
    print(_shown(msg), flush=True)


def _estimate(args):
    from . import tokenmeter

    source = args.pricing if args.pricing is not None else tokenmeter.PRICING_URL
    with _cli_output.patched(tokenmeter, "PRICING_URL", lambda _url: source):
        if args.json:
            return _cli_output.estimate_json(tokenmeter, args.model, source)
        costs = tokenmeter.exercise_estimate_costs(args.model)
        return _cli_output.note_unknown_price(costs, args.model, source, tokenmeter)


def _description(args, parser):
    if (args.description is None) == (args.file is None):
        parser.error("give the problem DESCRIPTION or -f FILE (exactly one)")
    if args.file is None:
        text = args.description
    elif args.file == "-":
        text = sys.stdin.read()
    else:
        with open(args.file, encoding="utf-8") as f:
            text = f.read()
    _cli_guard.check_description(parser, text, args.force)
    return text


def _generate(args):
    from . import _cli_generate, modelwright

    _cli_guard.check_provider(args.parser, args.provider)
    description = _description(args, args.parser)
    _cli_generate.check_outputs(args.parser, args)
    if getattr(args, "solve", False):
        from ._cli_eval import generate_solve

        return generate_solve(args, description)
    kwargs = {}
    if args.iterations is not None:
        kwargs["iterations"] = args.iterations
    with _cli_output.llm_session(args) as out:
        outcome = _cli_generate.Outcome(args.output, args.data, show=out.progress)
        result = outcome.run(
            modelwright.generative_solve,
            description,
            args.output,
            args.data,
            model_name=args.model or modelwright.MODEL_NAME,
            mode=getattr(modelwright.Grammar, args.mode.upper()),
            return_statistics=args.stats or args.json,
            alignment_check=False if args.no_alignment else None,
            llm_provider=args.provider,
            progress=outcome.progress,
            few_shot=not args.no_few_shot,
            **kwargs,
        )
        out.generated(result, args)
    return outcome.finish()


def _feedback(args):
    from . import modelwright

    _cli_guard.check_provider(args.parser, args.provider)
    with _cli_output.llm_session(args) as out:
        reply = modelwright.generative_feedback(
            args.question,
            args.model_file,
            args.data_file,
            model_name=args.model or modelwright.MODEL_NAME,
            llm_provider=args.provider,
            progress=out.progress,
        )
        out.feedback(reply, args)
    return 0


def _models(args):
    from . import modelwright

    _cli_guard.check_provider(args.parser, args.provider)
    names = modelwright.list_models(args.provider, args.model or modelwright.MODEL_NAME)
    if args.json:
        provider = modelwright._infer_provider(args.provider, args.model or modelwright.MODEL_NAME)
        _cli_output.emit_json({"provider": provider.value, "models": list(names)})
        return 0
    for name in names:
        print(_cli_output.clean(name))
    return 0


def _llm_options(p):
    p.add_argument("--provider", default=None,
                   help="openai, google or ollama (default: chosen from the model name)")
    p.add_argument("--model", default=None, help="LLM model name (default gpt-5)")
    p.add_argument("--timeout", type=float, default=None, metavar="SECONDS",
                   help="longest wait for one LLM call (default: $TAVRO_LLM_TIMEOUT, else 300)")


def build_parser():
    from . import _cli_eval

    parser = argparse.ArgumentParser(prog="tavro", description=__doc__)
    parser.add_argument("--version", action="version", version="tavro " + __version__)
    sub = parser.add_subparsers(dest="command", required=True)
    est = sub.add_parser("estimate", help="print a demonstration cost estimate")
    est.add_argument("model", nargs="?", default=None, help="model name (default gpt-4.1)")
    est.add_argument("--pricing", metavar="SOURCE", help="price list URL or file (default: tokenmeter.PRICING_URL)")
    _cli_output.add_output_options(est, progress=False)
    est.set_defaults(run=_estimate)

    gen = sub.add_parser("generate", help="write a model and data file from a problem description")
    gen.add_argument("description", nargs="?", default=None, help="the problem in plain language")
    gen.add_argument("-f", "--file", help="read the description from FILE instead ('-' for standard input)")
    gen.add_argument("--force", action="store_true",
                     help="send a description longer than %d characters" % _cli_guard.MAX_DESCRIPTION)
    gen.add_argument("-o", "--output", required=True, metavar="MODEL.mod", help="model file to write")
    gen.add_argument("-d", "--data", required=True, metavar="DATA.dat", help="data file to write")
    _llm_options(gen)
    gen.add_argument("--iterations", type=_cli_guard.iterations_type, default=None, metavar="N",
                     help="maximum generate/revise rounds, 1 to %d (default 5)" % _cli_guard.MAX_ITERATIONS)
    gen.add_argument("--no-alignment", action="store_true", help="skip the alignment check")
    gen.add_argument("--no-few-shot", action="store_true", help="do not show example problems to the LLM")
    gen.add_argument("--mode", choices=("bnf", "code", "none"), default="bnf",
                     help="grammar reference put into the prompts (default bnf)")
    gen.add_argument("--stats", action="store_true", help="print the statistics (JSON) instead of the assessment")
    _cli_output.add_output_options(gen)
    gen.set_defaults(run=_generate, parser=gen)
    _cli_eval.add_solve_options(gen)

    fb = sub.add_parser("feedback", help="ask a question about an existing model and data file")
    fb.add_argument("question")
    fb.add_argument("model_file", metavar="MODEL.mod")
    fb.add_argument("data_file", metavar="DATA.dat")
    _llm_options(fb)
    fb.add_argument("--write", action="store_true",
                    help="save the revised model and data into MODEL.mod and DATA.dat instead of printing them")
    _cli_output.add_output_options(fb)
    fb.set_defaults(run=_feedback, parser=fb)

    models = sub.add_parser("models", help="list the models a provider offers")
    _llm_options(models)
    _cli_output.add_output_options(models, progress=False)
    models.set_defaults(run=_models, parser=models)

    from . import _cli_commands

    _cli_commands.add_check(sub)
    _cli_commands.add_examples(sub)

    from ._cli_solve import add_parser as add_solve_parser

    add_solve_parser(sub)
    _cli_eval.add_eval_command(sub)
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
        return _cli_output.report_error(e, args)


if __name__ == "__main__":
    sys.exit(main())
