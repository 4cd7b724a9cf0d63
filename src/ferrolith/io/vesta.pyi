from os import PathLike
from types import ModuleType
from typing import IO

from ase import Atoms as Atoms
from ase.spacegroup import crystal as crystal
from ase.utils import reader as reader
from ase.utils import writer as writer

re: ModuleType

class VestaData:
    """Holds the data of a VESTA file that the Atoms object does not use.

    Every line of the file is kept, grouped by block, so that writing back can
    reconstruct the file it came from.
    """

    raw_blocks: dict[str, list[str]]
    # (key, number of lines) in file order; set by read_vesta only when a key
    # comes back after other blocks.
    _file_order: list[tuple[str, int]]
    def __init__(self) -> None: ...

def read_vesta(fd: str | PathLike[str] | IO[str], /) -> Atoms: ...
def write_vesta(fd: str | PathLike[str] | IO[str], atoms: Atoms) -> None: ...
def _write_blocks(fd: str | PathLike[str] | IO[str], vesta_data: VestaData, /) -> None: ...
