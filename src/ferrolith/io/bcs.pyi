from os import PathLike
from types import ModuleType
from typing import IO

from ase import Atoms as Atoms
from ase.cell import Cell as Cell
from ase.spacegroup import Spacegroup as Spacegroup
from ase.spacegroup import crystal as crystal
from ase.utils import reader as reader
from ase.utils import writer as writer

np: ModuleType

def read_bcs(fd: str | PathLike[str] | IO[str], /) -> Atoms: ...
def write_bcs(fd: str | PathLike[str] | IO[str], atoms: Atoms, symprec: float = 0.01) -> None: ...
def _write_text(fd: str | PathLike[str] | IO[str], text: str, /) -> None: ...
