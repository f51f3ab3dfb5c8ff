"""Tavro compiler: KelmCompiler().compile_model(model_code, data_code).

(Summary of the language: see below; filled in with the reference.)
"""

from . import _kelm
from .semantic_error import SemanticError

__all__ = ["KelmCompiler", "SemanticError"]


class KelmCompiler:
    """Compiles a Tavro model (.mod text) with its data (.dat text)."""

    def compile_model(self, model_code, data_code):
        """Return the compiled model; raise SemanticError for any fault."""
        return _kelm.compile(model_code, data_code)
