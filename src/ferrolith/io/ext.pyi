from inspect import Signature
from os import fspath as fspath
from os.path import isfile as isfile
from pathlib import Path as Path
from pathlib import PurePath as PurePath
from shutil import copyfile as copyfile
from typing import Any
from typing import List as List  # noqa: UP035 - the module binds it
from typing import Union as Union

import ase.io
from ase.atoms import Atoms as Atoms
from ase.io.formats import filetype as filetype

from ferrolith.core.decorators import extended_func_decorator as extended_func_decorator
from ferrolith.io.bcs import read_bcs as read_bcs
from ferrolith.io.bcs import write_bcs as write_bcs

__all__ = ["read", "write", "Trajectory"]  # noqa: RUF022 - the order of the module

#: The signature of ase.io.write, by which write's arguments are read.
WRITE_SIGNATURE: Signature
#: ASE formats that write more than the named file; written in place.
MULTI_FILE_FORMATS: frozenset[str]

Trajectory = ase.io.Trajectory
ase_read = ase.io.read
ase_write = ase.io.write
# The extended functions have ASE's signatures.
read = ase.io.read
write = ase.io.write

def _read_ext(filename: str, *args: Any, **kwargs: Any) -> Atoms | list[Atoms]: ...
def _write_ase(*args: Any, **kwargs: Any) -> Any: ...
def _write_ext(filename: Any, atoms: Any, *args: Any, **kwargs: Any) -> Any: ...
