import argparse
from pathlib import Path as Path

import numpy
from ase.build import bulk as bulk

from ferrolith.build.polycrystal import Polycrystal as Polycrystal
from ferrolith.build.polycrystal import read_params as read_params
from ferrolith.cli import CombinedFormatter as CombinedFormatter
from ferrolith.cli import finite_float as finite_float
from ferrolith.cli import non_negative_int as non_negative_int

np = numpy

class _TypedStore(argparse._StoreAction):
    """Stores an option's value and records that the option was typed."""

class _TypedAppend(argparse._AppendAction):
    """Appends an option's values and records that the option was typed."""

def register_parser(subparsers: argparse._SubParsersAction) -> None: ...
def main(args: argparse.Namespace) -> None: ...
