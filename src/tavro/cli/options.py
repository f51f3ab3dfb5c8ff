"""Options that several commands share, declared once: the LLM options
(--provider, --model, --timeout), the price list options (--pricing,
--offline), the data folder (--data-dir) and the output options (--json,
-q/--quiet, -v/--verbose)."""

from __future__ import annotations

import argparse
import os

from .. import _providers

__all__ = ["add_llm_options", "add_pricing_options", "add_output_options", "pricing_source",
           "add_data_dir_option", "data_dir_of"]

_JSON_HELP = "write exactly one JSON object to stdout (progress goes to stderr)"


def add_llm_options(parser: argparse.ArgumentParser, *, provider_default: str = "chosen from the model name",
                    timeout_note: str = "") -> None:
    """--provider, --model and --timeout. A command that has --timeout calls
    an LLM: ``main`` bounds each of its calls by it."""
    parser.add_argument("--provider", default=None,
                        help="%s (default: %s)" % (_providers.choices_text(), provider_default))
    parser.add_argument("--model", default=None, help="LLM model name (default gpt-5)")
    parser.add_argument("--timeout", type=float, default=None, metavar="SECONDS",
                        help="longest wait for one LLM call (default: $TAVRO_LLM_TIMEOUT, else 300)" + timeout_note)


def add_pricing_options(parser: argparse.ArgumentParser) -> None:
    """--pricing and --offline: which price list the costs come from."""
    parser.add_argument("--pricing", default=None, metavar="SOURCE",
                        help="price list URL or file (default: $TAVRO_PRICING, else the public list; the copy "
                             "shipped with the package when that cannot be read)")
    parser.add_argument("--offline", action="store_true",
                        help="price with the list shipped with the package, fetch none (also TAVRO_OFFLINE=1)")


def pricing_source(args: argparse.Namespace) -> str | None:
    """The price list the user named: --pricing, else $TAVRO_PRICING, else None
    (the default, ``tokenmeter.PRICING_URL``)."""
    source: str | None = getattr(args, "pricing", None)
    return source if source is not None else (os.environ.get("TAVRO_PRICING") or None)


_DATA_DIR_HELP = "folder of the tables the data file binds with csv(...) (default: the data file's folder)"


def add_data_dir_option(parser: argparse.ArgumentParser, help: str = _DATA_DIR_HELP) -> None:
    """--data-dir: where the data file's csv(...) tables are found."""
    parser.add_argument("--data-dir", default=None, metavar="DIR", help=help)


def data_dir_of(args: argparse.Namespace) -> str | None:
    """The folder of the data's tables: --data-dir, else the data file's folder."""
    from .._data import tables_folder

    return tables_folder(args.data_file, args.data_dir)


def add_output_options(parser: argparse.ArgumentParser, *, progress: bool = True, json_help: str = _JSON_HELP) -> None:
    """--json everywhere; --quiet/--verbose where the command shows progress."""
    parser.add_argument("--json", action="store_true", help=json_help)
    if progress:
        level = parser.add_mutually_exclusive_group()
        level.add_argument("-q", "--quiet", action="store_true", help="no progress output, only the result")
        level.add_argument("-v", "--verbose", action="store_true", help="also show the package's debug log")
