"""The one way to change what ``tavro.modelwright`` does for the duration of
a block: wrap one of its attributes, or set a module setting.

``generative_solve``, ``generative_feedback`` and ``list_models`` look up
``_llm_generate_text``, ``list_models`` and ``rag_rank`` on the module at
each call, so a wrapper installed on the attribute sees every call they make.

- ``setting(module, name, value)``: ``module.name = value`` while the block
  runs; afterwards the previous value is put back (or the attribute removed
  if there was none). For process-wide settings: ``tokenmeter.PRICING_URL``,
  ``modelwright.KelmCompiler``, ...
- ``wrapping(module, name, layer, order=...)``: calls of ``module.name`` go
  through ``layer`` while the block runs. ``llm_call(layer, order=...)``
  wraps ``modelwright._llm_generate_text``.

A layer is ``layer(call, *args, **kwargs)``; it does its work around
``call(*args, **kwargs)``, the next layer inwards (innermost, the value the
attribute had when the first layer arrived). Layers compose in a fixed
order, outermost first::

    DEADLINE     bounds the call (tavro._deadline)
    PROGRESS     shows it (the command line's reporter)
    METERING     sums its token usage (metering)
    RECORDING    records it, or answers it from a recording (taping)

and among layers of one order, the one entered first is outermost.

Threads: a layer applies to the calls made on the thread that entered it,
or with ``every_thread=True`` to the calls of every thread (a command's
deadline and reporter, while candidates or eval jobs run on threads). The
chain of layers is put together on the calling thread when a call starts,
so a layer that moves the rest of the call to another thread takes the
caller's layers with it.

Usage: while a layer inside the deadline (progress, metering, record/replay)
is in the chain of an ``_llm_generate_text`` call, the call is made with
``capture_usage=True`` (every layer sees the ``(text, usage)`` pair: the
reporter shows it, the meter sums it, the tape keeps it) and the caller gets
what it asked for; a deadline alone passes the call on as it was made.
Positional arguments of that call reach the layers as keywords.

Threads of our own (the candidates of one generation) take their
starter's layers along: ``handover()`` on the starting thread captures
them, ``adopted(state)`` enters them on the new thread. ``candidate(k)``
numbers the calls of this thread for record/replay, so that concurrent
generations of one problem sharing one recording are told apart.

The attribute itself is replaced by one dispatcher when the first layer
arrives and restored when the last one leaves, unless something else has
replaced it meanwhile (then it stays, passing calls straight through).

    with _hooks.metering() as meter:
        modelwright.generative_feedback(...)
    meter.usage   # {"prompt_tokens": ..., "completion_tokens": ...}
"""

from __future__ import annotations

import contextlib
import hashlib
import itertools
import json
import os
import re
import threading
from collections.abc import Callable, Iterable, Iterator
from types import ModuleType
from typing import Any, NamedTuple

__all__ = ["DEADLINE", "PROGRESS", "METERING", "RECORDING", "Layer", "setting", "wrapping", "llm_call",
           "UsageMeter", "metering", "Recording", "Replay", "Tape", "ReplayMiss", "taping", "candidate",
           "current_candidate", "ThreadState", "handover", "adopted", "excluding", "near_duplicate"]

# The order of layers, outermost first.
DEADLINE = 10
PROGRESS = 20
METERING = 30
RECORDING = 40

# layer(call, *args, **kwargs) -> what call(*args, **kwargs) returns
Layer = Callable[..., Any]

Usage = dict[str, int]

_MISSING = object()


@contextlib.contextmanager
def setting(module: ModuleType, name: str, value: object) -> Iterator[None]:
    """``module.name = value`` until the block ends; then the previous value
    is put back, or the attribute removed if it had none."""
    previous = getattr(module, name, _MISSING)
    setattr(module, name, value)
    try:
        yield
    finally:
        if previous is _MISSING:
            delattr(module, name)
        else:
            setattr(module, name, previous)


# -- wrapped attributes ------------------------------------------------------------

