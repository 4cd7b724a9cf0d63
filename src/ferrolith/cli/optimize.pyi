import argparse as _argparse
from pathlib import Path as Path
from types import ModuleType
from typing import Any

from ase.io import read as read
from ase.io import write as write
from ase.io.formats import filetype as filetype
from ase.io.formats import ioformats as ioformats

from ferrolith.cli import CombinedFormatter as CombinedFormatter
from ferrolith.cli import finite_float as finite_float
from ferrolith.optimization import get_calculator as get_calculator
from ferrolith.optimization import optimize_structure as optimize_structure
from ferrolith.optimization import relaxation_residual as relaxation_residual

argparse: ModuleType
files: ModuleType

def register_parser(subparsers: Any) -> None: ...
def main(args: _argparse.Namespace) -> int | None: ...
