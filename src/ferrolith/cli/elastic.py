"""``ferrolith elastic``: the elastic tensor of a structure with a bundled potential.

Glue between argparse and ``ferrolith.properties.elastic``: the tensor as a
table, the Voigt/Reuss/Hill moduli and the Born stability verdict, or the same
as JSON.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import math
import sys
from typing import Any

from ferrolith.cli import CombinedFormatter, finite_float, read_structure

HELP = "Compute the elastic tensor and moduli of a crystal by finite strains."
VOIGT = ("xx", "yy", "zz", "yz", "xz", "xy")


def _strain(text: str) -> float:
    value = finite_float(text)
    if not 0 < value <= 0.1:
        raise argparse.ArgumentTypeError(f"a strain must lie in (0, 0.1], not {text!r}")
    return value


def _positive(text: str) -> float:
    value = finite_float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text!r}")
    return value


def register_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "elastic",
        help=HELP,
        description=HELP
        + "\n\nEach strain is applied with both signs to every Voigt component; the atoms"
        "\nare relaxed in each strained cell and stress is fitted against strain."
        "\nCells that the crystal's symmetry maps onto computed ones are not computed.",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument(
        "-f",
        "--filename",
        help="Structure file (any format ASE reads, and .bcs); periodic in 3D.\n"
        "Required unless --cij is given; with --cij it adds the Simunek hardness.",
    )
    parser.add_argument(
        "--potential",
        default="tersoff",
        help="The potential of the calculator.\n"
        "'pth':     pre-trained BCN ML potential.\n"
        "'tersoff': pre-trained BCN tersoff potential.\n"
        "'gpaw':    DFT with GPAW (PBE, plane waves; pip install 'ferrolith[dft]').\n"
        "anything else: the path of a potential file (.json: GPAW settings).",
    )
    parser.add_argument(
        "--strain-set",
        choices=("symmetry", "full"),
        default="symmetry",
        help="'symmetry': compute only the strained cells that the crystal's symmetry\n"
        "does not give; 'full': every component, sign and strain.",
    )
    parser.add_argument(
        "--no-relax",
        dest="relax",
        action="store_false",
        default=argparse.SUPPRESS,  # no "(default: True)" in the help
        help="Use the structure as read, without relaxing cell and positions first.",
    )
    parser.add_argument(
        "--strain",
        type=_strain,
        nargs="+",
        default=[0.005, 0.01],
        metavar="S",
        help="Strain magnitudes, each applied with both signs.",
    )
    parser.add_argument(
        "--fmax", type=_positive, default=1e-3, help="Force criterion of the relaxations (eV/A)."
    )
    parser.add_argument(
        "--symprec",
        type=_positive,
        default=1e-3,
        help="Tolerance (A) for finding the crystal system of the stability criteria.",
    )
    parser.add_argument(
        "--cij",
        metavar="FILE",
        help="Use elastic constants you already have instead of computing them: a\n"
        "VASP OUTCAR ('TOTAL ELASTIC MODULI', kBar), or a 6x6 matrix in Voigt\n"
        "order (xx yy zz yz xz xy), GPa, as plain text or JSON. Prints the\n"
        "moduli, stability, anisotropy indices and the hardness models.",
    )
    parser.add_argument("--json", action="store_true", help="Print the result as JSON.")
    parser.set_defaults(command="elastic")


def print_tensor(values: dict[str, Any]) -> None:
    """The tensor, the Voigt/Reuss/Hill moduli, Young's modulus, Poisson's ratio
    and the stability verdict (keys as ElasticResult's fields)."""
    print("Elastic tensor C_ij (GPa)")
    print("      " + "".join(f"{name:>10}" for name in VOIGT))
    for name, row in zip(VOIGT, values["cij"]):
        # + 0.0 turns the -0.0 of rounding noise into 0.0
        print(f"  {name}  " + "".join(f"{round(value, 1) + 0.0:10.1f}" for value in row))
    print()
    print(f"{'':22}{'Voigt':>10}{'Reuss':>10}{'Hill':>10}")
    print(
        f"{'Bulk modulus (GPa)':22}{values['bulk_voigt']:10.1f}{values['bulk_reuss']:10.1f}"
        f"{values['bulk_hill']:10.1f}"
    )
    print(
        f"{'Shear modulus (GPa)':22}{values['shear_voigt']:10.1f}{values['shear_reuss']:10.1f}"
        f"{values['shear_hill']:10.1f}"
    )
    print(f"Young's modulus (GPa): {values['young']:.1f}")
    print(f"Poisson's ratio:       {values['poisson']:.4f}")
    print(f"Born stability:        {'stable' if values['stable'] else 'UNSTABLE'}")


def _print_report(result: Any) -> None:
    print_tensor({f.name: getattr(result, f.name) for f in dataclasses.fields(result)})
    print(f"Fit residual (GPa):    {result.residual:.3g}")


def _json_number(value: float) -> float | None:
    return value if math.isfinite(value) else None


def main(args: argparse.Namespace) -> int:
    """Runs the command (an unstable crystal is a result, not a failure)."""
    from ferrolith.properties.elastic import elastic_tensor

    cij = getattr(args, "cij", None)
    if cij is not None:
        return _tensor_main(cij, args)
    if args.filename is None:
        raise ValueError("Give a structure file with -f/--filename, or a tensor with --cij.")
    atoms = read_structure(args.filename)
    result = elastic_tensor(
        atoms,
        potential=args.potential,
        strains=tuple(args.strain),
        relax=getattr(args, "relax", True),  # absent unless --no-relax is given
        fmax=args.fmax,
        symprec=args.symprec,
        strain_set=args.strain_set,
    )
    if args.json:
        record = dataclasses.asdict(result)
        record["cij"] = result.cij.tolist()
        record = {k: _json_number(v) if isinstance(v, float) else v for k, v in record.items()}
        print(json.dumps({"file": args.filename, **record}, indent=2))
    else:
        _print_report(result)
    return 0


def _tensor_main(cij: str, args: argparse.Namespace) -> int:
    """--cij: the report of a tensor the user has (an unstable one is a result)."""
    from ferrolith.cli.hardness import json_ready, print_tensor_summary, tensor_summary

    if args.json:
        with contextlib.redirect_stdout(sys.stderr):
            record = tensor_summary(cij, args.filename)
        print(json.dumps(json_ready(record), indent=2))
    else:
        record = tensor_summary(cij, args.filename)
        print_tensor_summary(record)
    return 1 if any("error" in m for m in record["hardness"]) else 0
