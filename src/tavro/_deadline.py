"""Deadlines put around blocking calls from outside them.

``call_with_deadline`` bounds one call. On the main thread an interval timer
(SIGALRM) interrupts the call where it blocks: the interrupt unwinds it like
any exception (sockets closed, ``finally`` blocks run) and is turned into the
caller's time-out error. Elsewhere, or without SIGALRM, the call runs on a
daemon worker thread that the caller waits for at most the deadline; an
overrunning worker is abandoned. (The main thread is preferred: a worker
abandoned inside native code can crash the interpreter's shutdown; native
work is bounded by the deadline and cancel event it is given instead, see
tavro._work.)

``llm_deadline`` bounds every LLM call of a command: for its duration the
calls of ``tavro.modelwright._llm_generate_text`` and ``list_models`` get a
deadline layer, the outermost (tavro._hooks). The client creation and
requests inside stay exactly as they are. A call that overruns raises
``LLMTimeoutError`` naming the provider, the model and the address tried;
progress messages of an abandoned worker are dropped.
"""

from __future__ import annotations

import contextlib
import math
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator
from types import FrameType, ModuleType
from typing import Any, TypeVar

from . import _hooks, _providers

__all__ = ["DEFAULT_LLM_TIMEOUT", "ENV_LLM_TIMEOUT", "LLMTimeoutError", "call_with_deadline", "llm_deadline",
           "llm_timeout"]

DEFAULT_LLM_TIMEOUT = 300.0
ENV_LLM_TIMEOUT = "TAVRO_LLM_TIMEOUT"

_T = TypeVar("_T")

# Should the first interrupt be swallowed by the interrupted code, another
# follows after this many seconds.
_REPEAT = 0.5


class LLMTimeoutError(TimeoutError):
    """An LLM call that did not return within its deadline."""


class _Expired(BaseException):
    # Not an Exception: the retry loops and guards of the interrupted code
    # let it through, as they let KeyboardInterrupt through.
    pass


def call_with_deadline(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException] | None,
                       *args: Any, **kwargs: Any) -> _T:
    """``fn(*args, **kwargs)``: its result, or what it raised, when it ends
    within ``seconds``; otherwise the exception that ``on_timeout()`` returns
    is raised."""
    if hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread():
        return _call_with_alarm(fn, seconds, on_timeout, args, kwargs)
    return _call_on_worker(fn, seconds, on_timeout, args, kwargs)


def _call_with_alarm(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException] | None,
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
        if e is not token or on_timeout is None:
            raise
        raise on_timeout() from None
    finally:
        signal.signal(signal.SIGALRM, previous)
        if outer_delay:  # an enclosing timer goes on with the time it has left
            remaining = outer_delay - (time.monotonic() - started)
            signal.setitimer(signal.ITIMER_REAL, max(remaining, 1e-3), outer_interval)


def _call_on_worker(fn: Callable[..., _T], seconds: float, on_timeout: Callable[[], BaseException] | None,
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
        raise on_timeout() if on_timeout is not None else TimeoutError()
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


def _timeout_error(seconds: float, provider: object, what: str) -> LLMTimeoutError:
    return LLMTimeoutError("no reply from %s (%s, address %s) within %g s; set --timeout or %s to wait longer"
                           % (getattr(provider, "value", provider), what, _providers.address(provider), seconds,
                              ENV_LLM_TIMEOUT))


def _gated(progress: object, expired: threading.Event) -> object:
    # Progress messages of an abandoned call are dropped.
    if not callable(progress):
        return progress

    def report(msg: object) -> None:
        if not expired.is_set():
            progress(msg)

    return report


def _generate_layer(seconds: float) -> _hooks.Layer:
    def bounded(call: Callable[..., Any], **kwargs: Any) -> Any:
        expired = threading.Event()
        if "progress" in kwargs:
            kwargs["progress"] = _gated(kwargs["progress"], expired)

        def timed_out() -> BaseException:
            expired.set()
            return _timeout_error(seconds, kwargs.get("provider"), "model %s" % kwargs.get("model_name"))

        return call_with_deadline(call, seconds, timed_out, **kwargs)

    return bounded


def _listing_layer(module: ModuleType, seconds: float) -> _hooks.Layer:
    def bounded(call: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        def timed_out() -> BaseException:
            llm_provider = kwargs.get("llm_provider", args[0] if args else None)
            model_name = kwargs.get("model_name", args[1] if len(args) > 1 else module.MODEL_NAME)
            try:
                provider = module._infer_provider(llm_provider, model_name)
            except Exception:
                provider = llm_provider
            return _timeout_error(seconds, provider, "listing models")

        return call_with_deadline(call, seconds, timed_out, *args, **kwargs)

    return bounded


@contextlib.contextmanager
def llm_deadline(seconds: float) -> Iterator[None]:
    """Bounds each LLM call (generation and model listing) made through
    tavro.modelwright, on any thread, to ``seconds`` while the block runs:
    the outermost layer of those calls (see tavro._hooks)."""
    from . import modelwright

    with _hooks.llm_call(_generate_layer(seconds), order=_hooks.DEADLINE, every_thread=True), \
            _hooks.wrapping(modelwright, "list_models", _listing_layer(modelwright, seconds),
                            order=_hooks.DEADLINE, every_thread=True):
        yield