class _Entry(NamedTuple):
    order: int
    seq: int
    layer: Layer


_sequence = itertools.count()


def _chain(entries: Iterable[_Entry], innermost: Callable[..., Any]) -> Callable[..., Any]:
    call = innermost
    for entry in sorted(entries, key=lambda e: (e.order, e.seq), reverse=True):
        call = _bind(entry.layer, call)
    return call


def _bind(layer: Layer, inner: Callable[..., Any]) -> Callable[..., Any]:
    def call(*args: Any, **kwargs: Any) -> Any:
        return layer(inner, *args, **kwargs)

    return call


class _Site:
    """One wrapped attribute: its layers, and the dispatcher that stands in
    for it while it has any."""

    def __init__(self, module: ModuleType, name: str) -> None:
        self.module = module
        self.name = name
        self.lock = threading.Lock()
        self.count = 0
        self.shared: tuple[_Entry, ...] = ()
        self.local = threading.local()
        self.original: Callable[..., Any] | None = None
        self.dispatcher: Callable[..., Any] | None = None

    def mine(self) -> list[_Entry]:
        """This thread's layers (a list the thread may change)."""
        entries: list[_Entry] | None = getattr(self.local, "entries", None)
        if entries is None:
            entries = self.local.entries = []
        return entries

    def entries(self) -> list[_Entry]:
        mine: list[_Entry] = getattr(self.local, "entries", [])
        return [*self.shared, *mine]

    def make_dispatcher(self, original: Callable[..., Any]) -> Callable[..., Any]:
        def dispatch(*args: Any, **kwargs: Any) -> Any:
            entries = self.entries()
            if not entries:
                return original(*args, **kwargs)
            return _chain(entries, original)(*args, **kwargs)

        return dispatch

    def enter(self, entry: _Entry, every_thread: bool) -> None:
        with self.lock:
            if self.count == 0:
                self.original = getattr(self.module, self.name)
                self.dispatcher = self.make_dispatcher(self.original)
                setattr(self.dispatcher, "__wrapped__", self.original)
                setattr(self.module, self.name, self.dispatcher)
            self.count += 1
            if every_thread:
                self.shared = (*self.shared, entry)
            else:
                self.mine().append(entry)

    def leave(self, entry: _Entry, every_thread: bool) -> None:
        with self.lock:
            if every_thread:
                self.shared = tuple(e for e in self.shared if e is not entry)
            else:
                # By number: candidate() may have put a renumbered copy in its place.
                mine = self.mine()
                mine[:] = [e for e in mine if e.seq != entry.seq]
            self.count -= 1
            if self.count == 0:
                if getattr(self.module, self.name, None) is self.dispatcher:
                    setattr(self.module, self.name, self.original)
                self.original = self.dispatcher = None


# _llm_generate_text's parameters, for its positional arguments.
_LLM_PARAMETERS = ("provider", "model_name", "input_text", "max_tokens", "temperature", "stop", "progress",
                   "capture_usage")


class _LLMSite(_Site):
    """``_llm_generate_text``: keyword arguments only, and the usage asked
    for on the layers' behalf."""

    def make_dispatcher(self, original: Callable[..., Any]) -> Callable[..., Any]:
        def _llm_generate_text(*args: Any, **kwargs: Any) -> Any:
            entries = self.entries()
            if not entries or len(args) > len(_LLM_PARAMETERS):
                return original(*args, **kwargs)
            if args:
                kwargs = dict(zip(_LLM_PARAMETERS, args), **kwargs)
            if all(e.order <= DEADLINE for e in entries):
                return _chain(entries, original)(**kwargs)
            wanted = kwargs.get("capture_usage", False)
            result = _chain(entries, original)(**dict(kwargs, capture_usage=True))
            if wanted:
                return result
            return result[0] if isinstance(result, tuple) and len(result) == 2 else result

        return _llm_generate_text


# Sites by (id(module), name); a site keeps its module, so the id stays its own.
_sites: dict[tuple[int, str], _Site] = {}
_sites_lock = threading.Lock()


