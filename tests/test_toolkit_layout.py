"""The toolkit's layout holds: one table of commands, modules that import
one another without a cycle, none past 400 lines, and a command that loads
its own module alone."""
import ast
import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest
from logs import FLAGS, write_run

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


# Runs one command in a fresh interpreter where numpy cannot be imported, and
# says which of the commands' modules it loaded.
_WITHOUT_NUMPY = """
import sys

class NoNumpy:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "numpy":
            raise ImportError("numpy is not installed")

sys.meta_path.insert(0, NoNumpy())
from sorvane_cli.__main__ import main
status = main(sys.argv[1:])
print(sorted(m for m in sys.modules if m.startswith("sorvane_cli.commands.") and m != "sorvane_cli.commands.opened"))
sys.exit(status)
"""


@pytest.mark.parametrize("argv", [["verify", "{log}"], ["replay", "{log}", "-o", "{out}"], ["inspect", "{out}"],
                                  ["export", "{log}", "-o", "{csv}"]], ids=["verify", "replay", "inspect", "export"])
def test_a_command_loads_its_own_module_alone_and_the_others_run_without_numpy(tmp_path, argv):
    log = tmp_path / "run.log"
    write_run(log)
    if argv[0] == "inspect":
        subprocess.run([sys.executable, "-m", "sorvane_cli", "replay", str(log), "-o", str(tmp_path / "state.hex"),
                        *FLAGS], check=True, capture_output=True)
    words = [a.format(log=log, out=tmp_path / "state.hex", csv=tmp_path / "table.csv") for a in argv]
    flags = {"inspect": [], "export": ["-q"]}.get(argv[0], FLAGS)
    done = subprocess.run([sys.executable, "-c", _WITHOUT_NUMPY, *words, *flags], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == repr([f"sorvane_cli.commands.{argv[0]}"])
