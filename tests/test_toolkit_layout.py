"""The toolkit's layout holds: one table of commands, modules that import
one another without a cycle, none past 400 lines."""
import ast
import importlib
from pathlib import Path

import pytest

from sorvane_cli.__main__ import build_parser
from sorvane_cli.commands import COMMANDS

PACKAGE = Path(__file__).resolve().parent.parent / "sorvane_cli"


def _modules():
    """Every module of the package by dotted name, with its path."""
    out = {}
    for path in PACKAGE.rglob("*.py"):
        parts = ("sorvane_cli",) + path.relative_to(PACKAGE).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        out[".".join(parts)] = path
    return out


def _imports(path, modules):
    """The package's modules that `path` imports, at its top or inside a function."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("sorvane_cli"):
            for alias in node.names:
                name = f"{node.module}.{alias.name}"
                found.add(name if name in modules else node.module)
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names if alias.name in modules)
    return found


def test_no_module_imports_itself_back_through_others():
    modules = _modules()
    graph = {name: _imports(path, modules) - {name} for name, path in modules.items()}
    done, path = set(), []

    def visit(name):
        if name in path:
            cycle = path[path.index(name):] + [name]
            pytest.fail("import cycle: " + " -> ".join(cycle))
        if name in done:
            return
        path.append(name)
        for other in sorted(graph[name]):
            visit(other)
        path.pop()
        done.add(name)

    for name in sorted(graph):
        visit(name)


def test_no_module_is_past_400_lines():
    long = {name: len(path.read_text(encoding="utf-8").splitlines()) for name, path in _modules().items()}
    assert {name: n for name, n in long.items() if n > 400} == {}


@pytest.mark.parametrize("command", COMMANDS, ids=[c.name for c in COMMANDS])
def test_every_command_in_the_table_has_its_module_and_its_help(command):
    module = importlib.import_module(command.module)
    assert callable(module.add_parser) and callable(module.run)
    assert f"{command.name:<10}{command.summary}" in build_parser().format_help()
