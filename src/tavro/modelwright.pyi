"""Type stubs of tavro.modelwright: LLM-driven authoring of Tavro models."""

import inspect as inspect
import json as json
import logging
import os as os
import re as re
from enum import Enum as Enum, auto as auto
from importlib.resources import files as files
from pathlib import Path as Path
from time import sleep as sleep
from typing import Any as Any, Callable as Callable, Dict as Dict, List as List, Literal, Optional as Optional
from typing import Tuple as Tuple, Union as Union, overload

from .rag_helper import rank_problem_descriptions as rag_rank
from .tavro_core import KelmCompiler as KelmCompiler, SemanticError as SemanticError
from .tokenmeter import _extract_gemini_usage as _extract_gemini_usage
from .tokenmeter import _extract_openai_usage as _extract_openai_usage
from .tokenmeter import estimate_costs as _estimate_costs

_Progress = Optional[Callable[[str], object]]
_Usage = Dict[str, int]

logger: logging.Logger
MAX_ITERATIONS: int
MAX_OUTPUT_TOKENS: Optional[int]
LLM_PROVIDER: str
MODEL_NAME: str
ALIGNMENT_CHECK: bool
FEW_SHOT_TOP_K: int
FEW_SHOT_MAX_CHARS: int

class LLMProvider(Enum):
    OPENAI = "openai"
    GOOGLE = "google"
    OLLAMA = "ollama"

class Grammar(Enum):
    NONE = 1
    BNF = 2
    CODE = 3

def _notify(progress: _Progress, msg: str) -> None: ...
def _read_file(path: str) -> str: ...
def _read_tavro_GBNF() -> str: ...
def _read_tavro_grammar() -> str: ...
def _read_tavro_code() -> str: ...
def _get_grammar_implementation(mode: Grammar) -> str: ...
def _safe_read_text(path: Path, max_chars: int = ...) -> str: ...
def _find_pair_in_folder(desc_path: Path) -> Tuple[Optional[Path], Optional[Path]]: ...
def _gather_few_shots(problem_description: str, k: int = 3, models_dir: Optional[str] = None,
                      progress: _Progress = None) -> List[Dict[str, str]]: ...
def extract_json_from_markdown(text: str) -> str: ...
def _json_loads_relaxed(text: str) -> Any: ...
def _coalesce_response_text(resp: Any) -> str: ...
def _openai_client() -> Any: ...
def _google_client() -> Any: ...
@overload
def _ollama_generate_text(model_name: str, prompt: str, num_predict: Optional[int] = None,
                          return_usage: Literal[False] = False) -> str: ...
@overload
def _ollama_generate_text(model_name: str, prompt: str, num_predict: Optional[int],
                          return_usage: Literal[True]) -> Tuple[str, _Usage]: ...
@overload
def _ollama_generate_text(model_name: str, prompt: str, num_predict: Optional[int] = None, *,
                          return_usage: Literal[True]) -> Tuple[str, _Usage]: ...
def _build_create_params(model_name: str, input_text: str, max_tokens: Optional[int] = None,
                         temperature: Optional[float] = None, stop: Optional[List[str]] = None) -> Dict[str, Any]: ...
def _infer_provider(llm_provider: Optional[str], model_name: str) -> LLMProvider: ...
@overload
def _llm_generate_text(provider: LLMProvider, model_name: str, input_text: str, max_tokens: Optional[int] = None,
                       temperature: Optional[float] = None, stop: Optional[List[str]] = None,
                       progress: _Progress = None, capture_usage: Literal[False] = False) -> str: ...
@overload
def _llm_generate_text(provider: LLMProvider, model_name: str, input_text: str, max_tokens: Optional[int] = None,
                       temperature: Optional[float] = None, stop: Optional[List[str]] = None,
                       progress: _Progress = None, *, capture_usage: Literal[True]) -> Tuple[str, _Usage]: ...
def _call_openai_with_retry(client: Any, create_params: Dict[str, Any], retries: int = 3, backoff_sec: float = 1.5,
                            progress: _Progress = None) -> Any: ...
def _build_generation_prompt(prompt: str, grammar_implementation: str,
                             few_shots: Optional[List[Dict[str, str]]] = None) -> str: ...
def _build_alignment_prompt(prompt: str, grammar_implementation: str, model_code: str, data_code: str) -> str: ...
def _build_revision_prompt_alignment(prompt: str, grammar_implementation: str, assessment_text: str, model_code: str,
                                     data_code: str, few_shots: Optional[List[Dict[str, str]]] = None) -> str: ...
def _build_revision_prompt_syntax(prompt: str, grammar_implementation: str, model_code: str, data_code: str,
                                  syntax_errors: List[str],
                                  few_shots: Optional[List[Dict[str, str]]] = None) -> str: ...
def _build_final_assessment_prompt(prompt: str, grammar_implementation: str, model_code: str, data_code: str,
                                   syntax_errors: List[str]) -> str: ...
def _build_feedback_prompt(user_prompt_text: str, grammar_implementation: str, model_code: str,
                           data_code: str) -> str: ...
@overload
def generative_solve(prompt: str, model_file: str, data_file: str, model_name: str = "gpt-5",
                     mode: Grammar = ..., iterations: int = 5, return_statistics: Literal[False] = False,
                     alignment_check: Optional[bool] = None, temperature: Optional[float] = None,
                     stop: Optional[List[str]] = None, llm_provider: Optional[str] = "openai",
                     progress: _Progress = None, few_shot: bool = True) -> str:
    """Generate a Tavro model and data file from a description; returns the final assessment."""
@overload
def generative_solve(prompt: str, model_file: str, data_file: str, model_name: str = "gpt-5",
                     mode: Grammar = ..., iterations: int = 5, *, return_statistics: Literal[True],
                     alignment_check: Optional[bool] = None, temperature: Optional[float] = None,
                     stop: Optional[List[str]] = None, llm_provider: Optional[str] = "openai",
                     progress: _Progress = None, few_shot: bool = True) -> Dict[str, Any]:
    """With return_statistics=True: {"iterations", "assessment", "syntax_errors", "cost"}."""
def generative_feedback(prompt: str, model_file: str, data_file: str, model_name: str = "gpt-5",
                        mode: Grammar = ..., temperature: Optional[float] = None, stop: Optional[List[str]] = None,
                        llm_provider: Optional[str] = "openai", progress: _Progress = None) -> Dict[str, str]:
    """Ask about a model and data file: {"feedback", optional "revised_model", "revised_data"}."""
def list_openai_models(prefix: Optional[str] = "gpt") -> List[str]: ...
def list_gemini_models(prefix: Optional[str] = "gemini") -> List[str]: ...
def list_ollama_models(prefix: Optional[str] = None) -> List[str]: ...
def list_models(llm_provider: Optional[str] = None, model_name: str = "gpt-5") -> List[str]: ...
