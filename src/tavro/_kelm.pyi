"""Type stubs of tavro._kelm: the native compiler behind KelmCompiler."""

import os
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np
from numpy.typing import NDArray

class CancelToken:
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...

_Cancel = Union[CancelToken, threading.Event, None]

def compile(
    model_code: str, data_code: str, data_dir: Optional[Union[str, os.PathLike[str]]] = None, *,
    work_limit: Optional[int] = None, deadline: Optional[float] = None, cancel: _Cancel = None
) -> Dict[str, Any]: ...

# The problem's arrays, its name blocks ("columns", "rows") and the index values
# in their own type ("column_keys", "row_keys"), and counts of what the model
# declares ("declared": sets, parameters, variables, constraints).
def instantiate(
    model_code: str, data_code: str, data_dir: Optional[Union[str, os.PathLike[str]]] = None, *,
    work_limit: Optional[int] = None, deadline: Optional[float] = None, cancel: _Cancel = None
) -> Dict[str, Any]: ...
def instantiate_data(model_code: str, data: Dict[str, Any], *, work_limit: Optional[int] = None,
                     deadline: Optional[float] = None, cancel: _Cancel = None) -> Dict[str, Any]: ...
def instantiate_tree(ast: Dict[str, Any], data_dict: Optional[Dict[str, Any]], *, work_limit: Optional[int] = None,
                     deadline: Optional[float] = None, cancel: _Cancel = None) -> Dict[str, Any]: ...
def format_number(x: float) -> str: ...
# A table cell as bindings read it: int, float, or None for text or an empty cell.
def scan_number(text: str) -> Union[int, float, None]: ...
# (values, kinds): kinds 0 empty, 1 text, 2 int, 3 float; values nan where no number.
def scan_cells(cells: List[str]) -> Tuple[NDArray[np.float64], NDArray[np.int8]]: ...
def json_objects(values: Any, keys: List[str]) -> List[str]: ...
