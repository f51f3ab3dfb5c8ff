"""Deadlines put around blocking calls from outside them.

``call_with_deadline`` bounds one call. On the main thread an interval timer
(SIGALRM) interrupts the call where it blocks: the interrupt unwinds it like
any exception (sockets closed, ``finally`` blocks run) and is turned into the
caller's time-out error. Elsewhere, or without SIGALRM, the call runs on a
daemon worker thread that the caller waits for at most the deadline; an
overrunning worker is abandoned. (The main thread is preferred: a worker
abandoned inside native code can crash the interpreter's shutdown.)
``call_abandoning`` always takes the worker thread: for native code, which a
signal does not interrupt.

``llm_deadline`` bounds every LLM call of a command: for its duration it
replaces the module attributes ``tavro.modelwright._llm_generate_text`` and
``list_models`` with wrappers. The workflows look those attributes up at each
call, so the bound applies to every call they make, while the client
creation and requests inside stay exactly as they are. A call that overruns
raises ``LLMTimeoutError`` naming the provider, the model and the address
tried; progress messages of an abandoned worker are dropped.
"""

from __future__ import annotations

import contextlib
import math
import os
import signal
import threading
import time
from types import FrameType, ModuleType
from typing import Any, Callable, Iterator, TypeVar

__all__ = ["DEFAULT_LLM_TIMEOUT", "ENV_LLM_TIMEOUT", "LLMTimeoutError", "call_with_deadline", "call_abandoning",
           "llm_deadline", "llm_timeout", "provider_address"]

_T = TypeVar("_T")

DEFAULT_LLM_TIMEOUT = 300.0
ENV_LLM_TIMEOUT = "TAVRO_LLM_TIMEOUT"

# The addresses the client packages use when their variable is not set.
_DEFAULT_ADDRESSES = {
    "openai": ("OPENAI_BASE_URL", "https://api.openai.com/v1"),
    "ollama": ("OLLAMA_HOST", "http://127.0.0.1:11434"),
    "google": (None, "https://generativelanguage.googleapis.com"),
}

_WRAPPED = "__tavro_deadline_wraps__"

# Should the first interrupt be swallowed by the interrupted code, another
# follows after this many seconds.
_REPEAT = 0.5


class LLMTimeoutError(TimeoutError):
    """An LLM call that did not return within its deadline."""


class _Expired(BaseException):
    # Not an Exception: the retry loops and guards of the interrupted code
    # let it through, as they let KeyboardInterrupt through.
    pass


def call_with_deadline(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException],
                       *args: Any, **kwargs: Any) -> _T:
    """``fn(*args, **kwargs)``: its result, or what it raised, when it ends
    within ``seconds``; otherwise the exception that ``on_timeout()`` returns
    is raised."""
    if hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread():
        return _call_with_alarm(fn, seconds, on_timeout, args, kwargs)
    return _call_on_worker(fn, seconds, on_timeout, args, kwargs)


def call_abandoning(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException],
                    *args: Any, **kwargs: Any) -> _T:
    """``call_with_deadline`` on a daemon worker thread from any thread: past
    ``seconds`` the worker is abandoned (it runs on to its end, its result
    dropped). For native code, which a signal does not interrupt."""
    return _call_on_worker(fn, seconds, on_timeout, args, kwargs)


def _call_with_alarm(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException],
                     args: tuple[Any, ...], kwargs: dict[str, Any]) -> _T:
    armed = [True]
    token = _Expired()

    def expire(signum: int, frame: FrameType | None) -> None:
        if armed[0]:
            raise token

    started = time.monotonic()
    previous = signal.signal(signal.SIGALRM, expire)
    outer_delay, outer_interval = signal.setitimer(signal.ITIMER_REAL, seconds, _REPEAT)
    try:
        try:
            return fn(*args, **kwargs)
        finally:
            armed[0] = False
            signal.setitimer(signal.ITIMER_REAL, 0)
    except _Expired as e:
        if e is not token:
            raise
        raise on_timeout() from None
    finally:
        signal.signal(signal.SIGALRM, previous)
        if outer_delay:  # an enclosing timer goes on with the time it has left
            remaining = outer_delay - (time.monotonic() - started)
            signal.setitimer(signal.ITIMER_REAL, max(remaining, 1e-3), outer_interval)


