"""API keys kept once for the command line: ``keys.json`` in the user's
configuration folder (``$XDG_CONFIG_HOME/tavro``, else ``~/.config/tavro``),
the folder 0700 and the file 0600, written atomically.

The library reads keys only from the environment. When a command starts,
``apply`` sets each provider's variable that is unset (or empty) from the
stored key, for this process only; a variable that is set wins.

    {"openai": "sk-...", "google": "..."}
"""

from __future__ import annotations

import json
import os
import stat
from typing import MutableMapping

from .. import _providers

__all__ = ["KEY_VARIABLES", "KeyStoreError", "config_dir", "keys_file", "load", "store", "remove", "apply"]

# The providers that need a key, and the variable the library reads it from.
KEY_VARIABLES = {p.name: p.key_variable for p in _providers.PROVIDERS if p.key_variable}

FILE_NAME = "keys.json"


class KeyStoreError(RuntimeError):
    """The key file cannot be read or written."""


def config_dir(environ: MutableMapping[str, str] | None = None) -> str:
    env = os.environ if environ is None else environ
    base = env.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(base):  # the XDG rule: a relative value is ignored
        base = os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "tavro")


def keys_file(environ: MutableMapping[str, str] | None = None) -> str:
    return os.path.join(config_dir(environ), FILE_NAME)


def load(path: str | None = None) -> dict[str, str]:
    """The stored keys ({} when there is no file)."""
    path = path or keys_file()
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as e:
        raise KeyStoreError("cannot read the key file %s: %s" % (path, getattr(e, "strerror", None) or e)) from None
    if not isinstance(data, dict):
        raise KeyStoreError("cannot read the key file %s: not a JSON object" % path)
    return {str(k): v for k, v in data.items() if isinstance(v, str) and v}


def _private_folder(folder: str) -> None:
    os.makedirs(folder, mode=0o700, exist_ok=True)
    if stat.S_IMODE(os.stat(folder).st_mode) & 0o077:
        os.chmod(folder, 0o700)


def _save(keys: dict[str, str], path: str) -> None:
    from .._fileio import write_text_atomic

    try:
        _private_folder(os.path.dirname(path))
        # The atomic write keeps an existing file's mode: make sure there is one, 0600.
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            pass
        os.chmod(path, 0o600)
        write_text_atomic(path, json.dumps(keys, indent=2, sort_keys=True) + "\n", encoding="utf-8")
    except OSError as e:
        raise KeyStoreError("cannot write the key file %s: %s" % (path, e.strerror or e)) from None


def store(provider: str, key: str, path: str | None = None) -> str:
    """Stores ``key`` for ``provider``; returns the file's path."""
    path = path or keys_file()
    keys = load(path)
    keys[provider] = key
    _save(keys, path)
    return path


def remove(provider: str, path: str | None = None) -> bool:
    """Removes the stored key of ``provider``; False when none was stored."""
    path = path or keys_file()
    keys = load(path)
    if provider not in keys:
        return False
    del keys[provider]
    _save(keys, path)
    return True


def apply(environ: MutableMapping[str, str] | None = None) -> list[str]:
    """Sets every unset (or empty) key variable from the store; returns the
    variables set. The store is read only when a variable is missing."""
    env = os.environ if environ is None else environ
    missing = {p: v for p, v in KEY_VARIABLES.items() if not env.get(v)}
    if not missing:
        return []
    keys = load(keys_file(env))
    applied = []
    for provider, variable in missing.items():
        if keys.get(provider):
            env[variable] = keys[provider]
            applied.append(variable)
    return applied
