"""Type stubs of tavro.tavro_core: the Tavro compiler's Python face."""

from typing import Any, Dict, Optional

from ._kelm import CancelToken
from .semantic_error import SemanticError as SemanticError

__all__ = ["KelmCompiler", "SemanticError"]

class KelmCompiler:
    def compile_model(self, model_code: str, data_code: str, *, work_limit: Optional[int] = None,
                      deadline: Optional[float] = None, cancel: Optional[CancelToken] = None) -> Dict[str, Any]: ...
