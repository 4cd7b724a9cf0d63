"""``ferrolith hardness``: Vickers hardness from structure files or elastic moduli.

Glue between argparse and the compiled models of ``ferrolith.properties``:
one aligned row per structure file (Šimůnek model) or per moduli model, or the
same results as JSON.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
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
    tensor = parser.add_argument_group("elastic tensor")
    tensor.add_argument(
        "--cij",
        metavar="FILE",
        help="Elastic constants you already have: a VASP OUTCAR ('TOTAL ELASTIC\n"
        "MODULI', kBar), or a 6x6 matrix in Voigt order (xx yy zz yz xz xy), GPa, as\n"
        "plain text or JSON. Prints the moduli, stability, anisotropy and the\n"
        "moduli models; with one structure file also the Simunek value.",
    )
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


def _moduli_hardness(
    atoms: Any, potential: str, ionicity: float, simunek: float | None
) -> dict[str, Any]:
    """Hill moduli of the structure with a potential, and the four moduli models
    (flagged, among others, when far from an unflagged Simunek value)."""
    from ferrolith.properties.domain import moduli_flags
    from ferrolith.properties.elastic import elastic_tensor
    from ferrolith.properties.hardness import calculate_hardness

    result = elastic_tensor(atoms, potential=potential)
    bulk, shear = float(result.bulk_hill), float(result.shear_hill)
    row: dict[str, Any] = {"bulk_hill": bulk, "shear_hill": shear, "flags": []}
    for method in MODELS:
        try:
            row[method] = calculate_hardness(shear=shear, bulk=bulk, method=method)
            flags = moduli_flags(method, shear, bulk, ionicity, *_compared(row[method], simunek))
            row["flags"] += [f"{method}: {f}" for f in flags]
        except (ValueError, ZeroDivisionError) as exc:
            row[method] = None
            row.setdefault("model_errors", {})[method] = str(exc)
    return row


def _compared(value: Any, simunek: float | None) -> tuple[float | None, float | None]:
    """The (value, simunek) pair for moduli_flags: both, or neither when there
    is nothing to compare (no unflagged Simunek value, a complex value)."""
    if simunek is None or isinstance(value, complex):
        return None, None
    return value, simunek


def _report_flags(name: str, flags: list[str] | None) -> None:
    """One line on standard error for a structure with values outside their model's domain."""
    if flags:
        print(f"hardness: {name}: outside the model's domain: {'; '.join(flags)}", file=sys.stderr)


def _structure_rows(args: argparse.Namespace) -> list[dict[str, Any]]:
    from ferrolith.properties.bondvick import SimunekHardnessCalculator, first_shell_cutoff
    from ferrolith.properties.domain import simunek_flags

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
            row["flags"] = simunek_flags(atoms, result["ionicity_factor"])
        except Exception as exc:  # one failing file must not stop the others
            row["error"] = str(exc) or type(exc).__name__
        if potential is not None and "error" not in row:
            # The Simunek value needs no potential: a failure here is the
            # moduli columns' alone.
            progress.starting(path, len(atoms), "computing the elastic tensor")
            try:
                # The Mazhnik model's range warning is a diagnostic: keep it
                # off the table.
                with contextlib.redirect_stdout(sys.stderr):
                    moduli = _moduli_hardness(
                        atoms,
                        potential,
                        row["ionicity_factor"],
                        None if row["flags"] else row["hardness"],
                    )
                row["flags"] += moduli.pop("flags")
                row.update(moduli)
            except Exception as exc:
                row["moduli_error"] = str(exc) or type(exc).__name__
        _report_flags(row.get("file", ""), row.get("flags"))
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
            row["flags"] = _given_moduli_flags(method, args)
        except Exception as exc:
            row["error"] = str(exc) or type(exc).__name__
        _report_flags(method, row.get("flags"))
        rows.append(row)
    return rows


def _given_moduli_flags(method: str, args: argparse.Namespace) -> list[str]:
    """Domain flags of a moduli model; those that need G and B only when both are given."""
    from ferrolith.properties.domain import moduli_flags

    if args.shear is None or args.bulk is None:
        return []
    return moduli_flags(method, shear=args.shear, bulk=args.bulk)


def _format_number(value: Any, format_spec: str) -> str:
    if isinstance(value, complex):  # the Tian model for negative moduli
        return f"{value.real:{format_spec}}{value.imag:+{format_spec}}j"
    return f"{value:{format_spec}}"


MARKER = "!"  # the marker column: a value outside its model's domain (details on stderr)


