"""Data given from Python (``tavro.solver.build_problem(model, {name: value})``):
the caller's mapping made plain for the native reader, which checks each value
against its declaration (``tavro._kelm.instantiate_data``).

Numbers, strings, lists, tuples, dicts and numpy arrays pass as they are
(numeric arrays cross as buffers). A Python set becomes a sorted list, so the
elements' order does not depend on hashing. pandas objects (pandas is never
imported here; a caller who passes them has it) become the two forms below,
whose meaning the reader takes from the declaration: a Series is a set of
its values or an array keyed by its index; a DataFrame is a set of tuples
(columns by field name, else in order), a 2-D array as a matrix (rows by the
index, columns by the column names), or a 1-D array of its one column.
"""

import os
import sys
from typing import Any, Dict, List, Mapping, Optional, Union

__all__ = ["Keyed", "Frame", "plain", "tables_folder"]

_Path = Union[str, "os.PathLike[str]"]


def tables_folder(data_file: Optional[_Path], data_dir: Optional[_Path] = None) -> Optional[str]:
    """The folder that a data file's csv(...) tables are read from: data_dir
    when given, else the data file's own folder (None without either: the
    current folder)."""
    if data_dir is not None:
        return os.fspath(data_dir)
    if data_file is not None:
        return os.path.dirname(os.path.abspath(data_file))
    return None


class Keyed:
    """Values side by side with their keys (a pandas Series)."""

    __slots__ = ("keys", "values")

    def __init__(self, keys: List[Any], values: Any) -> None:
        self.keys = keys
        self.values = values


class Frame:
    """A pandas DataFrame, read by what it binds."""

    __slots__ = ("_frame", "columns", "index")

    def __init__(self, frame: Any) -> None:
        self._frame = frame
        self.columns: List[Any] = list(frame.columns)
        self.index: List[Any] = frame.index.tolist()

    def rows(self, fields: Optional[List[str]]) -> List[List[Any]]:
        """The rows as lists: the named columns when all are present, else every column in order."""
        frame = self._frame
        if fields is not None and all(f in self.columns for f in fields):
            frame = frame[fields]
        rows: List[List[Any]] = frame.to_numpy(dtype=object).tolist()
        return rows

    def column(self, k: int) -> Any:
        return self._frame.iloc[:, k].to_numpy()

    def matrix(self) -> List[Keyed]:
        return [Keyed(self.columns, row) for row in self._frame.to_numpy()]


def _plain(value: Any) -> Any:
    if isinstance(value, (set, frozenset)):
        try:
            return sorted(value)
        except TypeError:
            return list(value)
    pandas = sys.modules.get("pandas")
    if pandas is not None:
        if isinstance(value, pandas.Series):
            return Keyed(value.index.tolist(), value.to_numpy())
        if isinstance(value, pandas.DataFrame):
            return Frame(value)
        if isinstance(value, pandas.Index):
            return value.tolist()
    return value


def plain(data: Mapping[str, Any]) -> Dict[str, Any]:
    """A dict {name: value} the native reader takes; TypeError for a name that is not a str."""
    out: Dict[str, Any] = {}
    for name, value in data.items():
        if not isinstance(name, str):
            raise TypeError("data names must be str, got %s" % type(name).__name__)
        out[name] = _plain(value)
    return out
