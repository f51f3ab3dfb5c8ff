"""What a command that calls an LLM checks before its first progress line:
the provider's key is set (or stored with ``tavro keys``), or the Ollama
server answers. Each failure is one line that says how to mend it.

Also: the provider client warnings (Google's deprecation and
unsupported-Python notices) hidden unless --verbose.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import socket
import urllib.parse
import warnings
from typing import Iterator

from .. import _providers
from . import keystore

__all__ = ["ProviderNotReady", "provider_of", "require_provider", "ollama_address", "quiet_provider_warnings"]

OLLAMA_DEFAULT_PORT = 11434
# Seconds to wait for the Ollama server to accept a connection.
OLLAMA_PROBE_SECONDS = 2.0
OLLAMA_HINT = "--provider ollama --model llama3"


class ProviderNotReady(RuntimeError):
    """The provider cannot be reached: no key, or no server."""


def provider_of(args: argparse.Namespace) -> str:
    """The provider a command will call (the LLMProvider value),
    chosen as the library chooses it: --provider, else from the model name."""
    from .. import modelwright

    provider = modelwright._infer_provider(args.provider, args.model or modelwright.MODEL_NAME)
    return str(getattr(provider, "value", provider))


def ollama_address(host: str | None = None) -> tuple[str, int]:
    """(host, port) of OLLAMA_HOST as the ollama client reads it: an optional
    scheme, a host (default 127.0.0.1) and a port (default 11434)."""
    text = (host if host is not None else os.environ.get("OLLAMA_HOST", "")).strip()
    if "://" not in text:
        text = "http://" + text
    parsed = urllib.parse.urlsplit(text)
    try:
        port = parsed.port
    except ValueError:
        port = None
    if port is None:
        port = 443 if parsed.scheme == "https" and ":" not in parsed.netloc else OLLAMA_DEFAULT_PORT
    return parsed.hostname or "127.0.0.1", port


def _ollama_answers(host: str, port: int) -> str | None:
    """None when a server accepts a connection at host:port, else why not."""
    try:
        with socket.create_connection((host, port), timeout=OLLAMA_PROBE_SECONDS):
            return None
    except OSError as e:
        return e.strerror or str(e) or type(e).__name__


def _client_missing(provider: str) -> bool:
    # Without its client package the library's own missing-package error
    # comes first (the command line names the extra).
    import importlib.util
    import sys

    entry = _providers.by_name(provider)
    name = entry.client if entry is not None else provider
    if name in sys.modules:  # imported already, or blocked with None
        return sys.modules[name] is None
    try:
        return importlib.util.find_spec(name) is None
    except (ImportError, ValueError):
        return True


def require_provider(args: argparse.Namespace) -> None:
    """Raises ProviderNotReady with a one-line hint when the provider of this
    command has no key (environment or store) or, for Ollama, no server."""
    provider = provider_of(args)
    if _client_missing(provider):
        return
    if provider == "ollama":
        host, port = ollama_address()
        why = _ollama_answers(host, port)
        if why is not None:
            raise ProviderNotReady(
                "no Ollama server answers at %s:%d (%s): start it with `ollama serve`, or set OLLAMA_HOST "
                "to its address" % (host, port, why))
        return
    variable = keystore.KEY_VARIABLES.get(provider)
    if variable is None or os.environ.get(variable):
        return
    raise ProviderNotReady(
        "%s environment variable not set. Set it (export %s=...), store it once with `tavro keys set %s`, "
        "or use a local model: %s" % (variable, variable, provider, OLLAMA_HINT))


# Messages of the provider client packages that say nothing about the user's
# run: google.generativeai's end-of-support notice, the "Python version past
# its end of life" notices of google.api_core and google.auth.
_PROVIDER_WARNINGS = r"(?is).*(google[.-]generativeai|google\.genai|python version|end of life)"


@contextlib.contextmanager
def quiet_provider_warnings(verbose: bool = False) -> Iterator[None]:
    """Hides the provider clients' deprecation and unsupported-Python warnings
    for the block, unless ``verbose``. Other warnings are left alone."""
    with warnings.catch_warnings():
        if not verbose:
            for category in (FutureWarning, DeprecationWarning, PendingDeprecationWarning, UserWarning):
                warnings.filterwarnings("ignore", category=category, module=r"google(\.|$)")
            for category in (FutureWarning, DeprecationWarning, PendingDeprecationWarning):
                warnings.filterwarnings("ignore", message=_PROVIDER_WARNINGS, category=category)
        yield
