import argparse
from typing import Any

from ferrolith.cli import CombinedFormatter as CombinedFormatter
from ferrolith.data.db import ASEDBApp as ASEDBApp
from ferrolith.gui import create_protected_app as create_protected_app

def register_parser(subparsers: Any) -> None: ...
def main(args: argparse.Namespace) -> None: ...
