"""Type stubs of tavro.lpwriter: the SciPy code generator factory."""

import logging
from typing import Any, Dict, Optional

from .lpwriter_base import SciPyCodeGeneratorBase as SciPyCodeGeneratorBase
from .lpwriter_csc import SciPyCSCCodeGenerator as SciPyCSCCodeGenerator
from .semantic_error import SemanticError as SemanticError

__all__ = ["SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase", "SemanticError"]

logger: logging.Logger

class SciPyCodeGenerator:
    def __new__(cls, ast: Dict[str, Any], data_dict: Optional[Dict[str, Any]] = None,  # type: ignore[misc]
                mode: str = "csc") -> SciPyCSCCodeGenerator: ...
