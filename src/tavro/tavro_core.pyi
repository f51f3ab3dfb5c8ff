"""Type stubs of tavro.tavro_core: the Tavro compiler's Python face."""

from typing import Any, Dict

from .semantic_error import SemanticError as SemanticError

__all__ = ["KelmCompiler", "SemanticError"]

class KelmCompiler:
    def compile_model(self, model_code: str, data_code: str) -> Dict[str, Any]: ...
