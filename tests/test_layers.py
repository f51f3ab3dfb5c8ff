"""The package's import graph: layered, with no cycle.

Edges are the imports that run (at module level or inside a function);
imports under ``if TYPE_CHECKING:`` only name types and are left out.
"""
import ast
import pathlib

import tavro

ROOT = pathlib.Path(tavro.__file__).parent

# (module, the modules that alone may import it): the command line sits on
# the evaluation, which sits on the pipeline, which sits on everything else.
TOP = [
    ("tavro.cli", ("tavro.cli", "tavro.__main__")),
    ("tavro.evaluation", ("tavro.cli",)),
    ("tavro.pipeline", ("tavro.cli", "tavro.evaluation")),
]


def _module_names():
    out = {}
    for path in ROOT.rglob("*.py"):
        parts = ("tavro",) + path.relative_to(ROOT).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        out[name] = path
    return out


def _imports(name, path, modules):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    typing_only = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING":
            typing_only.update(id(n) for n in ast.walk(node))
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(tree):
        if id(node) in typing_only:
            continue
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([base] if base else []))
            for alias in node.names:
                full = base + "." + alias.name
                # a name from a module, or an extension module (a leaf) of a package
                if full in modules:
                    found.add(full)
                elif base in modules and not _is_package(modules[base]):
                    found.add(base)
    return {m for m in found if m in modules and m != name}


def _is_package(path):
    return path.name == "__init__.py"


def _graph():
    modules = _module_names()
    return {name: _imports(name, path, modules) for name, path in modules.items()}


def _in(module, prefix):
    return module == prefix or module.startswith(prefix + ".")


def test_the_import_graph_has_no_cycle():
    graph = _graph()
    assert len(graph) > 40 and "tavro._solving" in graph["tavro.pipeline"]
    state, cycles = {}, []

    def visit(node, path):
        state[node] = "open"
        for dep in sorted(graph[node]):
            if state.get(dep) == "open":
                cycles.append(path[path.index(dep):] + [dep])
            elif dep not in state:
                visit(dep, path + [dep])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    assert cycles == []


def test_no_module_imports_a_higher_layer():
    graph = _graph()
    wrong = sorted((name, dep) for name, deps in graph.items() for dep in deps for top, allowed in TOP
                   if _in(dep, top) and not any(_in(name, a) for a in allowed))
    assert wrong == []
