"""``tavro models``: the models a provider offers."""

from __future__ import annotations

import argparse

from .options import add_llm_options, add_output_options

NAME = "models"
HELP = "list the models a provider offers"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_llm_options(parser)
    add_output_options(parser, progress=False)


def run(args: argparse.Namespace) -> int:
    from .. import modelwright
    from . import guard
    from .output import clean, emit_json

    from .preflight import require_provider

    guard.check_provider(args.parser, args.provider)
    require_provider(args)
    names = modelwright.list_models(args.provider, args.model or modelwright.MODEL_NAME)
    if args.json:
        provider = modelwright._infer_provider(args.provider, args.model or modelwright.MODEL_NAME)
        emit_json({"provider": provider.value, "models": list(names)})
        return 0
    for name in names:
        print(clean(name))
    return 0