def _call_on_worker(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException],
                    args: tuple[Any, ...], kwargs: dict[str, Any]) -> _T:
    outcome: list[tuple[bool, Any]] = []
    done = threading.Event()

    def work() -> None:
        try:
            outcome.append((True, fn(*args, **kwargs)))
        except BaseException as e:  # handed to the waiting thread
            outcome.append((False, e))
        finally:
            done.set()

    threading.Thread(target=work, name="tavro-deadline", daemon=True).start()
    if not done.wait(seconds):
        raise on_timeout()
    ok, value = outcome[0]
    if ok:
        result: _T = value
        return result
    try:
        raise value
    finally:
        del value


def llm_timeout(value: object = None) -> float:
    """Seconds per LLM call: ``value`` when given, else the environment
    variable TAVRO_LLM_TIMEOUT, else 300. ValueError unless a positive
    finite number."""
    source = "--timeout"
    if value is None:
        value = os.environ.get(ENV_LLM_TIMEOUT) or DEFAULT_LLM_TIMEOUT
        source = ENV_LLM_TIMEOUT
    try:
        seconds = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        seconds = math.nan
    if not (0 < seconds < math.inf):
        raise ValueError("%s must be a positive number of seconds, not %r" % (source, value))
    return seconds


def provider_address(provider: object) -> str:
    """The address a provider's client package sends to (``provider`` an
    ``LLMProvider`` member or its value)."""
    name = getattr(provider, "value", provider)
    variable, default = _DEFAULT_ADDRESSES.get(str(name), (None, "?"))
    return (os.environ.get(variable) if variable else None) or default


def _timeout_error(seconds: float, provider: object, what: str) -> LLMTimeoutError:
    return LLMTimeoutError("no reply from %s (%s, address %s) within %g s; set --timeout or %s to wait longer"
                           % (getattr(provider, "value", provider), what, provider_address(provider), seconds,
                              ENV_LLM_TIMEOUT))


def _gated(progress: object, expired: threading.Event) -> object:
    # Progress messages of an abandoned call are dropped.
    if not callable(progress):
        return progress

    def report(msg: object) -> None:
        if not expired.is_set():
            progress(msg)

    return report


def _bounded_generate(original: Callable[..., Any], seconds: float) -> Callable[..., Any]:
    def _llm_generate_text(*args: Any, **kwargs: Any) -> Any:
        expired = threading.Event()
        if "progress" in kwargs:
            kwargs["progress"] = _gated(kwargs["progress"], expired)
        provider = kwargs.get("provider", args[0] if args else None)
        model_name = kwargs.get("model_name", args[1] if len(args) > 1 else None)

        def timed_out() -> BaseException:
            expired.set()
            return _timeout_error(seconds, provider, "model %s" % model_name)

        return call_with_deadline(original, seconds, timed_out, *args, **kwargs)

    return _llm_generate_text


def _bounded_listing(module: ModuleType, original: Callable[..., Any], seconds: float) -> Callable[..., Any]:
    def list_models(*args: Any, **kwargs: Any) -> Any:
        def timed_out() -> BaseException:
            llm_provider = kwargs.get("llm_provider", args[0] if args else None)
            model_name = kwargs.get("model_name", args[1] if len(args) > 1 else module.MODEL_NAME)
            try:
                provider = module._infer_provider(llm_provider, model_name)
            except Exception:
                provider = llm_provider
            return _timeout_error(seconds, provider, "listing models")

        return call_with_deadline(original, seconds, timed_out, *args, **kwargs)

    return list_models


@contextlib.contextmanager
def llm_deadline(seconds: float, module: ModuleType | None = None) -> Iterator[None]:
    """Bounds each LLM call made through ``module`` (tavro.modelwright by
    default) to ``seconds`` while the block runs; the attributes are
    restored afterwards."""
    if module is None:
        from tavro import modelwright

        module = modelwright
    saved: dict[str, Any] = {}
    bound: ModuleType = module
    wrappers: tuple[tuple[str, Callable[[Callable[..., Any]], Callable[..., Any]]], ...] = (
        ("_llm_generate_text", lambda f: _bounded_generate(f, seconds)),
        ("list_models", lambda f: _bounded_listing(bound, f, seconds)))
    try:
        for name, wrap in wrappers:
            original = getattr(module, name, None)
            if original is None:
                continue
            saved[name] = original
            wrapper = wrap(getattr(original, _WRAPPED, original))
            setattr(wrapper, _WRAPPED, getattr(original, _WRAPPED, original))
            setattr(module, name, wrapper)
        yield
    finally:
        for name, original in saved.items():
            setattr(module, name, original)
