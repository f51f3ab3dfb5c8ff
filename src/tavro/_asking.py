"""The LLM calls of our own prompts (through the module attribute
``modelwright._llm_generate_text``, so deadlines, metering and
record/replay see them), their pricing and the progress notes around them.
Used by ``tavro.pipeline``, ``tavro._candidates`` and ``tavro._explain``; it
imports none of them."""

from __future__ import annotations

import types
from typing import TYPE_CHECKING, Any, Callable, Optional

from . import _providers

if TYPE_CHECKING:
    from types import ModuleType

Progress = Optional[Callable[[Any], object]]


def modelwright() -> ModuleType:
    from . import modelwright

    return modelwright


def note(progress: Progress, message: str) -> None:
    if progress is not None:
        try:
            progress(message)
        except Exception:
            pass


def estimate_costs(usage: dict[str, int], model_name: str, llm_provider: str | None = None) -> dict[str, Any]:
    """Price summed usage once through ``tokenmeter.estimate_costs``; a free
    (local) model costs nothing and needs no price list; any failure gives
    an empty estimate, as in ``generative_solve``. Without "prompt_cost" the
    price is unknown (``total_cost`` 0.0 then does not mean free)."""
    try:
        if _providers.is_free(modelwright()._infer_provider(llm_provider, model_name)):
            return {"prompt_cost": 0.0, "completion_cost": 0.0, "total_cost": 0.0}
        from . import tokenmeter

        result = tokenmeter.estimate_costs(types.SimpleNamespace(model=model_name), usage)
        return dict(result) if result else {}
    except Exception:
        return {}


def ask_llm(prompt: str, *, model_name: str | None = None, llm_provider: str | None = None,
            progress: Progress = None) -> str:
    """One LLM call with a prompt of ours, through the module attribute
    ``modelwright._llm_generate_text`` (so deadlines, metering and
    record/replay see it); the reply text, "" for none."""
    mw = modelwright()
    model_name = model_name if model_name is not None else mw.MODEL_NAME
    provider = mw._infer_provider(llm_provider, model_name)
    text = mw._llm_generate_text(provider=provider, model_name=model_name, input_text=prompt,
                                 max_tokens=mw.MAX_OUTPUT_TOKENS, temperature=None, stop=None, progress=progress,
                                 capture_usage=False)
    return text if isinstance(text, str) else ""


def feedback_kwargs(model_name: str | None, llm_provider: str | None, mode: Any, temperature: float | None,
                     progress: Progress) -> dict[str, Any]:
    mw = modelwright()
    kwargs: dict[str, Any] = {"model_name": model_name if model_name is not None else mw.MODEL_NAME,
              "llm_provider": llm_provider, "progress": progress}
    if mode is not None:
        kwargs["mode"] = mode
    if temperature is not None:
        kwargs["temperature"] = temperature
    return kwargs

