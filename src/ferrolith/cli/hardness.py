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
import time
from typing import Any

from ferrolith.cli import CombinedFormatter, finite_float, read_structure

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
        "--rcut",
        type=_cutoff,
        default="auto",
        help="Cutoff radius for bonds in Angstroms, or 'auto': the first coordination\n"
        "shell of each structure. Per atom, the first shell is the nearest neighbour\n"
        "and every further neighbour reached through steps of at most 10 %% between\n"
        "sorted distances (within 1.3 times the nearest); the cutoff lies halfway\n"
        "between the longest first-shell bond and the next longer distance.",
    )
    structure.add_argument(
        "--tolerance",
        type=finite_float,
        default=0.2,
        help="Distance tolerance for grouping bonds into types in Angstroms.",
    )
    structure.add_argument(
        "--verbose", action="store_true", help="Print the bond analysis of each structure."
    )
    structure.add_argument(
        "--potential",
        help="Also compute the Hill moduli of each structure with this potential\n"
        "('tersoff', 'pth' or a potential file, as for optimize; 'gpaw' or a .json\n"
        "file of GPAW settings for DFT with GPAW; the structure is relaxed first)\n"
        "and print the Chen, Tian, Jiang and Mazhnik hardness beside the Simunek value.",
    )
    moduli = parser.add_argument_group("moduli models")
    moduli.add_argument("--shear", type=_modulus, help="Shear modulus G in GPa.")
    moduli.add_argument("--bulk", type=_modulus, help="Bulk modulus B in GPa.")
    moduli.add_argument("--young", type=_modulus, help="Young's modulus E in GPa.")
    moduli.add_argument("--poisson", type=finite_float, help="Poisson's ratio.")
    which = moduli.add_mutually_exclusive_group()
    which.add_argument(
        "--method", default="chen", help="Model: chen, tian, jiang or mazhnik (any case)."
    )
    which.add_argument("--all-methods", action="store_true", help="Evaluate every model.")
    parser.add_argument("--json", action="store_true", help="Print the results as JSON.")
    parser.set_defaults(command="hardness")


def _cutoff(text: str) -> float | str:
    """argparse ``type=`` for --rcut: 'auto' or a positive finite number."""
    if text == "auto":
        return text
    value = finite_float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be 'auto' or a positive number, not {text!r}")
    return value


def _modulus(text: str) -> float:
    """argparse ``type=`` for an elastic modulus: a positive finite number (GPa)."""
    value = finite_float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(
            f"an elastic modulus must be a positive number of GPa, not {text!r}"
        )
    return value


class _Progress:
    """Progress lines on standard error for runs that take a while."""

    LARGE = 5000  # atoms: a structure this large takes seconds
    AFTER = 2.0  # seconds: report finished files once a run has taken this long

    def __init__(self, total: int) -> None:
        self.total = total
        self.start = time.perf_counter()

    def starting(self, path: str, natoms: int, what: str) -> None:
        if natoms >= self.LARGE:
            print(f"hardness: {path}: {natoms} atoms, {what} ...", file=sys.stderr, flush=True)

    def finished(self, done: int) -> None:
        elapsed = time.perf_counter() - self.start
        if self.total > 1 and elapsed >= self.AFTER:
            print(
                f"hardness: {done}/{self.total} files done ({elapsed:.1f} s)",
                file=sys.stderr,
                flush=True,
            )


def _moduli_hardness(atoms: Any, potential: str) -> dict[str, Any]:
    """Hill moduli of the structure with a potential, and the four moduli models."""
    from ferrolith.properties.elastic import elastic_tensor
    from ferrolith.properties.hardness import calculate_hardness

    result = elastic_tensor(atoms, potential=potential)
    bulk, shear = float(result.bulk_hill), float(result.shear_hill)
    row: dict[str, Any] = {"bulk_hill": bulk, "shear_hill": shear}
    for method in MODELS:
        try:
            row[method] = calculate_hardness(shear=shear, bulk=bulk, method=method)
        except (ValueError, ZeroDivisionError) as exc:
            row[method] = None
            row.setdefault("model_errors", {})[method] = str(exc)
    return row


