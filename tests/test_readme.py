"""The README's Python examples run as pasted, in order, in one namespace.

Each ```python block is executed in a fresh folder that holds only the input
files the README names (copies of the test data); a block that starts a
server has the server call replaced by a recorder, since it would block.
"""

import re
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DATA = Path(__file__).resolve().parent / "data"

BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def _blocks():
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in BLOCK.finditer(text)]


@pytest.fixture
def readme_folder(tmp_path, monkeypatch):
    # Input files the examples read, as a user following the README has them.
    shutil.copy(DATA / "vesta" / "NaCl_Fm-3m.vesta", tmp_path / "NaCl.vesta")
    from ase.build import bulk
    from ase.db import connect

    with connect(tmp_path / "structures.db") as db:
        db.write(bulk("C", "diamond", a=3.567), hardness=90.0)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_readme_has_python_examples():
    assert len(_blocks()) >= 8


# spglib's own deprecation notice, which its users cannot act on
@pytest.mark.filterwarnings("ignore:Set OLD_ERROR_HANDLING:DeprecationWarning")
def test_readme_python_blocks_run_in_order(readme_folder, monkeypatch, capsys):
    served = []
    from ferrolith.data.db import ASEDBApp

    monkeypatch.setattr(ASEDBApp, "run_server", lambda self, **kw: served.append(kw))
    namespace = {"__name__": "__readme__"}
    for line, source in _blocks():
        try:
            exec(compile(source, f"README.md:{line}", "exec"), namespace)
        except Exception as exc:  # name the block that failed
            pytest.fail(f"README block at line {line} failed: {type(exc).__name__}: {exc}")
    assert served, "the viewer example did not reach run_server"
