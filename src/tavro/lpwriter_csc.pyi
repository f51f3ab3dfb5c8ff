"""Type stubs of tavro.lpwriter_csc: the SciPy (CSC matrices) code generator."""

import os
from typing import Any, Dict, List, Optional, Tuple, Union

from .lpwriter_base import SciPyCodeGeneratorBase as SciPyCodeGeneratorBase

class SciPyCSCCodeGenerator(SciPyCodeGeneratorBase):
    problem: Optional[Dict[str, Any]]
    A: Any
    row_lower: Any
    row_upper: Any
    row_blocks: List[Tuple[str, int, int, List[str]]]
    maximize: bool
    offset: float
    objective_name: Optional[str]
    def __init__(self, ast: Dict[str, Any], data_dict: Optional[Dict[str, Any]] = None) -> None: ...
    def generate_code(self, sidecar: Union[str, "os.PathLike[str]", None] = None) -> str: ...
    def _build_variables(self) -> None: ...
    def _build_objective(self) -> None: ...
    def _build_constraints(self) -> None: ...
