"""The pure-Python price-list reader kept in benchmarks/pricing.py, loaded for the tests."""

import importlib.util
import pathlib

_PATH = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "pricing.py"
_spec = importlib.util.spec_from_file_location("pricing_benchmark", _PATH)
twin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(twin)
