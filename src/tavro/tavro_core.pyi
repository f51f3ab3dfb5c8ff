"""Type stubs of tavro.tavro_core: the Tavro compiler's Python face."""

import os
from typing import Any, Dict, Optional, Union

from ._kelm import _Cancel
from .semantic_error import SemanticError as SemanticError

__all__ = ["KelmCompiler", "SemanticError"]

class KelmCompiler:
    def compile_model(
        self, model_code: str, data_code: str, *, data_dir: Optional[Union[str, os.PathLike[str]]] = None,
        work_limit: Optional[int] = None, deadline: Optional[float] = None, cancel: _Cancel = None
    ) -> Dict[str, Any]: ...
