"""The Python package's layering: modules import their siblings, never the package itself,
and the imports between the package's modules form no circle."""
import ast
import pathlib

import korvane

ROOT = pathlib.Path(korvane.__file__).parent


def _module_name(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(["korvane"] + parts)


def _imports(path):
    """The package's modules that the file imports anywhere (in functions too), and the
    lines that import the package `korvane` itself by name."""
    name = _module_name(path)
    package = name if path.name == "__init__.py" else name.rsplit(".", 1)[0]
    found, absolute = set(), []
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name == "korvane" or alias.name.startswith("korvane."):
                    absolute.append(node.lineno)
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0:
                if node.module and (node.module == "korvane" or node.module.startswith("korvane.")):
                    absolute.append(node.lineno)
                continue
            base = package.split(".")
            base = base[:len(base) - (node.level - 1)]
            target = ".".join(base + ([node.module] if node.module else []))
            # `from . import x` names a module x of that package when there is one.
            for alias in node.names:
                sub = f"{target}.{alias.name}"
                found.add(sub if _exists(sub) else target)
    return found, absolute


def _exists(module):
    rel = module.split(".")[1:]
    return (ROOT.joinpath(*rel).with_suffix(".py").exists()
            or ROOT.joinpath(*rel, "__init__.py").exists()
            or module == "korvane._core")


MODULES = {_module_name(p): p for p in sorted(ROOT.rglob("*.py"))}


def test_no_module_imports_the_package_by_name():
    offenders = {name: lines for name, path in MODULES.items()
                 if (lines := _imports(path)[1])}
    assert offenders == {}


def test_the_import_graph_between_modules_has_no_circle():
    # The package's __init__ assembles the surface from everything below it; a circle
    # through it is one of the submodules reaching back up, which the test above forbids.
    graph = {name: {m for m in _imports(path)[0] if m in MODULES and m != "korvane"}
             for name, path in MODULES.items()}
    state, cycle = {}, []

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(graph[node]):
            if state.get(nxt) == "open":
                cycle.append(trail + [node, nxt])
            elif nxt not in state:
                visit(nxt, trail + [node])
        state[node] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [])
    assert cycle == []
