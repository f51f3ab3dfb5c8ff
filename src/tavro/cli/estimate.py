"""``tavro estimate``: the demonstration cost estimate of the token meter,
with the model and the price list it used."""

from __future__ import annotations

import argparse
import contextlib
import sys
from typing import TYPE_CHECKING, Any

from .options import add_output_options

if TYPE_CHECKING:
    from types import ModuleType

    from .prices import Prices

NAME = "estimate"
HELP = "print a demonstration cost estimate (21549 prompt and 7091 completion tokens)"

# The token meter's own default model for its demonstration.
DEFAULT_MODEL = "gpt-4.1"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", nargs="?", default=None, help="model name (default %s)" % DEFAULT_MODEL)
    parser.add_argument("--pricing", metavar="SOURCE",
                        help="price list URL or file (default: the public list; the copy shipped with the "
                             "package when that cannot be read)")
    parser.add_argument("--offline", action="store_true",
                        help="price with the list shipped with the package, fetch none (also TAVRO_OFFLINE=1)")
    add_output_options(parser, progress=False)


def run(args: argparse.Namespace) -> int:
    from .. import tokenmeter
    from .prices import Prices

    # Only --pricing names another list here: the demonstration is the token
    # meter's own, so $TAVRO_PRICING (the LLM commands' setting) does not apply.
    with Prices(args.pricing, args.offline) as prices:
        prices.ensure()
        if args.json:
            return estimate_json(tokenmeter, args.model, prices)
        costs = tokenmeter.exercise_estimate_costs(args.model)
        print(used_line(args.model, prices), flush=True)
        return note_unknown_price(costs, args.model, prices, tokenmeter)


def used_line(model: str | None, prices: Prices) -> str:
    """Which model and which price list the estimate used."""
    from .output import clean

    which = model or "%s (the default here; generate and feedback default to gpt-5)" % DEFAULT_MODEL
    return clean("model %s, prices: %s" % (which, prices.phrase()))


def estimate_json(tokenmeter: ModuleType, model: str | None, prices: Prices) -> int:
    """``tavro estimate --json``: the demonstration estimate as one JSON object
    (the record the library prints, read back from its display form), with
    the price list used."""
    import ast
    import io

    from .output import emit_json

    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        tokenmeter.exercise_estimate_costs(model)
    record = ast.literal_eval(buf.getvalue().strip())
    costs = record.get("estimated_costs") or {}
    record["price_known"] = "prompt_cost" in costs
    record["pricing"] = prices.to_json()
    emit_json(record)
    return 0 if record["price_known"] else note_unknown_price(costs, model, prices, tokenmeter)


def note_unknown_price(costs: Any, model: str | None, prices: Prices, tokenmeter: ModuleType) -> int:
    """A total of 0.0 without a prompt cost means no price was found: say so
    and return exit status 1 (0 when the price is known)."""
    from .output import clean

    if not isinstance(costs, dict) or "prompt_cost" in costs:
        return 0
    choice = prices.ensure()
    known = tokenmeter._parse_pricing(choice.source)
    what = ("model %s is not in the price list" % (model or DEFAULT_MODEL)) if known else "no prices could be read"
    where = choice.describe() if choice.bundled else choice.source
    print("tavro: %s (%s)" % (clean(what), clean(where)), file=sys.stderr, flush=True)
    return 1
