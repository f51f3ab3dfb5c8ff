"""``tavro estimate``: the demonstration cost estimate of the token meter."""

from __future__ import annotations

import argparse
import contextlib
import sys
from typing import TYPE_CHECKING, Any

from .options import add_output_options

if TYPE_CHECKING:
    from types import ModuleType

NAME = "estimate"
HELP = "print a demonstration cost estimate"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", nargs="?", default=None, help="model name (default gpt-4.1)")
    parser.add_argument("--pricing", metavar="SOURCE",
                        help="price list URL or file (default: tokenmeter.PRICING_URL)")
    add_output_options(parser, progress=False)


def run(args: argparse.Namespace) -> int:
    from .. import _hooks, tokenmeter

    source = args.pricing if args.pricing is not None else tokenmeter.PRICING_URL
    with _hooks.setting(tokenmeter, "PRICING_URL", source):
        if args.json:
            return estimate_json(tokenmeter, args.model, source)
        costs = tokenmeter.exercise_estimate_costs(args.model)
        return note_unknown_price(costs, args.model, source, tokenmeter)


def estimate_json(tokenmeter: ModuleType, model: str | None, source: str | None = None) -> int:
    """``tavro estimate --json``: the demonstration estimate as one JSON object
    (the record the library prints, read back from its display form)."""
    import ast
    import io

    from .output import emit_json

    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        tokenmeter.exercise_estimate_costs(model)
    record = ast.literal_eval(buf.getvalue().strip())
    costs = record.get("estimated_costs") or {}
    record["price_known"] = "prompt_cost" in costs
    emit_json(record)
    return 0 if record["price_known"] else note_unknown_price(costs, model, source, tokenmeter)


def note_unknown_price(costs: Any, model: str | None, source: str | None, tokenmeter: ModuleType) -> int:
    """A total of 0.0 without a prompt cost means no price was found: say so
    and return exit status 1 (0 when the price is known)."""
    from .output import clean

    if not isinstance(costs, dict) or "prompt_cost" in costs:
        return 0
    known = tokenmeter._parse_pricing(source) if isinstance(source, str) else {}
    what = ("model %s is not in the price list" % (model or "gpt-4.1")) if known else "no prices could be read"
    print("tavro: %s (%s)" % (clean(what), clean(source)), file=sys.stderr, flush=True)
    return 1
