"""Every extension module ships a stub whose public names match the module."""

import ast
import importlib
from pathlib import Path

import pytest

import ferrolith

PACKAGE_DIR = Path(ferrolith.__file__).parent
STUBS = sorted(PACKAGE_DIR.rglob("*.pyi"))


def _module_name(stub: Path) -> str:
    parts = stub.relative_to(PACKAGE_DIR.parent).with_suffix("").parts
    return ".".join(parts)


def _stub_names(stub: Path) -> set:
    names = set()
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            # "from x import y as y" re-exports y
            names.update(a.asname for a in node.names if a.asname and a.asname == a.name)
    return names


def test_package_ships_stubs_and_marker():
    assert (PACKAGE_DIR / "py.typed").is_file()
    assert STUBS, "no .pyi stubs installed"


@pytest.mark.parametrize("stub", STUBS, ids=_module_name)
def test_stub_names_match_module(stub):
    module = importlib.import_module(_module_name(stub))
    module_names = {n for n in dir(module) if not n.startswith("__")}
    stub_names = {n for n in _stub_names(stub) if not n.startswith("__")}
    missing_in_module = stub_names - module_names
    assert not missing_in_module, f"stub declares names the module lacks: {missing_in_module}"
    # Every public name (and every documented private one) of the module is in the stub.
    undocumented = {n for n in module_names - stub_names if not n.startswith("_")}
    assert not undocumented, f"module names missing from the stub: {undocumented}"
