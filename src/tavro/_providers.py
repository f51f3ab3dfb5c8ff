"""What the Python side knows about each LLM provider, in one table.

``modelwright`` keeps its own table (``kProviders`` in
``modelwright/llm/providers.cpp``: the ``LLMProvider`` members, the names
``llm_provider`` accepts, the model names that imply a provider); the facts
here are the ones our own code needs besides (which provider is free, which
key it reads, where its client connects, which extra installs its client).
tests/test_providers.py checks this table against the native module.
"""

from __future__ import annotations

import os
from typing import NamedTuple

__all__ = ["Provider", "PROVIDERS", "NAMES", "by_name", "lookup", "is_free", "address", "choices_text"]


class Provider(NamedTuple):
    name: str  # the LLMProvider value
    client: str  # the module of its client package
    aliases: tuple[str, ...]  # every name llm_provider accepts for it (any case, spaces around ignored)
    free: bool  # runs locally: no charge, no price list
    key_variable: str | None  # the environment variable holding its API key
    address_variable: str | None  # the environment variable naming its address
    default_address: str
    extra: str  # the pip extra that installs its client: tavro[EXTRA]
    missing_client: str  # modelwright's message when that client is not installed


PROVIDERS = (
    Provider(name="openai", client="openai", aliases=("openai", "oai"), free=False,
             key_variable="OPENAI_API_KEY", address_variable="OPENAI_BASE_URL",
             default_address="https://api.openai.com/v1", extra="openai",
             missing_client="openai is not installed. pip install openai"),
    Provider(name="google", client="google.generativeai", aliases=("google", "genai", "gemini", "google.generativeai"),
             free=False, key_variable="GEMINI_API_KEY", address_variable=None,
             default_address="https://generativelanguage.googleapis.com", extra="gemini",
             missing_client="google.generativeai is not installed. pip install google-generativeai"),
    Provider(name="ollama", client="ollama", aliases=("ollama",), free=True,
             key_variable=None, address_variable="OLLAMA_HOST",
             default_address="http://127.0.0.1:11434", extra="ollama",
             missing_client="ollama package is not installed. pip install ollama"),
)

# Every accepted provider name.
NAMES = tuple(alias for p in PROVIDERS for alias in p.aliases)

_BY_ALIAS = {alias: p for p in PROVIDERS for alias in p.aliases}


def lookup(name: str) -> Provider | None:
    """The provider a name (an ``llm_provider`` value) chooses, or None."""
    return _BY_ALIAS.get(name.strip().lower())


def by_name(provider: object) -> Provider | None:
    """The entry of an ``LLMProvider`` member or its value, or None."""
    value = getattr(provider, "value", provider)
    return next((p for p in PROVIDERS if p.name == value), None)


def is_free(provider: object) -> bool:
    """Whether calls to ``provider`` (a member, or its value) cost nothing."""
    entry = by_name(provider)
    return entry is not None and entry.free


def address(provider: object) -> str:
    """The address the provider's client package sends to: its variable when
    set, else the package's default; "?" for an unknown provider."""
    entry = by_name(provider)
    if entry is None:
        return "?"
    return (os.environ.get(entry.address_variable) if entry.address_variable else None) or entry.default_address


def choices_text() -> str:
    """'openai, google or ollama'."""
    names = [p.name for p in PROVIDERS]
    return ", ".join(names[:-1]) + " or " + names[-1]
