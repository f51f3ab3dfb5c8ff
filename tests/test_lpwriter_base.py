"""SciPyCodeGeneratorBase: plain-class shape, shared state, look-ups, keys, error factories."""

import inspect

import pytest

from tavro import lpwriter_base
from tavro.lpwriter_base import SciPyCodeGeneratorBase as Base
from tavro.semantic_error import SemanticError

ATTRIBUTES = [
    "ast", "data_dict", "scipy_code_lines", "indent_level", "var_names", "var_indices", "bounds", "c",
    "A_eq", "b_eq", "A_ub", "b_ub", "results_varname", "integrality", "tuple_types",
]

AST = {
    "declarations": [
        {"name": "x", "type": "var", "id": 1},
        {"name": "I", "type": "set"},
        {"name": "x", "type": "param", "id": 2},
        {"name": "x", "type": "var", "id": 3},
    ]
}


def test_plain_class_shape():
    assert Base.__bases__ == (object,)
    assert type(Base) is type
    assert Base.__module__ == "tavro.lpwriter_base"
    assert Base.__qualname__ == "SciPyCodeGeneratorBase"
    assert Base.__doc__ == (
        "\n    Abstract base class for SciPy code generators.\n"
        "    Subclasses must implement the required methods.\n    "
    )
    assert lpwriter_base.SemanticError is SemanticError
    members = [k for k in vars(Base) if not k.startswith("__") or k == "__init__"]
    assert members == [
        "__init__", "_indent", "_add_code_line", "generate_code", "_build_variables", "_build_objective",
        "_build_constraints", "find_declaration", "find_declarations", "normalize_index", "_normalize_index",
        "_tuple_key", "_find_decl", "_find_decls", "_unsupported_type_error", "_unsupported_operator_error",
    ]
    for name in ("normalize_index", "_unsupported_type_error", "_unsupported_operator_error"):
        assert isinstance(vars(Base)[name], staticmethod)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("_add_code_line", "(line)"),
        ("find_declaration", "(name, decl_type=None)"),
        ("_tuple_key", "(elements, env=None)"),
        ("normalize_index", "(idx)"),
        ("_unsupported_operator_error", "(context, op)"),
    ],
)
def test_method_signatures(name, signature):
    assert str(inspect.signature(getattr(Base({}), name))) == signature


def test_instance_state_in_documented_order():
    ast = {"declarations": []}
    gen = Base(ast)
    assert list(vars(gen)) == ATTRIBUTES
    assert gen.ast is ast
    assert gen.results_varname == "results" and gen.indent_level == 0
    assert all(vars(gen)[k] == [] for k in ("scipy_code_lines", "var_names", "bounds", "c", "A_eq", "b_eq",
                                          "A_ub", "b_ub", "integrality"))
    assert gen.var_indices == {} and gen.tuple_types == {}
    other = Base(ast)
    assert gen.bounds is not other.bounds and gen.var_indices is not other.var_indices
    gen.extra = 1
    gen.indent_level = 3
    assert vars(gen)["extra"] == 1 and gen.indent_level == 3


@pytest.mark.parametrize("data", [None, {}])
def test_falsy_data_gives_fresh_dict(data):
    a, b = Base({}, data), Base({}, data_dict=data)
    assert a.data_dict == {} and a.data_dict is not b.data_dict and a.data_dict is not data


def test_data_dict_kept():
    data = {"n": 3}
    assert Base({}, data).data_dict is data


def test_indent_and_code_lines():
    gen = Base({})
    assert gen._indent() == ""
    gen.indent_level = 2
    assert gen._indent() == " " * 8
    gen.indent_level = 1
    gen._add_code_line("x = 1")
    gen.indent_level = 0
    gen._add_code_line("y = 2")
    assert gen.scipy_code_lines == ["    x = 1", "y = 2"]
    with pytest.raises(TypeError):
        gen._add_code_line(3)


def test_subclass_indent_override_reaches_add_code_line():
    class Tabs(Base):
        def _indent(self):
            return "\t" * self.indent_level

    gen = Tabs({})
    gen.indent_level = 2
    gen._add_code_line("pass")
    assert gen.scipy_code_lines == ["\t\tpass"]


@pytest.mark.parametrize("step", ["generate_code", "_build_variables", "_build_objective", "_build_constraints"])
def test_abstract_steps(step):
    with pytest.raises(NotImplementedError) as exc:
        getattr(Base({}), step)()
    assert str(exc.value) == f"Subclasses must implement {step}()"


def test_subclass_implements_steps():
    class Gen(Base):
        def generate_code(self):
            self._add_code_line("import scipy")
            return "\n".join(self.scipy_code_lines)

    assert Gen({}).generate_code() == "import scipy"
    with pytest.raises(NotImplementedError):
        Gen({})._build_objective()


@pytest.mark.parametrize(
    "name, decl_type, first, ids",
    [
        ("x", None, 1, [1, 2, 3]),
        ("x", "param", 2, [2]),
        ("x", "var", 1, [1, 3]),
        ("x", "set", None, []),
        ("y", None, None, []),
    ],
)
def test_declaration_lookups(name, decl_type, first, ids):
    gen = Base(AST)
    found = gen.find_declaration(name, decl_type)
    assert (found and found["id"]) == first
    assert [d["id"] for d in gen.find_declarations(name, decl_type=decl_type)] == ids
    assert gen._find_decl(name, decl_type) is found
    assert gen._find_decls(name, decl_type) == gen.find_declarations(name, decl_type)


