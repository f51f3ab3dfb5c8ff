"""A fake `google.generativeai`: configure, GenerativeModel.generate_content, list_models."""

import collections
import types


def gemini_response(text=None, candidates=None, usage=None, **extra):
    """A response with `text`, `candidates` of parts texts, `usage_metadata`.

    `candidates` is a list of lists of part texts; a part text of None gives a
    part whose text is None.
    """
    attrs = dict(extra)
    if text is not None:
        attrs["text"] = text
    if candidates is not None:
        attrs["candidates"] = [
            types.SimpleNamespace(content=types.SimpleNamespace(parts=[types.SimpleNamespace(text=t) for t in parts]))
            for parts in candidates
        ]
    if usage is not None:
        attrs["usage_metadata"] = types.SimpleNamespace(**usage)
    return types.SimpleNamespace(**attrs)


def genai_module(*replies, models=()):
    """`mod.configured` lists the api keys configured, `mod.created` the model
    names, `mod.calls` (model name, text, generation_config) of every request."""
    mod = types.ModuleType("google.generativeai")
    mod.script = collections.deque(replies)
    mod.configured = []
    mod.created = []
    mod.calls = []
    mod.models = list(models)

    def configure(*, api_key=None, **kwargs):
        mod.configured.append(api_key)

    class GenerativeModel:
        def __init__(self, model_name, **kwargs):
            self.model_name = model_name
            mod.created.append(model_name)

        def generate_content(self, contents, *, generation_config=None, **kwargs):
            from . import serve

            mod.calls.append((self.model_name, contents, generation_config))
            return serve(mod.script, contents)

    def list_models(**kwargs):
        return iter(mod.models)

    mod.configure = configure
    mod.GenerativeModel = GenerativeModel
    mod.list_models = list_models
    return mod
