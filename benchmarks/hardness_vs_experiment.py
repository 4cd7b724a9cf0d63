"""The five hardness models against measured Vickers hardness.

For every crystal of ``benchmarks/data/hardness_experiment.json`` (structure at
the experimental lattice, measured Vickers hardness, single-crystal elastic
constants, each with its source): the Šimůnek hardness at the first-shell
cutoff (as ``ferrolith hardness`` computes it), and the Chen, Tian, Jiang and
Mazhnik hardness from the Hill moduli of the measured tensor. Prints one row
per crystal with the domain flags of each value, then per model and class of
crystal: mean absolute error, median relative error and the count within
20 % of experiment, over all rows and over the rows inside the model's domain
(no flag).

    python benchmarks/hardness_vs_experiment.py [--markdown]
"""

from __future__ import annotations

import argparse
import json
import statistics
from pathlib import Path
from typing import Any

import numpy as np
from ase import Atoms
from ase.build import bulk
from ase.spacegroup import crystal

DATA = Path(__file__).parent / "data" / "hardness_experiment.json"
MODELS = ("simunek", "chen", "tian", "jiang", "mazhnik")
CLASSES = ("covalent", "wurtzite", "ionic", "carbide/nitride", "boride", "oxide")


def load(path: Path = DATA) -> list[dict[str, Any]]:
    return json.loads(path.read_text(encoding="utf-8"))["crystals"]


def structure(entry: dict[str, Any]) -> Atoms:
    """The crystal at its experimental lattice."""
    layout = dict(entry["structure"])
    if "bulk" in layout:
        return bulk(layout.pop("bulk"), **layout)
    return crystal(
        layout["symbols"],
        basis=layout["basis"],
        spacegroup=layout["spacegroup"],
        cellpar=layout["cellpar"],
        primitive_cell=True,
    )


def full_cij(constants: dict[str, float]) -> np.ndarray:
    """The 6×6 Voigt tensor from the independent constants of a cubic,
    hexagonal or trigonal (-3m, x along a) crystal."""
    k = {name: float(value) for name, value in constants.items()}
    c = np.zeros((6, 6))
    c11, c12, c44 = k["C11"], k["C12"], k["C44"]
    c13, c33 = k.get("C13", c12), k.get("C33", c11)
    c[0, 0] = c[1, 1] = c11
    c[2, 2] = c33
    c[0, 1] = c12
    c[0, 2] = c[1, 2] = c13
    c[3, 3] = c[4, 4] = c44
    c[5, 5] = c44 if "C33" not in k else 0.5 * (c11 - c12)
    if "C14" in k:
        c[0, 3], c[1, 3], c[4, 5] = k["C14"], -k["C14"], k["C14"]
    return np.triu(c) + np.triu(c, 1).T


def evaluate(entry: dict[str, Any]) -> dict[str, Any]:
    """One crystal: measured and predicted hardness (GPa) with the flags of each model."""
    from ferrolith.properties.bondvick import SimunekHardnessCalculator, first_shell_cutoff
    from ferrolith.properties.domain import moduli_flags, simunek_flags
    from ferrolith.properties.hardness import calculate_hardness
    from ferrolith.properties.tensor import tensor_moduli

    atoms = structure(entry)
    result = SimunekHardnessCalculator()._calculate_hardness(
        atoms, rcut=first_shell_cutoff(atoms), tolerance=0.2
    )
    moduli = tensor_moduli(full_cij(entry["cij"]))
    bulk_modulus, shear = moduli.bulk_hill, moduli.shear_hill
    row: dict[str, Any] = {
        "name": entry["name"],
        "class": entry["class"],
        "hv": float(entry["hv"]),
        "bulk": bulk_modulus,
        "shear": shear,
        "simunek": result["hardness"],
        "flags": {"simunek": simunek_flags(atoms, result["ionicity_factor"])},
    }
    for method in MODELS[1:]:
        value = calculate_hardness(shear=shear, bulk=bulk_modulus, method=method)
        row[method] = value.real if isinstance(value, complex) else value
        row["flags"][method] = moduli_flags(
            method, shear=shear, bulk=bulk_modulus, ionicity_factor=result["ionicity_factor"]
        )
    return row


