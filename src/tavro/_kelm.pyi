"""Type stubs of tavro._kelm: the native compiler behind KelmCompiler."""

import os
from typing import Any, Dict, Optional, Union

def compile(
    model_code: str, data_code: str, data_dir: Optional[Union[str, os.PathLike[str]]] = None
) -> Dict[str, Any]: ...
def instantiate(
    model_code: str, data_code: str, data_dir: Optional[Union[str, os.PathLike[str]]] = None
) -> Dict[str, Any]: ...
def instantiate_tree(ast: Dict[str, Any], data_dict: Optional[Dict[str, Any]]) -> Dict[str, Any]: ...
