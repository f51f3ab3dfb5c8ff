"""The Tavro compiler (not yet available in this build)."""

from .semantic_error import SemanticError

__all__ = ["KelmCompiler", "SemanticError"]


class KelmCompiler:
    def compile_model(self, model_code, data_code):
        raise NotImplementedError("The Tavro compiler is not available in this build.")
