"""Command line of the tavro package: ``python -m tavro`` or ``tavro``."""

import argparse
import sys


def _estimate(args):
    from . import tokenmeter

    if args.pricing is not None:
        tokenmeter.PRICING_URL = args.pricing
    tokenmeter.exercise_estimate_costs(args.model)
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="tavro", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    est = sub.add_parser("estimate", help="print a demonstration cost estimate")
    est.add_argument("model", nargs="?", default=None, help="model name (default gpt-4.1)")
    est.add_argument("--pricing", metavar="SOURCE", help="price list URL or file (default: tokenmeter.PRICING_URL)")
    est.set_defaults(run=_estimate)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
