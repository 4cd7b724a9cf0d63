import argparse
from pathlib import Path as Path
from typing import Any

from ase.io import write as write

from ferrolith.build.twin import CoherentTwinBoundary as CoherentTwinBoundary
from ferrolith.cli import CombinedFormatter as CombinedFormatter

def register_parser(subparsers: Any) -> None: ...
def main(args: argparse.Namespace) -> None: ...
