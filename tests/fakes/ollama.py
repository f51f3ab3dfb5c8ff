"""A fake `ollama`: module-level generate(model=, prompt=, options=) and list()."""

import collections
import types


def ollama_module(*replies, listing=None):
    """`mod.calls` holds the keyword arguments of every generate call."""
    mod = types.ModuleType("ollama")
    mod.script = collections.deque(replies)
    mod.calls = []

    def generate(model="", prompt="", options=None, **kwargs):
        from . import serve

        mod.calls.append(dict(model=model, prompt=prompt, options=options, **kwargs))
        return serve(mod.script, mod.calls[-1])

    def list_():
        return listing if listing is not None else {"models": []}

    mod.generate = generate
    mod.list = list_
    return mod