def test_lookup_without_declarations_and_bad_shapes():
    gen = Base({"objective": {}})
    assert gen.find_declaration("x") is None and gen.find_declarations("x") == []
    with pytest.raises(AttributeError):
        Base(["not", "a", "dict"]).find_declaration("x")
    with pytest.raises(AttributeError):
        Base({"declarations": ["x"]}).find_declarations("x")


def test_lookup_reads_ast_at_call_time():
    gen = Base({})
    gen.ast = AST
    assert gen.find_declaration("I")["type"] == "set"


def test_subclass_lookup_overrides_reach_private_helpers():
    calls = []

    class Gen(Base):
        def find_declaration(self, name, decl_type=None):
            calls.append((name, decl_type))
            return "found"

        def find_declarations(self, name, decl_type=None):
            return ["all", name, decl_type]

    gen = Gen(AST)
    assert gen._find_decl("x", "var") == "found"
    assert gen._find_decl("y") == "found"
    assert calls == [("x", "var"), ("y", None)]
    assert gen._find_decls("x") == ["all", "x", None]


@pytest.mark.parametrize(
    "idx, expected",
    [
        ([1, [2, 3]], (1, (2, 3))),
        ([1], (1,)),
        ((), ()),
        (("a", ["b", ("c",)]), ("a", ("b", ("c",)))),
        ("ab", "ab"),
        (5, 5),
        ({1: 2}, {1: 2}),
    ],
)
def test_normalize_index(idx, expected):
    assert Base.normalize_index(idx) == expected
    assert Base({})._normalize_index(idx) == expected
    assert type(Base.normalize_index(idx)) is type(expected)


def test_normalize_index_keeps_non_sequences_identical():
    value = object()
    assert Base.normalize_index(value) is value
    s = "idx"
    assert Base.normalize_index(s) is s


def test_normalize_index_accepts_list_and_tuple_subclasses():
    class L(list):
        pass

    assert Base.normalize_index(L([L([1]), 2])) == ((1,), 2)


def test_normalize_index_recursion_uses_base_not_override():
    calls = []

    class Gen(Base):
        @staticmethod
        def normalize_index(idx):
            calls.append(idx)
            return Base.normalize_index(idx)

    assert Gen({})._normalize_index([[1], [2, [3]]]) == ((1,), (2, (3,)))
    # Only the outer call reaches the override: nested elements go to the base.
    assert calls == [[[1], [2, [3]]]]


def test_normalize_index_self_reference_raises_recursion_error():
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        Base.normalize_index(loop)


def name(n):
    return {"type": "name", "name": n}


def num(v):
    return {"type": "number", "value": v}


@pytest.mark.parametrize(
    "elements, env, expected",
    [
        ([name("i"), num(3)], {"i": 2}, (2, 3)),
        ([name("i"), num(3)], None, ("i", 3)),
        ([name("i"), num(3)], {}, ("i", 3)),
        ([{"type": "string", "value": "a"}, 7, "plain"], None, ("a", 7, "plain")),
        ([{"type": "tuple_literal", "elements": [name("i"), num(1)]}, name("j")], {"i": 0}, ((0, 1), "j")),
        ([{"type": "other", "x": 1}, {"name": "i"}], {"i": 5}, ({"type": "other", "x": 1}, {"name": "i"})),
        ([], None, ()),
    ],
)
def test_tuple_key(elements, env, expected):
    assert Base({})._tuple_key(elements, env) == expected


@pytest.mark.parametrize("node", [{"type": "name"}, {"type": "number"}, {"type": "string"},
                                  {"type": "tuple_literal"}])
def test_tuple_key_missing_keys(node):
    with pytest.raises(KeyError):
        Base({})._tuple_key([node])


def test_tuple_key_nested_calls_go_through_instance():
    seen = []

    class Gen(Base):
        def _tuple_key(self, elements, env=None):
            seen.append(env)
            return super()._tuple_key(elements, env)

    env = {"i": 4}
    key = Gen({})._tuple_key([{"type": "tuple_literal", "elements": [name("i")]}], env)
    assert key == ((4,),)
    assert seen == [env, env]


@pytest.mark.parametrize(
    "factory, args, message",
    [
        ("_unsupported_type_error", ("expression", "foo"), "Unsupported expression type: foo"),
        ("_unsupported_type_error", (3, 1.5), "Unsupported 3 type: 1.5"),
        ("_unsupported_operator_error", ("binary", "^"), "Unsupported binary operator: '^'"),
        ("_unsupported_operator_error", ("unary", None), "Unsupported unary operator: 'None'"),
    ],
)
def test_error_factories_return_semantic_error(factory, args, message):
    for owner in (Base, Base({})):
        err = getattr(owner, factory)(*args)
        assert type(err) is SemanticError
        assert err.args == (message,)


def test_error_factories_use_module_semantic_error(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(lpwriter_base, "SemanticError", Other)
    assert type(Base._unsupported_type_error("a", "b")) is Other
