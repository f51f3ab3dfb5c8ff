"""Type stubs of tavro._kelm: the native compiler behind KelmCompiler."""

from typing import Any, Dict

def compile(model_code: str, data_code: str) -> Dict[str, Any]: ...
