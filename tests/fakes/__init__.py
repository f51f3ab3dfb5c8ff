"""Stand-ins for the provider client packages, installed into sys.modules.

Each factory returns a fresh module object that records every call and
serves scripted results: an exception instance in a script is raised, a
callable is called with the request, anything else is returned.

    fake = fakes.openai_module(fakes.response("hi"))
    fakes.install(monkeypatch, "openai", fake)
"""

import importlib
import sys
import types

from .genai import genai_module, gemini_response
from .ollama import ollama_module
from .openai import openai_module, response

__all__ = ["install", "uninstall", "openai_module", "response", "genai_module", "gemini_response",
           "ollama_module", "serve"]


def serve(script, request):
    """The next scripted item for `request`: raise, call or return it."""
    item = script.popleft() if script else None
    if isinstance(item, BaseException):
        raise item
    if callable(item):
        return item(request)
    return item


def install(monkeypatch, name, module):
    """Make `import name` find `module` for the rest of the test.

    A dotted name also gets a parent package when none is importable (the
    import system loads `google` before `google.generativeai`).
    """
    parent, _, leaf = name.rpartition(".")
    if parent:
        try:
            package = importlib.import_module(parent)
        except ImportError:
            package = types.ModuleType(parent)
            package.__path__ = []
            monkeypatch.setitem(sys.modules, parent, package)
        monkeypatch.setattr(package, leaf, module, raising=False)
    monkeypatch.setitem(sys.modules, name, module)
    return module


def uninstall(monkeypatch, name):
    """Make `import name` fail with ImportError for the rest of the test."""
    monkeypatch.setitem(sys.modules, name, None)


def module(name, **attrs):
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    return mod