def _print_table(
    header: list[str],
    rows: list[list[str]],
    errors: list[str | None],
    tails: list[str | None] | None = None,
) -> None:
    """Aligned columns; a row with an error prints it after its first cell, a
    row with a tail (an error of its later columns) prints it after the
    columns before the tail's. The last column is the unheaded marker column."""
    tails = tails or [None] * len(rows)
    widths = [
        max(
            [len(h)]
            + [
                len(r[k])
                for r, e, t in zip(rows, errors, tails)
                if e is None and (t is None or k < len(r))
            ]
        )
        for k, h in enumerate(header)
    ]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip())
    for cells, error, tail in zip(rows, errors, tails):
        if error is not None:
            print(f"{cells[0].ljust(widths[0])}  error: {error}")
        elif tail is not None:
            line = "  ".join(c.ljust(w) for c, w in zip(cells, widths))
            print(f"{line}  error: {tail}")
        else:
            print("  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip())


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
    header.append("")

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
        if "moduli_error" in r:  # the Simunek columns, then the error of the rest
            return out
        if potential:
            out += [_format_number(r.get(k, 0.0), ".1f") for k in ("bulk_hill", "shear_hill")]
            out += ["-" if r.get(m) is None else _format_number(r[m], ".3f") for m in MODELS]
        return [*out, MARKER if r.get("flags") else ""]

    _print_table(
        header,
        [cells(r) for r in rows],
        [r.get("error") for r in rows],
        [r.get("moduli_error") for r in rows],
    )


def tensor_summary(
    cij_path: str, structure_path: str | None, rcut: float | str = "auto", tolerance: float = 0.2
) -> dict[str, Any]:
    """Moduli, stability, anisotropy and the hardness models of a tensor file
    (the Simunek model too when a structure file is given): one JSON-ready record."""
    from ferrolith.properties.domain import moduli_flags
    from ferrolith.properties.hardness import calculate_hardness
    from ferrolith.properties.tensor import read_cij, tensor_moduli

    result = tensor_moduli(read_cij(cij_path))
    record: dict[str, Any] = {"cij_file": cij_path, "cij": result.cij.tolist()}
    for name in (
        "bulk_voigt", "bulk_reuss", "bulk_hill", "shear_voigt", "shear_reuss", "shear_hill",
        "young", "poisson", "stable", "zener", "universal_anisotropy",
    ):  # fmt: skip
        record[name] = getattr(result, name)
    models: list[dict[str, Any]] = []
    if structure_path is not None:
        args = argparse.Namespace(
            files=[structure_path], verbose=False, rcut=rcut, tolerance=tolerance
        )
        (row,) = _structure_rows(args)
        models.append({"method": "simunek", "file": structure_path})
        for key in ("hardness", "error", "flags"):
            if key in row:
                models[-1][key] = row[key]
    ionicity = simunek = None
    if structure_path is not None:
        ionicity = row.get("ionicity_factor")
        simunek = None if row.get("flags", True) else row["hardness"]
    shear, bulk = result.shear_hill, result.bulk_hill
    unstable = [] if result.stable else ["unstable tensor"]
    for method in MODELS:
        model: dict[str, Any] = {"method": method}
        try:
            # The Mazhnik model's range warning is a diagnostic: keep it off the report.
            with contextlib.redirect_stdout(sys.stderr):
                model["hardness"] = calculate_hardness(shear=shear, bulk=bulk, method=method)
            value = model["hardness"]
            model["flags"] = unstable + moduli_flags(
                method, shear, bulk, ionicity, *_compared(value, simunek)
            )
        except Exception as exc:
            model["error"] = str(exc) or type(exc).__name__
        models.append(model)
    record["hardness"] = models
    flags = [f"{m['method']}: {f}" for m in models[-len(MODELS) :] for f in m.get("flags", [])]
    _report_flags(cij_path, flags)
    return record


def print_tensor_summary(record: dict[str, Any]) -> None:
    """The report of tensor_summary: tensor, moduli, verdict, anisotropy, hardness models."""
    from ferrolith.cli.elastic import print_tensor

    print_tensor(record)
    zener = record["zener"]
    print(f"Zener anisotropy:      {'n/a (not cubic)' if math.isnan(zener) else f'{zener:.3f}'}")
    print(f"Universal anisotropy:  {record['universal_anisotropy']:.3f}")
    print()
    _print_model_table("model", record["hardness"])


def _print_model_table(first_column: str, models: list[dict[str, Any]]) -> None:
    """One line per moduli model: its hardness, a marker when flagged, its error."""
    _print_table(
        [first_column, "H (GPa)", ""],
        [
            [
                m["method"],
                _format_number(m.get("hardness", 0.0), ".3f"),
                MARKER if m.get("flags") else "",
            ]
            for m in models
        ],
        [m.get("error") for m in models],
    )


def _tensor_main(args: argparse.Namespace) -> int:
    if len(args.files) > 1:
        raise ValueError("--cij takes at most one structure file (the crystal of the tensor).")
    potential = getattr(args, "potential", None)
    if potential is not None:
        raise ValueError("Give --cij or --potential, not both.")
    diagnostics = contextlib.redirect_stdout(sys.stderr) if args.json else contextlib.nullcontext()
    with diagnostics:
        record = tensor_summary(
            args.cij, args.files[0] if args.files else None, args.rcut, args.tolerance
        )
    if args.json:
        print(json.dumps(json_ready(record), indent=2))
    else:
        print_tensor_summary(record)
    return 1 if any("error" in m for m in record["hardness"]) else 0


def json_ready(record: dict[str, Any]) -> dict[str, Any]:
    """A record with complex hardness split into parts and non-finite numbers as null."""
    out: dict[str, Any] = {}
    for key, value in record.items():
        if isinstance(value, float) and not math.isfinite(value):
            value = None
        elif key == "hardness" and isinstance(value, list):
            value = _json_ready([dict(m) for m in value])
        out[key] = value
    return out


def main(args: argparse.Namespace) -> int:
    """Runs the command; returns 1 when any structure or model failed."""
    moduli_given = any(getattr(args, k) is not None for k in ("shear", "bulk", "young", "poisson"))
    cij = getattr(args, "cij", None)
    if cij is not None:
        if moduli_given:
            raise ValueError("Give --cij or elastic moduli, not both.")
        return _tensor_main(args)
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
        _print_model_table("method", rows)
    return 1 if any("error" in r or "moduli_error" in r for r in rows) else 0