def _site(module: ModuleType, name: str) -> _Site:
    with _sites_lock:
        site = _sites.get((id(module), name))
        if site is None:
            llm = module.__name__ == "tavro.modelwright" and name == "_llm_generate_text"
            site = _sites[id(module), name] = (_LLMSite if llm else _Site)(module, name)
        return site


@contextlib.contextmanager
def _entered(site: _Site, entries: Iterable[_Entry], every_thread: bool = False) -> Iterator[None]:
    done: list[_Entry] = []
    try:
        for entry in entries:
            site.enter(entry, every_thread)
            done.append(entry)
        yield
    finally:
        for entry in reversed(done):
            site.leave(entry, every_thread)


def wrapping(module: ModuleType, name: str, layer: Layer, *, order: int,
             every_thread: bool = False) -> contextlib.AbstractContextManager[None]:
    """Calls of ``module.name`` go through ``layer`` (at ``order``) while
    the block runs: the calls of this thread, or of every thread."""
    return _entered(_site(module, name), [_Entry(order, next(_sequence), layer)], every_thread)


def _modelwright() -> ModuleType:
    from . import modelwright

    return modelwright


def llm_call(layer: Layer, *, order: int, every_thread: bool = False) -> contextlib.AbstractContextManager[None]:
    """``wrapping(modelwright, "_llm_generate_text", layer, ...)``: the layer
    gets every argument as a keyword."""
    return wrapping(_modelwright(), "_llm_generate_text", layer, order=order, every_thread=every_thread)


def _split(result: object) -> tuple[object, Usage | None]:
    if isinstance(result, tuple) and len(result) == 2:
        return result[0], result[1] if isinstance(result[1], dict) else None
    return result, None


# -- token usage ---------------------------------------------------------------

class UsageMeter:
    """Token sums of the LLM calls made while it is active."""

    def __init__(self) -> None:
        self.prompt_tokens = 0
        self.completion_tokens = 0
        self.calls = 0
        self._lock = threading.Lock()

    def add(self, usage: object) -> None:
        usage = usage if isinstance(usage, dict) else {}
        with self._lock:
            self.calls += 1
            self.prompt_tokens += int(usage.get("prompt_tokens") or 0)
            self.completion_tokens += int(usage.get("completion_tokens") or 0)

    @property
    def usage(self) -> Usage:
        return {"prompt_tokens": self.prompt_tokens, "completion_tokens": self.completion_tokens}


@contextlib.contextmanager
def metering(meter: UsageMeter | None = None) -> Iterator[UsageMeter]:
    """Every LLM call of this thread adds its usage to ``meter`` (a new one
    when not given) while the block runs, and to every meter entered around
    it."""
    meter = meter if meter is not None else UsageMeter()

    def meter_layer(call: Callable[..., Any], **kwargs: Any) -> Any:
        result = call(**kwargs)
        meter.add(_split(result)[1])
        return result

    with llm_call(meter_layer, order=METERING):
        yield meter


# -- recording and replay of LLM calls ------------------------------------------

class ReplayMiss(RuntimeError):
    """An LLM call that the recording being replayed does not hold."""


def _call_key(kwargs: dict[str, Any], candidate: int | None) -> dict[str, Any]:
    provider = kwargs.get("provider")
    provider = getattr(provider, "value", provider)
    key = {
        "provider": None if provider is None else str(provider),
        "model": kwargs.get("model_name"),
        "parameters": {"max_tokens": kwargs.get("max_tokens"), "temperature": kwargs.get("temperature"),
                       "stop": kwargs.get("stop")},
        "prompt": kwargs.get("input_text"),
    }
    if candidate is not None:
        key["candidate"] = candidate
    return key


def _describe_call(key: dict[str, Any]) -> str:
    prompt = key["prompt"] if isinstance(key["prompt"], str) else ""
    digest = hashlib.sha256(prompt.encode("utf-8", "replace")).hexdigest()[:12]
    head = re.sub(r"\s+", " ", prompt[:200]).strip()[:60]
    who = "" if key.get("candidate") is None else ", candidate %d" % key["candidate"]
    return "%s %s%s, prompt sha256 %s (%r...)" % (key["provider"], key["model"], who, digest, head)


