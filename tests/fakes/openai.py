"""A fake `openai` package: OpenAI(api_key=...) with responses.create and models.list."""

import collections
import types


def response(text=None, output=None, usage=None, **extra):
    """A response object shaped like the client's: output_text, output, usage."""
    attrs = dict(extra)
    if text is not None:
        attrs["output_text"] = text
    if output is not None:
        attrs["output"] = output
    if usage is not None:
        attrs["usage"] = types.SimpleNamespace(**usage)
    return types.SimpleNamespace(**attrs)


class Responses:
    """`create` accepts any keywords; the requests are recorded as dict copies."""

    def __init__(self, script, calls):
        self._script = script
        self.calls = calls

    def create(self, **kwargs):
        from . import serve

        self.calls.append(dict(kwargs))
        return serve(self._script, kwargs)


class StrictResponses(Responses):
    """`create` whose signature names only model and input."""

    def create(self, *, model, input):  # noqa: A002 - the client's own parameter name
        return super().create(model=model, input=input)


class Models:
    def __init__(self, script, calls):
        self._script = script
        self.calls = calls

    def list(self):
        from . import serve

        self.calls.append(())
        return serve(self._script, None)


def openai_module(*replies, responses_class=Responses, models=()):
    """A module whose clients share one reply script and one call log.

    `mod.calls` lists the keyword arguments of every create call, `mod.clients`
    every client created (with its `api_key`), `mod.script` the pending replies.
    """
    mod = types.ModuleType("openai")
    mod.script = collections.deque(replies)
    mod.calls = []
    mod.clients = []
    mod.model_script = collections.deque(models)
    mod.model_calls = []

    class OpenAI:
        def __init__(self, api_key=None, **kwargs):
            self.api_key = api_key
            self.kwargs = kwargs
            self.responses = responses_class(mod.script, mod.calls)
            self.models = Models(mod.model_script, mod.model_calls)
            mod.clients.append(self)

    mod.OpenAI = OpenAI
    return mod
