"""``ferrolith kim``: the machine-learned potential as a KIM portable model.

``ferrolith kim install`` builds the model driver and the portable model of a
model file and installs them into a KIM collection, for LAMMPS (``kim init``)
and ASE (``ase.calculators.kim``); the model's KIM name is the last line on
standard output. ``ferrolith kim export`` writes their sources for building
elsewhere. Glue between argparse and ``ferrolith.kim``.
"""

from __future__ import annotations

import sys
from typing import Any

from ferrolith.cli import CombinedFormatter

HELP = "Build and install the machine-learned potential as a KIM portable model."


def register_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "kim",
        help=HELP,
        description=HELP
        + "\n\nLAMMPS then runs it with 'kim init NAME metal' and 'kim interactions B C N';"
        "\nASE with ase.calculators.kim.KIM(NAME).",
        formatter_class=CombinedFormatter,
    )
    actions = parser.add_subparsers(title="actions", metavar="<action>", required=True)
    install = actions.add_parser(
        "install",
        help="Build the model driver and the portable model and install both.",
        description="Build the model driver and the portable model with the KIM API's CMake\n"
        "helpers and install both into a KIM collection. Prints the model's KIM\n"
        "name as the last line.",
        formatter_class=CombinedFormatter,
    )
    install.add_argument(
        "--potential",
        default="pth",
        help="'pth' (the bundled machine-learned potential) or a .pth model file.",
    )
    install.add_argument(
        "--collection",
        choices=("user", "system"),
        default="user",
        help="KIM collection to install into ('system' needs write access to the\n"
        "KIM API's system directories).",
    )
    install.add_argument(
        "--verbose", action="store_true", help="Show the output of CMake and the compiler."
    )
    install.set_defaults(command="kim", action="install")
    export = actions.add_parser(
        "export",
        help="Write the sources of the model driver and the portable model.",
        description="Write the CMake projects of the model driver and of the portable model\n"
        "(with its parameter file) into DIR/<driver name> and DIR/<model name>,\n"
        "for 'kim-api-collections-management install'. Prints the two directories\n"
        "(driver first), then the model's KIM name.",
        formatter_class=CombinedFormatter,
    )
    export.add_argument(
        "--potential",
        required=True,
        help="'pth' (the bundled machine-learned potential) or a .pth model file.",
    )
    export.add_argument("directory", metavar="DIR", help="Directory to write into.")
    export.set_defaults(command="kim", action="export")


def main(args: Any) -> None:
    from ferrolith import kim

    model, name = kim.load_potential(args.potential)
    if args.action == "install":
        kim.install(
            model, name, collection=args.collection, log=sys.stderr if args.verbose else None
        )
    else:
        for directory in kim.export(model, args.directory, name):
            print(directory)
    print(name)
