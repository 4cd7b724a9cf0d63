"""``ferrolith screen``: screen a structure database for hardness on Dask.

Glue between argparse and ``ferrolith.data.screen.screen_database``; Dask is
imported only when the command runs, so the rest of the tool works without
the ``screen`` extra.
"""

from __future__ import annotations

import argparse
from typing import Any

from ferrolith.cli import CombinedFormatter, finite_float, non_negative_int, positive_int

HELP = "Screen a structure database for hardness, on a local or remote Dask cluster."


def register_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "screen",
        help=HELP,
        description=HELP
        + "\n\nRelaxes every selected row of an ASE database, predicts its Simunek hardness"
        "\nat the automatic first-shell cutoff and writes the results as key-value pairs"
        "\n(hardness_simunek, ionicity, energy_per_atom, formation_energy, e_above_hull,"
        "\nrcut, screen_tag; screen_error for a row that fails). A relaxed row holds its"
        "\nrelaxed structure, its input under initial_structure in its data. Rows of one"
        "\nrun with equal structures are computed once (duplicate_of). Rows with results"
        "\nfor the same settings are skipped, so an interrupted run continues where it"
        "\nstopped.",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument("db", metavar="DB", help="ASE database: SQLite file or postgresql:// URL.")
    parser.add_argument(
        "--query",
        help="Select rows with an ASE query (e.g. 'natoms<=64,C'); a bare integer selects"
        "\nthat row id.",
    )
    parser.add_argument(
        "--potential",
        help="Relaxation potential: 'none' (no relaxation), 'tersoff' or 'pth' (bundled),"
        "\n'gpaw' (DFT with GPAW), any other name the optimize command knows, or a"
        "\npotential file (readable by every worker). Default: 'pth' when the"
        "\nmachine-learned potential can be loaded, 'tersoff' otherwise.",
    )
    parser.add_argument(
        "--fmax", type=finite_float, default=0.05, help="Force criterion of the relaxation (eV/Å)."
    )
    parser.add_argument(
        "--steps", type=non_negative_int, default=1000, help="Most relaxation steps per row."
    )
    parser.add_argument(
        "--pressure", type=finite_float, default=0.0, help="Pressure of the relaxation (GPa)."
    )
    parser.add_argument(
        "--elastic",
        action="store_true",
        help="Also compute bulk_hill, shear_hill (GPa) and the moduli-model hardness values.",
    )
    parser.add_argument(
        "--into",
        metavar="DEST",
        help="Copy the rows with their results to this database instead of updating DB.",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=positive_int,
        help="Worker processes of the local Dask cluster (default: one per core).",
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="Use the running Dask cluster whose scheduler is at ADDRESS (tcp://host:8786).",
    )
    parser.add_argument(
        "--batch", type=positive_int, default=50, help="Rows sent to a worker at a time."
    )
    parser.set_defaults(command="screen")


def main(args: argparse.Namespace) -> None:
    from ferrolith.data.screen import screen_database

    summary = screen_database(
        args.db,
        args.query,
        into=args.into,
        potential=args.potential,
        fmax=args.fmax,
        steps=args.steps,
        pressure=args.pressure,
        elastic=args.elastic,
        workers=args.workers,
        scheduler=args.scheduler,
        batch=args.batch,
    )
    failed = f", {summary.failed:,} with screen_error" if summary.failed else ""
    if summary.duplicates:
        failed += f", {summary.duplicates:,} duplicates of others"
    print(
        f"Screened {summary.screened:,} rows{failed}; {summary.skipped:,} already had results"
        f" (screen_tag={summary.tag}). Results in {summary.destination}"
    )
