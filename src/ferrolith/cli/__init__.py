"""The ``ferrolith`` command-line tool.

Each subcommand lives in a module of this package that exports
``register_parser(subparsers)`` and ``main(args)``. The host adds every
subcommand module that can be imported, parses the command line and runs the
chosen command's ``main`` with the parsed namespace.
"""

from __future__ import annotations

import argparse
import importlib
import math
import sys
import traceback
from collections.abc import Sequence
from types import ModuleType
from typing import Any

__all__ = [
    "COMMANDS",
    "CombinedFormatter",
    "build_parser",
    "finite_float",
    "main",
    "non_negative_int",
    "positive_int",
    "read_structure",
]

#: Subcommand modules, in the order the help lists them.
COMMANDS: tuple[str, ...] = (
    "boundary",
    "polycrystal",
    "optimize",
    "vitrine",
    "hardness",
    "elastic",
    "screen",
    "kim",
)


class CombinedFormatter(argparse.ArgumentDefaultsHelpFormatter, argparse.RawTextHelpFormatter):
    """Help formatter that keeps the line breaks of help texts and shows defaults."""


def finite_float(text: str) -> float:
    """argparse ``type=`` for a float option: a finite number (no nan, no inf).

    Every command uses it for its float options, so a typo such as ``nan``
    is refused while parsing instead of failing (or silently succeeding)
    after the work.
    """
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text!r}")
    return value


def _int_at_least(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, not {value}")
    return value


def positive_int(text: str) -> int:
    """argparse ``type=`` for a count option: an integer of at least 1."""
    return _int_at_least(text, 1)


def non_negative_int(text: str) -> int:
    """argparse ``type=`` for a limit option: an integer of at least 0."""
    return _int_at_least(text, 0)


def read_structure(path: str) -> Any:
    """The structure in the file ``path``, for the commands that read files.

    Any format ASE reads, and ``.bcs`` through the extended reader; a file
    whose format cannot be told is a ValueError naming the file.
    """
    from ase.io.formats import UnknownFileTypeError

    from ferrolith.io.ext import read

    try:
        return read(path)
    except UnknownFileTypeError:
        raise ValueError(f"unknown file format: {path}") from None


def _load_commands() -> dict[str, ModuleType]:
    # A command whose module (or one of its optional dependencies) is missing
    # is left out of the tool rather than breaking every other command.
    modules: dict[str, ModuleType] = {}
    for name in COMMANDS:
        try:
            modules[name] = importlib.import_module(f"{__name__}.{name}")
        except ImportError as exc:
            # An extension module reports Ctrl-C during its own imports as
            # "initialization failed": that is no missing dependency.
            if _caused_by_interrupt(exc):
                raise KeyboardInterrupt from None
            continue
    return modules


def _caused_by_interrupt(exc: BaseException | None) -> bool:
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, KeyboardInterrupt):
            return True
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return False


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, ModuleType]]:
    """The top-level parser with one sub-parser per available command."""
    from ferrolith import __version__

    parser = argparse.ArgumentParser(
        prog="ferrolith",
        description="Materials modelling for crystal structures.",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--traceback",
        action="store_true",
        help="Show the full traceback when a command fails (for bug reports).",
    )
    subparsers = parser.add_subparsers(title="commands", metavar="<command>")
    modules = _load_commands()
    for module in modules.values():
        module.register_parser(subparsers)
    return parser, modules


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the tool; returns the exit status."""
    try:
        parser, modules = build_parser()  # imports every command: Ctrl-C may come here
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    args = parser.parse_args(argv)
    command: str | None = getattr(args, "command", None)
    if command is None:
        parser.print_help()
        return 2
    try:
        status = modules[command].main(args)
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except Exception as exc:  # reported as one line; --traceback shows all
        if args.traceback:
            traceback.print_exc()
        else:
            message = str(exc) or type(exc).__name__
            print(f"ferrolith {command}: error: {message}", file=sys.stderr)
        return 1
    # Commands return nothing on success; one that reports partial failure
    # (e.g. hardness over several files) returns its exit status.
    return status if isinstance(status, int) else 0