def summary(rows: list[dict[str, Any]], model: str, in_domain: bool) -> dict[str, float]:
    """MAE (GPa), median relative error and count within 20 % of experiment."""
    chosen = [r for r in rows if not (in_domain and r["flags"][model])]
    errors = [r[model] - r["hv"] for r in chosen]
    relative = [abs(e) / r["hv"] for e, r in zip(errors, chosen)]
    return {
        "n": len(chosen),
        "mae": statistics.fmean(abs(e) for e in errors) if errors else float("nan"),
        "median_rel": statistics.median(relative) if relative else float("nan"),
        "within_20": sum(x <= 0.2 for x in relative),
    }


def _print_rows(rows: list[dict[str, Any]]) -> None:
    print(
        f"{'crystal':12}{'class':17}{'Hv exp':>7}{'B':>7}{'G':>7}"
        + "".join(f"{m:>10}" for m in MODELS)
    )
    for r in rows:
        cells = "".join(f"{r[m]:9.1f}{'*' if r['flags'][m] else ' '}" for m in MODELS)
        print(
            f"{r['name']:12}{r['class']:17}{r['hv']:7.1f}{r['bulk']:7.0f}{r['shear']:7.0f}{cells}"
        )
    print("* outside the model's domain:")
    for r in rows:
        for m in MODELS:
            if r["flags"][m]:
                print(f"  {r['name']} {m}: {', '.join(r['flags'][m])}")


def _print_summary(rows: list[dict[str, Any]], markdown: bool) -> None:
    header = [
        "model",
        "class",
        "n",
        "MAE (GPa)",
        "median rel. err.",
        "within 20 %",
        "in domain: n",
        "MAE",
        "median",
        "within 20 %",
    ]
    lines = []
    for model in MODELS:
        for cls in (*CLASSES, "all"):
            chosen = [r for r in rows if cls in ("all", r["class"])]
            a, d = summary(chosen, model, False), summary(chosen, model, True)
            lines.append(
                [
                    model,
                    cls,
                    str(a["n"]),
                    f"{a['mae']:.1f}",
                    f"{100 * a['median_rel']:.0f} %",
                    f"{a['within_20']}/{a['n']}",
                    str(d["n"]),
                    f"{d['mae']:.1f}" if d["n"] else "-",
                    f"{100 * d['median_rel']:.0f} %" if d["n"] else "-",
                    f"{d['within_20']}/{d['n']}",
                ]
            )
    if markdown:
        # Compact: one row per class, "MAE / median relative error / within 20 %" per model.
        for in_domain in (False, True):
            title = "inside the domain (no flag)" if in_domain else "all rows"
            print(f"\n{title}: MAE (GPa) / median relative error / within 20 %\n")
            print("| class | n | " + " | ".join(MODELS) + " |")
            print("|---|---:|" + "---|" * len(MODELS))
            for cls in (*CLASSES, "all"):
                chosen = [r for r in rows if cls in ("all", r["class"])]
                cells = []
                for model in MODELS:
                    s = summary(chosen, model, in_domain)
                    mae, median = f"{s['mae']:.1f}", f"{100 * s['median_rel']:.0f} %"
                    cells.append(f"{mae} / {median} / {s['within_20']}/{s['n']}" if s["n"] else "-")
                print(f"| {cls} | {len(chosen)} | " + " | ".join(cells) + " |")
        return
    widths = [max(len(h), *(len(c[k]) for c in lines)) for k, h in enumerate(header)]
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    for cells in lines:
        print("  ".join(c.rjust(w) for c, w in zip(cells, widths)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--markdown", action="store_true", help="Summary as a Markdown table.")
    args = parser.parse_args()
    rows = [evaluate(entry) for entry in load()]
    _print_rows(rows)
    print()
    _print_summary(rows, args.markdown)


if __name__ == "__main__":
    main()
