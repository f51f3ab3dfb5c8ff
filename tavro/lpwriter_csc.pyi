"""Type stubs of tavro.lpwriter_csc: the SciPy (CSC matrices) code generator."""

from .lpwriter_base import SciPyCodeGeneratorBase as SciPyCodeGeneratorBase

class SciPyCSCCodeGenerator(SciPyCodeGeneratorBase): ...