class Recording:
    """Appends every LLM call (provider, model, parameters, prompt, the
    candidate's number when given, reply text, usage) to a JSON Lines file
    as it happens: one write of a whole line, under a lock, fsync'ed, so
    threads recording into one file never interleave."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        folder = os.path.dirname(self.path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        self._lock = threading.Lock()
        # A problem run again starts a fresh recording.
        with open(self.path, "w", encoding="utf-8"):
            pass

    def call(self, inner: Callable[..., Any], kwargs: dict[str, Any], candidate: int | None = None) -> Any:
        result = inner(**kwargs)
        text, usage = _split(result)
        entry = dict(_call_key(kwargs, candidate), reply=text, usage=usage)
        line = (json.dumps(entry, ensure_ascii=False) + "\n").encode("utf-8")
        with self._lock:
            fd = os.open(self.path, os.O_WRONLY | os.O_APPEND)
            try:
                view = memoryview(line)
                while view:
                    view = view[os.write(fd, view):]
                os.fsync(fd)
            finally:
                os.close(fd)
        return result


class Replay:
    """Answers LLM calls from a Recording's file, without the network; each
    recorded call is used once, the first unused one with the same provider,
    model, parameters, prompt (and candidate, when the call has one)."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.entries: list[dict[str, Any]] = []
        try:
            with open(self.path, encoding="utf-8") as f:
                for line in f:
                    if line.endswith("\n") and line.strip():
                        self.entries.append(json.loads(line))
        except FileNotFoundError:
            pass
        self._used = [False] * len(self.entries)
        self._lock = threading.Lock()

    def call(self, inner: Callable[..., Any], kwargs: dict[str, Any],
             candidate: int | None = None) -> tuple[object, Usage]:
        key = _call_key(kwargs, candidate)
        with self._lock:
            for i, entry in enumerate(self.entries):
                if not self._used[i] and all(entry.get(k) == v for k, v in key.items()):
                    self._used[i] = True
                    return entry.get("reply"), entry.get("usage") or {"prompt_tokens": 0, "completion_tokens": 0}
        raise ReplayMiss("LLM call not in the recording %s: %s" % (self.path, _describe_call(key)))


Tape = Recording | Replay


class _TapeLayer:
    def __init__(self, tape: Tape, candidate: int | None) -> None:
        self.tape = tape
        self.candidate = candidate

    def __call__(self, call: Callable[..., Any], **kwargs: Any) -> Any:
        return self.tape.call(call, kwargs, self.candidate)


@contextlib.contextmanager
def taping(tape: Tape, candidate: int | None = None) -> Iterator[Tape]:
    """This thread's LLM calls go through ``tape`` (a Recording or a Replay)
    while the block runs; ``candidate`` (a number; by default this thread's
    ``current_candidate()``) tells apart the calls of concurrent generations
    of one problem that share the tape."""
    number = candidate if candidate is not None else current_candidate()
    with llm_call(_TapeLayer(tape, number), order=RECORDING):
        yield tape


_local = threading.local()


def current_candidate() -> int | None:
    """The number given by the innermost ``candidate()`` of this thread."""
    numbers: list[int] = getattr(_local, "candidates", [])
    return numbers[-1] if numbers else None


@contextlib.contextmanager
def candidate(number: int) -> Iterator[int]:
    """This thread's LLM calls belong to candidate ``number`` while the
    block runs: the tapes of this thread (entered before or inside the block)
    key their calls with it."""
    numbers: list[int] = getattr(_local, "candidates", None) or []
    _local.candidates = [*numbers, number]
    swapped: list[tuple[list[_Entry], _Entry]] = []
    for site in _all_sites():
        mine = site.mine()
        for i, entry in enumerate(mine):
            if isinstance(entry.layer, _TapeLayer):
                mine[i] = entry._replace(layer=_TapeLayer(entry.layer.tape, number))
                swapped.append((mine, entry))
    try:
        yield number
    finally:
        for mine, entry in swapped:
            mine[:] = [entry if e.seq == entry.seq else e for e in mine]
        _local.candidates = numbers


