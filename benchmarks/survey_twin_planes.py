"""Which low-index twin boundaries the builder makes, and how sound they are.

For diamond, fcc and bcc metals and rock salt (conventional cubic cells) and
every distinct plane with indices up to 2, runs CoherentTwinBoundary(...)
.create() with layers [3] and [5, 3] and prints a Markdown table per plane
family: how many of the family's planes were built, the smallest interatomic
distance of the result over all periodic images relative to the bulk nearest
neighbour distance, the coordination numbers (neighbours within 1.1 times
that distance), the cell length in spacings d(hkl), the space group of the
result, and the smallest distance when the final merge ignores periodicity
(what a merge blind to the periodic faces would leave behind).

--operation picks how twinned grains are made ("mirror", the default,
"rotation" or "auto"); the zincblende crystals have no mirror plane on {111}
and need the rotation.

Run: .venv/bin/python benchmarks/survey_twin_planes.py [--operation rotation]
"""

import argparse
import re
import warnings
from collections import Counter, defaultdict

import numpy as np
import spglib
from ase.build import bulk
from ase.neighborlist import neighbor_list
from ase.utils import atoms_to_spglib_cell

from ferrolith.build import twin
from ferrolith.build.twin import CoherentTwinBoundary
from ferrolith.core import average_atoms, compute_d_hkl, get_all_hkl

CRYSTALS = {
    "C diamond": (bulk("C", "diamond", a=3.567, cubic=True), 3.567 * 3**0.5 / 4),
    "Si diamond": (bulk("Si", "diamond", a=5.431, cubic=True), 5.431 * 3**0.5 / 4),
    "Cu fcc": (bulk("Cu", "fcc", a=3.615, cubic=True), 3.615 / 2**0.5),
    "Al fcc": (bulk("Al", "fcc", a=4.05, cubic=True), 4.05 / 2**0.5),
    "Fe bcc": (bulk("Fe", "bcc", a=2.866, cubic=True), 2.866 * 3**0.5 / 2),
    "W bcc": (bulk("W", "bcc", a=3.165, cubic=True), 3.165 * 3**0.5 / 2),
    "NaCl rock salt": (bulk("NaCl", "rocksalt", a=5.64, cubic=True), 5.64 / 2),
    "MgO rock salt": (bulk("MgO", "rocksalt", a=4.212, cubic=True), 4.212 / 2),
    "BN zincblende": (bulk("BN", "zincblende", a=3.615, cubic=True), 3.615 * 3**0.5 / 4),
    "GaAs zincblende": (bulk("GaAs", "zincblende", a=5.653, cubic=True), 5.653 * 3**0.5 / 4),
}


def space_group(atoms):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Set OLD_ERROR_HANDLING", DeprecationWarning)
        return spglib.get_spacegroup(atoms_to_spglib_cell(atoms), symprec=1e-3)


def merge_ignoring_periodicity(atoms, cutoff):
    flat = atoms.copy()
    flat.pbc = False
    merged = average_atoms(flat, cutoff)
    merged.pbc = True
    return merged


def family(plane):
    return tuple(sorted(map(abs, plane), reverse=True))


def measure(crystal, nn, plane, layers, operation):
    tb = CoherentTwinBoundary(crystal, plane, layers=list(layers), operation=operation)
    try:
        result = tb.create()
    except ValueError as error:
        # One note per family: the plane's own indices are left out.
        return {"error": re.sub(r"plane \([-0-9, ]+\)", "plane", str(error))}
    distances = neighbor_list("d", result, 2 * nn)
    centres = neighbor_list("i", result, 1.1 * nn)
    cn = Counter(np.bincount(centres, minlength=len(result)).tolist())
    original = twin.average_atoms
    twin.average_atoms = merge_ignoring_periodicity
    try:
        blind = CoherentTwinBoundary(
            crystal, plane, layers=list(layers), operation=operation
        ).create()
    finally:
        twin.average_atoms = original
    return {
        "atoms": len(result),
        "dmin": distances.min() / nn,
        "cn": dict(sorted(cn.items())),
        "spacings": result.cell.cellpar()[2] / compute_d_hkl(crystal, plane),
        "group": space_group(result),
        "blind": neighbor_list("d", blind, 2 * nn).min() / nn,
        "gap": tb.gap,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--operation", choices=["mirror", "rotation", "auto"], default="mirror")
    operation = parser.parse_args().operation
    print(f"operation: {operation}\n")
    print(
        "| crystal | family | layers | built | atoms | gap (A) | d_min / d_nn | CN | c / d(hkl) "
        "| space group (bulk) | d_min / d_nn, non-periodic merge |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, (crystal, nn) in CRYSTALS.items():
        bulk_group = space_group(crystal)
        by_family = defaultdict(list)
        for plane in get_all_hkl(2):
            by_family[family(plane)].append(plane)
        for fam, planes in sorted(by_family.items(), key=lambda kv: sum(i * i for i in kv[0])):
            for layers in ([3], [5, 3]):
                results = [measure(crystal, nn, p, layers, operation) for p in planes]
                built = [r for r in results if "error" not in r]
                label = "{" + "".join(map(str, fam)) + "}"
                if not built:
                    note = short_note({r["error"] for r in results})
                    print(
                        f"| {name} | {label} | {layers} | 0/{len(planes)} ({note}) | | | | | | | |"
                    )
                    continue
                worst = min(built, key=lambda r: r["dmin"])
                cn = sorted({k for r in built for k in r["cn"]})
                print(
                    f"| {name} | {label} | {layers} | {len(built)}/{len(planes)} "
                    f"| {worst['atoms']} | {worst['gap']:.3f} | {worst['dmin']:.3f} | {cn} "
                    f"| {worst['spacings']:.3f} | {worst['group']} ({bulk_group}) "
                    f"| {min(r['blind'] for r in built):.3f} |"
                )


def twin_error():
    return "Failed to find any valid mirror plane by reflection."


def short_note(errors):
    """One short note for the errors of a plane family."""
    notes = set()
    for error in errors:
        if error == twin_error():
            notes.add("no mirror plane")
        elif "symmetry of the crystal" in error:
            notes.add("the half turn is a symmetry of the crystal")
        elif "no cut of the slab" in error:
            notes.add("no cut keeps the bulk's bonds")
        else:
            notes.add(error)
    return "; ".join(sorted(notes))


if __name__ == "__main__":
    main()
