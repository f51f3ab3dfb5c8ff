"""``tavro keys set|list|remove``: API keys kept once in the user's
configuration folder (see keystore.py), used when the provider's variable
is unset. Values are never printed."""

from __future__ import annotations

import argparse
import difflib
import os
import sys

from .. import _providers

NAME = "keys"
HELP = "store, list or remove the API keys used when OPENAI_API_KEY / GEMINI_API_KEY are unset"
DESCRIPTION = ("Keep an API key once: `tavro keys set openai` reads it without echo (or from standard input "
               "when piped) and stores it in your configuration folder, readable only by you. A key in the "
               "environment wins over a stored one.")

# The names of the providers that need a key, with their aliases.
_ALIASES = {alias: p.name for p in _providers.PROVIDERS if p.key_variable for alias in p.aliases}
_KEYED = " or ".join(p.name for p in _providers.PROVIDERS if p.key_variable)


def provider_name(text: str) -> str:
    """argparse type of NAME: openai or google (with the provider aliases)."""
    name = text.strip().lower()
    if name in _ALIASES:
        return _ALIASES[name]
    keyless = _providers.lookup(name)
    if keyless is not None:
        raise argparse.ArgumentTypeError("%s needs no key (it uses the server at %s)"
                                         % (keyless.name, keyless.address_variable))
    close = difflib.get_close_matches(name, list(_ALIASES), n=1, cutoff=0.5)
    hint = "did you mean '%s'? " % close[0] if close else ""
    raise argparse.ArgumentTypeError("unknown provider '%s'; %s(choose %s)" % (text, hint, _KEYED))


def add_arguments(parser: argparse.ArgumentParser) -> None:
    actions = parser.add_subparsers(dest="action", required=True, metavar="ACTION")
    set_ = actions.add_parser("set", help="store the key of a provider (read without echo, or from stdin)")
    set_.add_argument("name", metavar="NAME", type=provider_name, help="openai or google")
    listing = actions.add_parser("list", help="which keys are set, and where from (never the values)")
    listing.add_argument("--json", action="store_true", help="write exactly one JSON object to stdout")
    remove = actions.add_parser("remove", help="forget the stored key of a provider")
    remove.add_argument("name", metavar="NAME", type=provider_name, help="openai or google")


def run(args: argparse.Namespace) -> int:
    from . import keystore

    try:
        if args.action == "set":
            return _set(args)
        if args.action == "remove":
            return _remove(args)
        return _list(args)
    except keystore.KeyStoreError as e:
        print("tavro: %s" % e, file=sys.stderr, flush=True)
        return 1


def _read_key(name: str) -> str:
    if sys.stdin is not None and sys.stdin.isatty():
        import getpass

        return getpass.getpass("%s API key (input hidden): " % ("OpenAI" if name == "openai" else "Gemini"))
    return sys.stdin.readline() if sys.stdin is not None else ""


def _set(args: argparse.Namespace) -> int:
    from . import keystore

    key = _read_key(args.name).strip()
    if not key:
        args.parser.error("no key given")
    if any(c.isspace() or not c.isprintable() for c in key):
        args.parser.error("the key holds spaces or control characters; give it on one line")
    path = keystore.store(args.name, key)
    variable = keystore.KEY_VARIABLES[args.name]
    print("stored the %s key in %s (used when %s is unset)" % (args.name, path, variable), flush=True)
    if os.environ.get(variable):
        print("note: %s is set in this environment, so it wins over the stored key" % variable, flush=True)
    return 0


def _remove(args: argparse.Namespace) -> int:
    from . import keystore

    path = keystore.keys_file()
    if not keystore.remove(args.name, path):
        print("tavro: no %s key is stored (%s)" % (args.name, path), file=sys.stderr, flush=True)
        return 1
    print("removed the stored %s key from %s" % (args.name, path), flush=True)
    return 0


def _list(args: argparse.Namespace) -> int:
    from . import keystore
    from .output import emit_json

    path = keystore.keys_file()
    stored = keystore.load(path)
    rows = []
    for provider, variable in keystore.KEY_VARIABLES.items():
        in_env = bool(os.environ.get(variable))
        in_store = provider in stored
        used = "environment" if in_env else "stored" if in_store else None
        rows.append({"provider": provider, "variable": variable, "environment": in_env, "stored": in_store,
                     "used": used})
    if args.json:
        emit_json({"file": path, "keys": rows})
        return 0
    for row in rows:
        if row["environment"]:
            where = "set in the environment" + (" (a stored key is ignored)" if row["stored"] else "")
        elif row["stored"]:
            where = "stored in %s" % path
        else:
            where = "not set"
        print("%-7s %-15s %s" % (row["provider"], row["variable"], where), flush=True)
    return 0