def _all_sites() -> list[_Site]:
    with _sites_lock:
        return list(_sites.values())


class ThreadState(NamedTuple):
    """The layers of one thread and its candidate number (``handover``)."""

    layers: tuple[tuple[_Site, tuple[_Entry, ...]], ...]
    candidate: int | None


def handover() -> ThreadState:
    """This thread's layers (meters, tapes, few-shot exclusions) and
    candidate number, for a thread it starts to ``adopt``."""
    layers = tuple((site, tuple(site.mine())) for site in _all_sites())
    return ThreadState(tuple((site, entries) for site, entries in layers if entries), current_candidate())


@contextlib.contextmanager
def adopted(state: ThreadState) -> Iterator[None]:
    """This thread's calls go through the layers of the thread that made
    ``state`` (in the same order, sharing its meters and tapes) while the
    block runs, as that thread's candidate if it had one."""
    with contextlib.ExitStack() as stack:
        for site, entries in state.layers:
            stack.enter_context(_entered(site, entries))
        if state.candidate is not None:
            stack.enter_context(candidate(state.candidate))
        yield


# -- few-shot exclusion -----------------------------------------------------------

def _words(text: str) -> list[str]:
    return re.findall(r"[a-z0-9]+(?:\.[0-9]+)?", text.lower())


def near_duplicate(a: str, b: str, threshold: float = 0.6) -> bool:
    """Whether two problem descriptions are the same problem in other
    whitespace, case or punctuation, or share most of their word trigrams
    (Jaccard similarity at least ``threshold``)."""
    wa, wb = _words(a), _words(b)
    if not wa or not wb:
        return False
    sa, sb = " ".join(wa), " ".join(wb)
    if sa == sb or (min(len(sa), len(sb)) >= 80 and (sa in sb or sb in sa)):
        return True
    ta = {tuple(wa[i:i + 3]) for i in range(max(1, len(wa) - 2))}
    tb = {tuple(wb[i:i + 3]) for i in range(max(1, len(wb) - 2))}
    return len(ta & tb) / len(ta | tb) >= threshold


class Exclusion:
    """What few-shot retrieval must leave out: descriptions that are
    near-duplicates of ``question``, and the files named in ``paths``."""

    def __init__(self, question: str, paths: Iterable[str] = ()) -> None:
        self.question = question
        self.paths = {os.path.realpath(p) for p in paths}

    def excludes(self, hit: object) -> bool:
        path = hit.get("path") if isinstance(hit, dict) else None
        if path is None:
            return False
        if os.path.realpath(os.fspath(path)) in self.paths:
            return True
        try:
            with open(path, encoding="utf-8", errors="ignore") as f:
                text = f.read()
        except OSError:
            return False
        return near_duplicate(self.question, text)


# Extra candidates asked of the ranker so that excluded hits can be replaced.
_SPARE_HITS = 4


@contextlib.contextmanager
def excluding(question: str, paths: Iterable[str] = ()) -> Iterator[Exclusion]:
    """This thread's few-shot retrieval (``rag_rank``) leaves out examples
    whose description is a near-duplicate of ``question``, and the
    description files ``paths``, while the block runs."""
    exclusion = Exclusion(question, paths)

    def exclusion_layer(call: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        top_k = kwargs.get("top_k")
        if args or not isinstance(top_k, int):
            return call(*args, **kwargs)
        hits = call(**dict(kwargs, top_k=top_k + _SPARE_HITS if top_k > 0 else top_k))
        kept = [h for h in hits if not exclusion.excludes(h)]
        return kept[:top_k] if top_k > 0 else kept

    with wrapping(_modelwright(), "rag_rank", exclusion_layer, order=RECORDING):
        yield exclusion
