"""``ferrolith hardness``: Vickers hardness from structure files or elastic moduli.

Glue between argparse and the compiled models of ``ferrolith.properties``:
one aligned row per structure file (Šimůnek model) or per moduli model, or the
same results as JSON.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from typing import Any

from ferrolith.cli import CombinedFormatter

HELP = "Predict Vickers hardness from structures or elastic moduli."
MODELS = ("chen", "tian", "jiang", "mazhnik")


def register_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "hardness",
        help=HELP,
        description=HELP
        + "\n\nWith structure files: the Simunek bond-strength model, one row per file."
        "\nWith --shear/--bulk/--young/--poisson: the moduli models (GPa).",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument(
        "files", nargs="*", metavar="FILE", help="Structure files (any format ASE reads, and .bcs)."
    )
    structure = parser.add_argument_group("structure model")
    structure.add_argument(
        "--rcut", type=float, default=2.0, help="Cutoff radius for bonds in Angstroms."
    )
    structure.add_argument(
        "--tolerance",
        type=float,
        default=0.2,
        help="Distance tolerance for grouping bonds into types in Angstroms.",
    )
    structure.add_argument(
        "--verbose", action="store_true", help="Print the bond analysis of each structure."
    )
    moduli = parser.add_argument_group("moduli models")
    moduli.add_argument("--shear", type=float, help="Shear modulus G in GPa.")
    moduli.add_argument("--bulk", type=float, help="Bulk modulus B in GPa.")
    moduli.add_argument("--young", type=float, help="Young's modulus E in GPa.")
    moduli.add_argument("--poisson", type=float, help="Poisson's ratio.")
    which = moduli.add_mutually_exclusive_group()
    which.add_argument(
        "--method", default="chen", help="Model: chen, tian, jiang or mazhnik (any case)."
    )
    which.add_argument("--all-methods", action="store_true", help="Evaluate every model.")
    parser.add_argument("--json", action="store_true", help="Print the results as JSON.")
    parser.set_defaults(command="hardness")


def _read_structure(path: str) -> Any:
    # The extended reader also handles .bcs; plain ASE where it is not built.
    try:
        from ferrolith.io.ext import read
    except ImportError:
        from ase.io import read
    return read(path)


def _structure_rows(args: argparse.Namespace) -> list[dict[str, Any]]:
    from ferrolith.properties.bondvick import SimunekHardnessCalculator

    calc = SimunekHardnessCalculator(verbose=args.verbose)
    rows: list[dict[str, Any]] = []
    for path in _progress(args.files):
        row: dict[str, Any] = {"file": path}
        try:
            atoms = _read_structure(path)
            row.update(formula=atoms.get_chemical_formula(), natoms=len(atoms))
            result = calc._calculate_hardness(atoms, rcut=args.rcut, tolerance=args.tolerance)
            if "error" in result:
                raise ValueError(result["error"])
            row.update(
                hardness=result["hardness"],
                ionicity_factor=result["ionicity_factor"],
                bond_types=result["total_bonds_type"],
            )
        except Exception as exc:  # one failing file must not stop the others
            row["error"] = str(exc) or type(exc).__name__
        rows.append(row)
    return rows


def _moduli_rows(args: argparse.Namespace) -> list[dict[str, Any]]:
    from ferrolith.properties.hardness import calculate_hardness

    methods = MODELS if args.all_methods else (args.method,)
    rows: list[dict[str, Any]] = []
    for method in methods:
        row: dict[str, Any] = {"method": method}
        try:
            value = calculate_hardness(
                shear=args.shear,
                bulk=args.bulk,
                young=args.young,
                poisson=args.poisson,
                method=method,
            )
            row["hardness"] = value
        except Exception as exc:
            row["error"] = str(exc) or type(exc).__name__
        rows.append(row)
    return rows


def _progress(items: list[str]) -> Any:
    if len(items) > 1 and sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            return items
        return tqdm(items, desc="hardness", unit="file", file=sys.stderr, leave=False)
    return items


def _format_number(value: Any, format_spec: str) -> str:
    if isinstance(value, complex):  # the Tian model for negative moduli
        return f"{value.real:{format_spec}}{value.imag:+{format_spec}}j"
    return f"{value:{format_spec}}"


def _print_table(header: list[str], rows: list[list[str]], errors: list[str | None]) -> None:
    widths = [
        max([len(h)] + [len(r[k]) for r, e in zip(rows, errors) if e is None])
        for k, h in enumerate(header)
    ]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip())
    for cells, error in zip(rows, errors):
        if error is None:
            print("  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip())
        else:
            print(f"{cells[0].ljust(widths[0])}  error: {error}")


def _json_ready(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    for row in rows:
        if isinstance(row.get("hardness"), complex):
            value = row["hardness"]
            row["hardness"] = {"real": value.real, "imag": value.imag}
    return rows


def main(args: argparse.Namespace) -> int:
    """Runs the command; returns 1 when any structure or model failed."""
    moduli_given = any(getattr(args, k) is not None for k in ("shear", "bulk", "young", "poisson"))
    if args.files and moduli_given:
        raise ValueError("Give structure files or elastic moduli, not both.")
    if not args.files and not moduli_given:
        raise ValueError(
            "Give structure files, or elastic moduli with --shear/--bulk/--young/--poisson."
        )

    # In JSON mode, diagnostics (verbose reports, warnings) go to stderr so that
    # standard output stays valid JSON.
    diagnostics = contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext()
    with diagnostics:
        rows = _structure_rows(args) if args.files else _moduli_rows(args)

    if args.json:
        print(json.dumps(_json_ready(rows), indent=2))
    elif args.files:
        _print_table(
            ["file", "formula", "atoms", "H (GPa)", "ionicity", "bond types"],
            [
                [
                    r["file"],
                    r.get("formula", ""),
                    str(r.get("natoms", "")),
                    _format_number(r.get("hardness", 0.0), ".3f"),
                    _format_number(r.get("ionicity_factor", 0.0), ".4f"),
                    str(r.get("bond_types", "")),
                ]
                for r in rows
            ],
            [r.get("error") for r in rows],
        )
    else:
        _print_table(
            ["method", "H (GPa)"],
            [[r["method"], _format_number(r.get("hardness", 0.0), ".3f")] for r in rows],
            [r.get("error") for r in rows],
        )
    return 1 if any("error" in r for r in rows) else 0
