"""Command line of the tavro package: ``python -m tavro`` or ``tavro``."""

import argparse
import json
import sys


def _print_progress(msg):
    print(msg, flush=True)


def _estimate(args):
    from . import tokenmeter

    if args.pricing is not None:
        tokenmeter.PRICING_URL = args.pricing
    tokenmeter.exercise_estimate_costs(args.model)
    return 0


def _description(args, parser):
    if (args.description is None) == (args.file is None):
        parser.error("give the problem DESCRIPTION or -f FILE (exactly one)")
    if args.file is None:
        return args.description
    with open(args.file, encoding="utf-8") as f:
        return f.read()


def _generate(args):
    from . import modelwright

    description = _description(args, args.parser)
    if getattr(args, "solve", False):
        from ._cli_eval import generate_solve

        return generate_solve(args, description)
    kwargs = {}
    if args.iterations is not None:
        kwargs["iterations"] = args.iterations
    result = modelwright.generative_solve(
        description,
        args.output,
        args.data,
        model_name=args.model or modelwright.MODEL_NAME,
        mode=getattr(modelwright.Grammar, args.mode.upper()),
        return_statistics=args.stats,
        alignment_check=False if args.no_alignment else None,
        llm_provider=args.provider,
        progress=_print_progress,
        few_shot=not args.no_few_shot,
        **kwargs,
    )
    print(json.dumps(result, indent=2, ensure_ascii=False, default=str) if args.stats else result, flush=True)
    return 0


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
    print(json.dumps(reply, indent=2, ensure_ascii=False, default=str), flush=True)
    return 0


def _models(args):
    from . import modelwright

    for name in modelwright.list_models(args.provider, args.model or modelwright.MODEL_NAME):
        print(name)
    return 0


def _llm_options(p):
    p.add_argument("--provider", default=None,
                   help="openai, google or ollama (default: chosen from the model name)")
    p.add_argument("--model", default=None, help="LLM model name (default gpt-5)")


def build_parser():
    from . import _cli_eval

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
    _cli_eval.add_solve_options(gen)

    fb = sub.add_parser("feedback", help="ask a question about an existing model and data file")
    fb.add_argument("question")
    fb.add_argument("model_file", metavar="MODEL.mod")
    fb.add_argument("data_file", metavar="DATA.dat")
    _llm_options(fb)
    fb.set_defaults(run=_feedback)

    models = sub.add_parser("models", help="list the models a provider offers")
    _llm_options(models)
    models.set_defaults(run=_models)
    _cli_eval.add_eval_command(sub)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except KeyboardInterrupt:
        print("tavro: interrupted", file=sys.stderr)
        return 130
    except Exception as e:  # one line for the user, no traceback
        print("tavro: %s" % (str(e) or type(e).__name__), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
