import argparse
from pathlib import Path as Path
from typing import Any

from ase.io import write as write

from ferrolith.build.twin import CoherentTwinBoundary as CoherentTwinBoundary
from ferrolith.cli import CombinedFormatter as CombinedFormatter
from ferrolith.cli import finite_float as finite_float
from ferrolith.cli import positive_int as positive_int

def register_parser(subparsers: Any) -> None: ...
def main(args: argparse.Namespace) -> int | None: ...
