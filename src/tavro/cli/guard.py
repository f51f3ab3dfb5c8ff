"""Checks the command line makes before anything is sent to an LLM, and the
wording of the errors it reports afterwards."""

from __future__ import annotations

import argparse
import difflib
from typing import Any, Callable

from .. import _providers

__all__ = ["PROVIDER_NAMES", "check_provider", "iterations_type", "positive_int", "candidates_type",
           "check_description", "MAX_DESCRIPTION", "MAX_ITERATIONS", "MAX_CANDIDATES", "reword_error",
           "model_suggestion"]

# The names the provider choice accepts (any case, surrounding spaces ignored).
PROVIDER_NAMES = _providers.NAMES
MAX_DESCRIPTION = 100_000
MAX_ITERATIONS = 100
# Every candidate is a paid generation.
MAX_CANDIDATES = 10

# The library's missing-client messages, and the extra that installs each client.
_MISSING_CLIENT = {p.missing_client: (p.client, p.extra) for p in _providers.PROVIDERS}


def check_provider(parser: argparse.ArgumentParser, provider: str | None) -> None:
    """A usage error (exit 2) for a provider name the library would ignore."""
    if provider is None:
        return
    if provider.strip().lower() in PROVIDER_NAMES:
        return
    close = difflib.get_close_matches(provider.strip().lower(), PROVIDER_NAMES, n=1, cutoff=0.5)
    hint = "did you mean '%s'? " % close[0] if close else ""
    parser.error("unknown provider '%s'; %s(choose %s)" % (provider, hint, _providers.choices_text()))


def _whole_number(text: str, low: int, high: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("'%s' is not a whole number" % text) from None
    if not low <= value <= high:
        raise argparse.ArgumentTypeError("%d is outside %d..%d" % (value, low, high))
    return value


def iterations_type(text: str) -> int:
    """argparse type of --iterations: an int from 1 to MAX_ITERATIONS."""
    return _whole_number(text, 1, MAX_ITERATIONS)


def candidates_type(text: str) -> int:
    """argparse type of --candidates: an int from 1 to MAX_CANDIDATES."""
    return _whole_number(text, 1, MAX_CANDIDATES)


def positive_int(text: str) -> int:
    """argparse type of a count that may be 0 (--repair, --limit)."""
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


# argparse names the type in its message: "invalid _positive_int value: '-1'".
positive_int.__name__ = "_positive_int"


def check_description(parser: argparse.ArgumentParser, text: str, force: bool = False) -> None:
    if not text.strip():
        parser.error("the problem description is empty")
    if len(text) > MAX_DESCRIPTION and not force:
        parser.error("the problem description has %d characters (more than %d); every LLM call sends it, "
                     "so pass --force to go ahead" % (len(text), MAX_DESCRIPTION))


def _looks_like_unknown_model(message: str) -> bool:
    low = message.lower()
    return "model" in low and any(s in low for s in ("not found", "does not exist", "model_not_found",
                                                    "unknown model", "no such model"))


def model_suggestion(message: str, provider: str | None, model_name: str | None,
                     list_models: Callable[..., Any]) -> str:
    """' (did you mean ...?)' for an error that says the model is unknown, from
    the provider's free model listing; "" when there is nothing to suggest."""
    if not model_name or not _looks_like_unknown_model(message):
        return ""
    try:
        names = [str(n) for n in list_models(provider, model_name)]
    except Exception:
        return ""
    close = difflib.get_close_matches(model_name, names, n=3, cutoff=0.6)
    if not close:
        return ""
    return "; did you mean %s?" % " or ".join("'%s'" % c for c in close)


def reword_error(message: str) -> str:
    """The command line's wording of a library error (missing clients name the extra)."""
    hit = _MISSING_CLIENT.get(message)
    if hit:
        return "the %s client package is not installed: pip install 'tavro[%s]'" % hit
    return message
