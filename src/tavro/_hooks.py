"""Process-wide wrappers of two ``tavro.modelwright`` attributes, with
per-thread state.

``generative_solve`` and ``generative_feedback`` look up
``_llm_generate_text`` and ``rag_rank`` on their module at call time, so one
wrapper installed on the module attribute sees every call they make. A
module attribute is shared by all threads; what each thread wants from the
wrapper (which meters to add usage to, which recording to write or replay,
which question to keep out of the few-shot examples) is thread-local state,
so concurrent workflows on several threads do not see each other's.

    with llm_hook.held(), metering() as meter:
        modelwright.generative_feedback(...)
    meter.usage   # {"prompt_tokens": ..., "completion_tokens": ...}

A wrapper is installed when its first holder arrives and removed when the last
one leaves (unless something else has wrapped the attribute meanwhile; then
it stays, passing calls through).

Work that a thread hands to threads of its own (the candidates of one
generation) takes the thread's state along: ``handover()`` captures it,
``adopted(state)`` installs it in the new thread, and ``candidate(k)``
numbers that thread's calls so that a recording tells candidates apart.
"""

from __future__ import annotations

import contextlib
import hashlib
import importlib
import json
import os
import re
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterator, TypeVar, Union

__all__ = ["AttributeHook", "UsageMeter", "metering", "llm_hook", "rank_hook", "Recording", "Replay",
           "ReplayMiss", "taping", "excluding", "near_duplicate", "candidate", "current_candidate", "handover",
           "adopted", "ThreadState"]

_T = TypeVar("_T")
_local = threading.local()


class AttributeHook:
    """Wraps ``module.attr`` with ``make_wrapper(original)`` while held."""

    def __init__(self, module_name: str, attr: str, make_wrapper: Callable[[Any], Any]) -> None:
        self.module_name = module_name
        self.attr = attr
        self.make_wrapper = make_wrapper
        self._lock = threading.Lock()
        self._holders = 0
        self._original: Any = None
        self._wrapper: Any = None

    def acquire(self) -> None:
        with self._lock:
            if self._holders == 0:
                module = importlib.import_module(self.module_name)
                self._original = getattr(module, self.attr)
                self._wrapper = self.make_wrapper(self._original)
                setattr(module, self.attr, self._wrapper)
            self._holders += 1

    def release(self) -> None:
        with self._lock:
            self._holders -= 1
            if self._holders == 0:
                module = importlib.import_module(self.module_name)
                if getattr(module, self.attr, None) is self._wrapper:
                    setattr(module, self.attr, self._original)
                self._original = self._wrapper = None

    @contextlib.contextmanager
    def held(self) -> Iterator[AttributeHook]:
        self.acquire()
        try:
            yield self
        finally:
            self.release()


def _stack(name: str) -> list[Any]:
    stack: list[Any] | None = getattr(_local, name, None)
    if stack is None:
        stack = []
        setattr(_local, name, stack)
    return stack


@contextlib.contextmanager
def _pushed(name: str, item: _T) -> Iterator[_T]:
    stack = _stack(name)
    stack.append(item)
    try:
        yield item
    finally:
        stack.remove(item)


# -- token usage ---------------------------------------------------------------

class UsageMeter:
    """Token sums of the LLM calls made on one thread while it is active."""

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
    def usage(self) -> dict[str, int]:
        return {"prompt_tokens": self.prompt_tokens, "completion_tokens": self.completion_tokens}


def metering(meter: UsageMeter | None = None) -> contextlib.AbstractContextManager[UsageMeter]:
    """Context: every LLM call of this thread adds its usage to ``meter``
    (and to every meter entered around it). Needs ``llm_hook`` held."""
    return _pushed("meters", meter if meter is not None else UsageMeter())


# -- recording and replay of LLM calls ------------------------------------------

class ReplayMiss(RuntimeError):
    """An LLM call that the recording being replayed does not hold."""


def candidate(number: int) -> contextlib.AbstractContextManager[int]:
    """Context: this thread's LLM calls belong to candidate ``number`` (1, 2,
    ...): a recording keeps the number with each call and a replay answers
    only from calls of the same candidate."""
    return _pushed("candidates", number)


def current_candidate() -> int | None:
    stack = _stack("candidates")
    return stack[-1] if stack else None


def _call_key(kwargs: dict[str, Any]) -> dict[str, Any]:
    provider = kwargs.get("provider")
    provider = getattr(provider, "value", provider)
    key = {
        "provider": None if provider is None else str(provider),
        "model": kwargs.get("model_name"),
        "parameters": {"max_tokens": kwargs.get("max_tokens"), "temperature": kwargs.get("temperature"),
                       "stop": kwargs.get("stop")},
        "prompt": kwargs.get("input_text"),
    }
    number = current_candidate()
    if number is not None:  # absent otherwise: recordings made without candidates replay unchanged
        key["candidate"] = number
    return key


def _describe_call(key: dict[str, Any]) -> str:
    prompt = key["prompt"] if isinstance(key["prompt"], str) else ""
    digest = hashlib.sha256(prompt.encode("utf-8", "replace")).hexdigest()[:12]
    head = re.sub(r"\s+", " ", prompt[:200]).strip()[:60]
    who = " (candidate %d)" % key["candidate"] if "candidate" in key else ""
    return "%s %s%s, prompt sha256 %s (%r...)" % (key["provider"], key["model"], who, digest, head)