def _structure_rows(args: argparse.Namespace) -> list[dict[str, Any]]:
    from ferrolith.properties.bondvick import SimunekHardnessCalculator, first_shell_cutoff

    calc = SimunekHardnessCalculator(verbose=args.verbose)
    potential = getattr(args, "potential", None)
    progress = _Progress(len(args.files))
    rows: list[dict[str, Any]] = []
    for done, path in enumerate(args.files, start=1):
        row: dict[str, Any] = {"file": path}
        try:
            atoms = read_structure(path)
            row.update(formula=atoms.get_chemical_formula(), natoms=len(atoms))
            progress.starting(path, len(atoms), "analysing bonds")
            rcut = first_shell_cutoff(atoms) if args.rcut == "auto" else args.rcut
            row["rcut"] = rcut
            result = calc._calculate_hardness(atoms, rcut=rcut, tolerance=args.tolerance)
            if "error" in result:
                raise ValueError(result["error"])
            row.update(
                hardness=result["hardness"],
                ionicity_factor=result["ionicity_factor"],
                bond_types=result["total_bonds_type"],
            )
            if potential is not None:
                progress.starting(path, len(atoms), "computing the elastic tensor")
                # The Mazhnik model's range warning is a diagnostic: keep it
                # off the table.
                with contextlib.redirect_stdout(sys.stderr):
                    row.update(_moduli_hardness(atoms, potential))
        except Exception as exc:  # one failing file must not stop the others
            row["error"] = str(exc) or type(exc).__name__
        rows.append(row)
        progress.finished(done)
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
        for key in ("hardness", *MODELS):
            value = row.get(key)
            if isinstance(value, complex):
                row[key] = {"real": value.real, "imag": value.imag}
    return rows


def _structure_table(rows: list[dict[str, Any]], potential: bool) -> None:
    header = ["file", "formula", "atoms", "rcut (A)", "H (GPa)", "ionicity", "bond types"]
    if potential:
        header += ["B (GPa)", "G (GPa)", *MODELS]

    def cells(r: dict[str, Any]) -> list[str]:
        out = [
            r["file"],
            r.get("formula", ""),
            str(r.get("natoms", "")),
            _format_number(r.get("rcut", 0.0), ".3f"),
            _format_number(r.get("hardness", 0.0), ".3f"),
            _format_number(r.get("ionicity_factor", 0.0), ".4f"),
            str(r.get("bond_types", "")),
        ]
        if potential:
            out += [_format_number(r.get(k, 0.0), ".1f") for k in ("bulk_hill", "shear_hill")]
            out += ["-" if r.get(m) is None else _format_number(r[m], ".3f") for m in MODELS]
        return out

    _print_table(header, [cells(r) for r in rows], [r.get("error") for r in rows])


def main(args: argparse.Namespace) -> int:
    """Runs the command; returns 1 when any structure or model failed."""
    moduli_given = any(getattr(args, k) is not None for k in ("shear", "bulk", "young", "poisson"))
    if args.files and moduli_given:
        raise ValueError("Give structure files or elastic moduli, not both.")
    if not args.files and not moduli_given:
        raise ValueError(
            "Give structure files, or elastic moduli with --shear/--bulk/--young/--poisson."
        )
    potential = getattr(args, "potential", None)
    if potential is not None and not args.files:
        raise ValueError("--potential needs structure files.")

    # In JSON mode, diagnostics (verbose reports, warnings) go to stderr so that
    # standard output stays valid JSON.
    diagnostics = contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext()
    with diagnostics:
        rows = _structure_rows(args) if args.files else _moduli_rows(args)

    if args.json:
        print(json.dumps(_json_ready(rows), indent=2))
    elif args.files:
        _structure_table(rows, potential is not None)
    else:
        _print_table(
            ["method", "H (GPa)"],
            [[r["method"], _format_number(r.get("hardness", 0.0), ".3f")] for r in rows],
            [r.get("error") for r in rows],
        )
    return 1 if any("error" in r for r in rows) else 0
