"""Native walks over nested Python objects stop at the interpreter's recursion
limit with RecursionError, as the same walk in Python would, instead of
overflowing the native stack."""

import subprocess
import sys

import pytest

from tavro.lpwriter_base import SciPyCodeGeneratorBase

CHILD = """
import sys
sys.setrecursionlimit(8000)
from tavro.lpwriter_base import SciPyCodeGeneratorBase as Base
nested = []
for _ in range(100000):
    nested = %s
try:
    %s
except RecursionError as e:
    print("RecursionError:", e)
else:
    print("no error")
"""


@pytest.mark.parametrize("wrap, call, where", [
    ("[nested]", "Base.normalize_index(nested)", "normalize_index"),
    ("(nested,)", "Base.__new__(Base)._normalize_index(nested)", "normalize_index"),
    ('[{"type": "tuple_literal", "elements": nested}]', "Base.__new__(Base)._tuple_key(nested)", "_tuple_key"),
])
def test_deep_nesting_raises_recursion_error(wrap, call, where):
    proc = subprocess.run([sys.executable, "-c", CHILD % (wrap, call)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-500:]
    assert proc.stdout.startswith("RecursionError: maximum recursion depth exceeded")


def test_recursion_depth_is_released():
    nested = [1]
    for _ in range(200):
        nested = [nested, (2,)]
    for _ in range(3 * sys.getrecursionlimit()):  # a leaked level would exhaust the limit
        assert SciPyCodeGeneratorBase.normalize_index([[1, [2]], 3]) == ((1, (2,)), 3)
    assert SciPyCodeGeneratorBase.normalize_index(nested)[1] == (2,)
    gen = SciPyCodeGeneratorBase.__new__(SciPyCodeGeneratorBase)
    key = [{"type": "tuple_literal", "elements": [{"type": "name", "name": "i"}, 7]}]
    for _ in range(3 * sys.getrecursionlimit()):
        assert gen._tuple_key(key, {"i": 4}) == ((4, 7),)
