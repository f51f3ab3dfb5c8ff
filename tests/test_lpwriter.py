"""tavro.lpwriter: the generator factory, its exports, and the CSC generator's place in the hierarchy."""

import inspect
import logging

import pytest

from tavro import lpwriter, lpwriter_base, lpwriter_csc, semantic_error
from tavro.lpwriter import SciPyCodeGenerator
from tavro.lpwriter_csc import SciPyCSCCodeGenerator

AST = {"declarations": [{"name": "x", "type": "var"}]}


def test_exports_are_home_objects():
    assert lpwriter.__all__ == ["SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase",
                                "SemanticError"]
    assert lpwriter.SciPyCodeGeneratorBase is lpwriter_base.SciPyCodeGeneratorBase
    assert lpwriter.SciPyCSCCodeGenerator is lpwriter_csc.SciPyCSCCodeGenerator
    assert lpwriter.SemanticError is semantic_error.SemanticError
    assert lpwriter.logging is logging
    assert lpwriter.logger is logging.getLogger("tavro.lpwriter")
    names = [k for k in vars(lpwriter) if not k.startswith("__")]
    assert names == ["logging", "SciPyCodeGeneratorBase", "SciPyCSCCodeGenerator", "SemanticError", "logger",
                     "SciPyCodeGenerator"]


def test_factory_is_plain_class_with_only_new():
    assert SciPyCodeGenerator.__bases__ == (object,)
    assert SciPyCodeGenerator.__module__ == "tavro.lpwriter"
    assert SciPyCodeGenerator.__doc__ is None
    own = [k for k in vars(SciPyCodeGenerator) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert own == ["__new__"]
    assert isinstance(vars(SciPyCodeGenerator)["__new__"], staticmethod)
    assert str(inspect.signature(SciPyCodeGenerator.__new__)) == "(cls, ast, data_dict=None, mode='csc')"


def test_class_signatures():
    class Sub(lpwriter_base.SciPyCodeGeneratorBase):
        pass

    assert str(inspect.signature(SciPyCodeGenerator)) == "(ast, data_dict=None, mode='csc')"
    for cls in (lpwriter_base.SciPyCodeGeneratorBase, SciPyCSCCodeGenerator, Sub):
        assert str(inspect.signature(cls)) == "(ast, data_dict=None)"
    assert Sub({"declarations": []}, {"n": 1}).data_dict == {"n": 1}


@pytest.mark.parametrize(
    "args, kwargs",
    [((AST,), {}), ((AST,), {"mode": "csc"}), ((AST, {"n": 1}, "csc"), {}), ((), {"ast": AST, "data_dict": None})],
)
def test_csc_mode_builds_csc_generator(args, kwargs):
    gen = SciPyCodeGenerator(*args, **kwargs)
    assert type(gen) is SciPyCSCCodeGenerator
    assert isinstance(gen, lpwriter_base.SciPyCodeGeneratorBase)
    assert not isinstance(gen, SciPyCodeGenerator)
    assert gen.ast is AST


def test_arguments_passed_positionally_and_unchanged(monkeypatch):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return "generator"

    data = {"n": 1}
    monkeypatch.setattr(lpwriter, "SciPyCSCCodeGenerator", fake)
    assert SciPyCodeGenerator(AST, data_dict=data) == "generator"
    assert calls == [((AST, data), {})]
    assert calls[0][0][1] is data


def test_csc_constructor_errors_pass_through(monkeypatch):
    err = KeyError("bad tree")

    def fake(ast, data):
        raise err

    monkeypatch.setattr(lpwriter, "SciPyCSCCodeGenerator", fake)
    with pytest.raises(KeyError) as exc:
        SciPyCodeGenerator(AST)
    assert exc.value is err


def test_dense_mode_logs_one_error_and_refuses(caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(NotImplementedError) as exc:
        SciPyCodeGenerator(AST, None, "dense")
    assert str(exc.value) == "SciPyDenseCodeGenerator is deprecated and cannot be used."
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tavro.lpwriter", logging.ERROR, "SciPyDenseCodeGenerator is deprecated")
    ]


@pytest.mark.parametrize(
    "mode, message",
    [("CSC", "Unknown mode: CSC"), (" csc", "Unknown mode:  csc"), (None, "Unknown mode: None"),
     ("Dense", "Unknown mode: Dense"), (3, "Unknown mode: 3"), ("", "Unknown mode: ")],
)
def test_unknown_modes(mode, message, caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(ValueError) as exc:
        SciPyCodeGenerator(AST, mode=mode)
    assert str(exc.value) == message
    assert caplog.records == []


def test_factory_argument_errors():
    with pytest.raises(TypeError):
        SciPyCodeGenerator()
    with pytest.raises(TypeError):
        SciPyCodeGenerator(AST, kind="csc")


def test_csc_generator_class():
    assert SciPyCSCCodeGenerator.__bases__ == (lpwriter_base.SciPyCodeGeneratorBase,)
    assert SciPyCSCCodeGenerator.__module__ == "tavro.lpwriter_csc"
    assert "CSC" in SciPyCSCCodeGenerator.__doc__ and "filled in" not in SciPyCSCCodeGenerator.__doc__
    gen = SciPyCSCCodeGenerator(AST, None)
    assert gen.data_dict == {} and list(vars(gen))[:2] == ["ast", "data_dict"]
    # The four steps are the generator's own; a malformed tree is a SemanticError, not NotImplementedError.
    for step in ("generate_code", "_build_variables", "_build_objective", "_build_constraints"):
        assert step in vars(SciPyCSCCodeGenerator)
    with pytest.raises(semantic_error.SemanticError, match="unknown declaration type 'var'"):
        gen.generate_code()
