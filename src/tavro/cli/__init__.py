"""The command line: ``python -m tavro`` or ``tavro``.

Adding a command (say ``explain``) takes one module and one line:
1. ``cli/explain.py`` defines NAME = "explain", HELP (its line in ``tavro --help``),
   optionally DESCRIPTION (the head of ``tavro explain --help``), and the functions
   ``add_arguments(parser)`` and ``run(args) -> int`` (the exit status).
2. "explain" goes into COMMANDS below, at its place in the help's list.
Shared options come from options.py: ``add_llm_options`` (--provider, --model,
--timeout; ``main`` bounds each LLM call of a command that has --timeout) and
``add_output_options`` (--json, -q/--quiet, -v/--verbose). Print through
output.py; ``args.parser.error(...)`` is a usage error (exit 2), an exception one
``tavro:`` line (exit 1). ``tavro --help`` imports every command module: keep
their module-level imports light and import the library inside ``run``.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import sys
from typing import TYPE_CHECKING, Protocol, cast

from .. import _providers

if TYPE_CHECKING:
    from collections.abc import Sequence

__all__ = ["COMMANDS", "build_parser", "main"]

# The command modules, in the order ``tavro --help`` lists them: the free
# commands of a first session, then those that call an LLM, then the set-up.
COMMANDS = ("examples", "check", "solve", "generate", "feedback", "explain", "whatif", "eval", "models", "estimate",
            "keys")

_DESCRIPTION = ("Turn an optimisation problem written in plain language into a Tavro model and data file with "
                "an LLM, check the pair with Tavro's compiler, and solve it with HiGHS. check, solve and examples "
                "are free and need no LLM.")
_EPILOG = ("`tavro COMMAND --help` shows a command's options. Start with `tavro examples`. "
           "Keys: %s, or `tavro keys set openai`; a local Ollama server needs none."
           % " or ".join(p.key_variable for p in _providers.PROVIDERS if p.key_variable))


class Command(Protocol):
    """What a command module defines (DESCRIPTION is optional)."""

    NAME: str
    HELP: str

    def add_arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def run(self, args: argparse.Namespace) -> int: ...


def build_parser() -> argparse.ArgumentParser:
    from .. import __version__

    parser = argparse.ArgumentParser(prog="tavro", description=_DESCRIPTION, epilog=_EPILOG)
    parser.add_argument("--version", action="version", version="tavro " + __version__)
    sub = parser.add_subparsers(dest="command", required=True, title="commands", metavar="COMMAND")
    for name in COMMANDS:
        command = cast(Command, importlib.import_module("%s.%s" % (__name__, name)))
        p = sub.add_parser(command.NAME, help=command.HELP, description=getattr(command, "DESCRIPTION", None))
        command.add_arguments(p)
        p.set_defaults(run=command.run, parser=p)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    from .. import _deadline
    from .output import report_error
    from .preflight import quiet_provider_warnings

    parser = build_parser()
    args = parser.parse_args(argv)
    bounded: contextlib.AbstractContextManager[object] = contextlib.nullcontext()
    if hasattr(args, "timeout"):  # a command that calls an LLM: bound each call
        try:
            bounded = _deadline.llm_deadline(_deadline.llm_timeout(args.timeout))
        except ValueError as e:
            parser.error(str(e))
    try:
        with quiet_provider_warnings(getattr(args, "verbose", False)):
            if hasattr(args, "timeout"):
                _apply_stored_keys()
            with bounded:
                code: int = args.run(args)
                return code
    except KeyboardInterrupt:
        print("tavro: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader went away (`tavro examples | head`): nothing to say
        import os

        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except Exception as e:  # one line for the user, no traceback
        return report_error(e, args)


def _apply_stored_keys() -> None:
    """Sets unset key variables from ``tavro keys``' store, for this process."""
    from .keystore import KeyStoreError, apply

    try:
        apply()
    except KeyStoreError as e:  # the command may not need the key: say so, go on
        print("tavro: warning: %s" % e, file=sys.stderr, flush=True)