_Inner = Callable[..., Any]


class Recording:
    """Appends every LLM call (provider, model, parameters, prompt, reply
    text, usage) to a JSON Lines file as it happens."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._lock = threading.Lock()  # candidates of one problem share the file
        folder = os.path.dirname(self.path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        # A problem run again starts a fresh recording.
        with open(self.path, "w", encoding="utf-8"):
            pass

    def call(self, inner: _Inner, kwargs: dict[str, Any]) -> tuple[Any, Any]:
        text, usage = inner(**kwargs)
        entry = dict(_call_key(kwargs), reply=text, usage=usage)
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self._lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(line)
            f.flush()
            os.fsync(f.fileno())
        return text, usage


class Replay:
    """Answers LLM calls from a Recording's file, without the network; each
    recorded call is used once, the first unused one with the same provider,
    model, parameters and prompt."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.entries: list[dict[str, Any]] = []
        self._lock = threading.Lock()
        try:
            with open(self.path, encoding="utf-8") as f:
                for line in f:
                    if line.endswith("\n") and line.strip():
                        self.entries.append(json.loads(line))
        except FileNotFoundError:
            pass
        self._used = [False] * len(self.entries)

    def call(self, inner: _Inner, kwargs: dict[str, Any]) -> tuple[Any, Any]:
        key = _call_key(kwargs)
        with self._lock:
            for i, entry in enumerate(self.entries):
                if not self._used[i] and all(entry.get(k) == v for k, v in key.items()):
                    self._used[i] = True
                    return entry.get("reply"), entry.get("usage") or {"prompt_tokens": 0, "completion_tokens": 0}
        raise ReplayMiss("LLM call not in the recording %s: %s" % (self.path, _describe_call(key)))


Tape = Union[Recording, Replay]


def taping(tape: Tape) -> contextlib.AbstractContextManager[Tape]:
    """Context: this thread's LLM calls go through ``tape`` (a Recording or
    a Replay). Needs ``llm_hook`` held."""
    return _pushed("tapes", tape)


def _wrap_llm(inner: _Inner) -> _Inner:
    def _llm_generate_text(*args: Any, **kwargs: Any) -> Any:
        meters = _stack("meters")
        tapes = _stack("tapes")
        if args or "capture_usage" not in kwargs or not (meters or tapes):
            return inner(*args, **kwargs)
        wanted = kwargs["capture_usage"]
        kwargs = dict(kwargs, capture_usage=True)
        if tapes:
            result = tapes[-1].call(inner, kwargs)
        else:
            result = inner(**kwargs)
        if isinstance(result, tuple) and len(result) == 2:
            text, usage = result
        else:
            text, usage = result, None
        for meter in list(meters):
            meter.add(usage)
        return (text, usage) if wanted else text

    _llm_generate_text.__wrapped__ = inner  # type: ignore[attr-defined]
    return _llm_generate_text


llm_hook = AttributeHook("tavro.modelwright", "_llm_generate_text", _wrap_llm)


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
    """What one thread's few-shot retrieval must leave out: descriptions that
    are near-duplicates of ``question``, and the files named in ``paths``."""

    def __init__(self, question: str, paths: Any = ()) -> None:
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


def _wrap_rank(inner: _Inner) -> _Inner:
    def rank_problem_descriptions(*args: Any, **kwargs: Any) -> Any:
        exclusions = _stack("exclusions")
        if args or not exclusions or not isinstance(kwargs.get("top_k"), int):
            return inner(*args, **kwargs)
        top_k = kwargs["top_k"]
        hits = inner(**dict(kwargs, top_k=top_k + _SPARE_HITS if top_k > 0 else top_k))
        kept = [h for h in hits if not any(e.excludes(h) for e in exclusions)]
        return kept[:top_k] if top_k > 0 else kept

    rank_problem_descriptions.__wrapped__ = inner  # type: ignore[attr-defined]
    return rank_problem_descriptions


rank_hook = AttributeHook("tavro.modelwright", "rag_rank", _wrap_rank)


def excluding(question: str, paths: Any = ()) -> contextlib.AbstractContextManager[Exclusion]:
    """Context: this thread's few-shot retrieval leaves out examples whose
    description is a near-duplicate of ``question`` (and the description
    files ``paths``). Needs ``rank_hook`` held."""
    return _pushed("exclusions", Exclusion(question, paths))


# -- handing a thread's state to threads of its own ---------------------------------

_STACKS = ("meters", "tapes", "exclusions", "candidates")


@dataclass(frozen=True)
class ThreadState:
    """What the hooks know about one thread: its meters, tapes, few-shot
    exclusions and candidate number."""

    stacks: dict[str, tuple[Any, ...]]


def handover() -> ThreadState:
    """This thread's hook state, to be ``adopted`` by a thread it starts."""
    return ThreadState({name: tuple(_stack(name)) for name in _STACKS})


@contextlib.contextmanager
def adopted(state: ThreadState) -> Iterator[None]:
    """Context: this thread meters, records and excludes as the thread that
    made ``state`` did (meters are shared and add under their own lock)."""
    saved = {name: _stack(name) for name in _STACKS}
    for name in _STACKS:
        setattr(_local, name, list(state.stacks.get(name, ())))
    try:
        yield
    finally:
        for name, stack in saved.items():
            setattr(_local, name, stack)
