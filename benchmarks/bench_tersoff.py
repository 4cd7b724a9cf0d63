"""Time per atom and step of the Tersoff calculator, side by side with LAMMPS.

For diamond and cubic BN with about 8 and 64 thousand atoms, one "step" of
ours is a displacement of the atoms followed by energy, forces and stress
through the ASE calculator (neighbour search included, as every call does
it). LAMMPS (the ``lmp`` executable of Debian's ``lammps`` package, serial,
one thread) runs constant-energy MD with the same potential file: force
evaluation plus integration, neighbour lists rebuilt when needed.

Each figure is the mean over the steps of one run, the best of a few runs;
the two programs run alternately so that a busy machine slows both alike.
Prints the ratios and how the time per atom grows with the atom count.

    python benchmarks/bench_tersoff.py [--quick]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
from ase.build import bulk

from ferrolith.data import files
from ferrolith.optimization import TersoffCalculator

POTENTIAL = Path(files.__file__).parent / "BNC.tersoff"
SYSTEMS = [  # name, ase.build.bulk arguments, lattice constant (Å)
    ("diamond", ("C", "diamond"), 3.567),
    ("c-BN", ("BN", "zincblende"), 3.615),
]
LAMMPS_TYPES = {"B": 1, "N": 2, "C": 3}


def make_structure(crystal, a, repeat):
    atoms = bulk(*crystal, a=a, cubic=True).repeat(repeat)
    atoms.rattle(0.02, seed=7)
    return atoms


def time_ours(atoms, steps):
    """Mean seconds per step for displacement + energy + forces + stress."""
    atoms = atoms.copy()
    atoms.calc = TersoffCalculator(POTENTIAL)
    atoms.get_forces()  # first call sizes the reusable buffers
    rng = np.random.default_rng(3)
    kicks = rng.normal(scale=1e-3, size=(steps, *atoms.positions.shape))
    start = time.perf_counter()
    for kick in kicks:
        atoms.positions += kick
        atoms.get_potential_energy()
        atoms.get_forces()
        atoms.get_stress()
    return (time.perf_counter() - start) / steps


def write_lammps_data(atoms, path):
    cell = atoms.cell.array
    lines = [
        "Tersoff benchmark structure",
        "",
        f"{len(atoms)} atoms",
        "3 atom types",
        "",
        f"0.0 {cell[0, 0]:.17g} xlo xhi",
        f"0.0 {cell[1, 1]:.17g} ylo yhi",
        f"0.0 {cell[2, 2]:.17g} zlo zhi",
        "",
        "Masses",
        "",
        "1 10.81",
        "2 14.007",
        "3 12.011",
        "",
        "Atoms # atomic",
        "",
    ]
    wrapped = atoms.get_positions(wrap=True)
    for k, (symbol, pos) in enumerate(zip(atoms.get_chemical_symbols(), wrapped), start=1):
        lines.append(f"{k} {LAMMPS_TYPES[symbol]} {pos[0]:.17g} {pos[1]:.17g} {pos[2]:.17g}")
    path.write_text("\n".join(lines) + "\n")


def time_lammps(lmp, atoms, steps, workdir):
    """Seconds per MD step of LAMMPS, from its own loop timer."""
    write_lammps_data(atoms, workdir / "data.lmp")
    shutil.copy(POTENTIAL, workdir / "BNC.tersoff")
    (workdir / "in.lmp").write_text(
        "\n".join(
            [
                "units metal",
                "boundary p p p",
                "atom_style atomic",
                "read_data data.lmp",
                "pair_style tersoff",
                "pair_coeff * * BNC.tersoff B N C",
                "neighbor 0.5 bin",
                "neigh_modify every 1 delay 0 check yes",
                "velocity all create 300.0 4928459",
                "fix 1 all nve",
                f"thermo {steps}",
                f"run {steps}",
            ]
        )
        + "\n"
    )
    env = dict(os.environ, OMP_NUM_THREADS="1")
    out = subprocess.run(
        [lmp, "-nocite", "-log", "none", "-in", "in.lmp"],
        cwd=workdir,
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    match = re.search(r"Loop time of ([0-9.eE+-]+) on 1 procs for (\d+) steps", out)
    if match is None:
        raise RuntimeError("no loop time in the LAMMPS output:\n" + out[-2000:])
    return float(match.group(1)) / int(match.group(2))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="8k atoms only, fewer repeats")
    parser.add_argument("--repeats", type=int, default=3, help="alternating repeats per figure")
    args = parser.parse_args()

    lmp = shutil.which("lmp") or shutil.which("lmp_serial")
    sizes = [(10, 10)] if args.quick else [(10, 10), (20, 4)]  # (repeat, our steps)
    print(f"potential: {POTENTIAL}")
    print(f"LAMMPS: {lmp or 'not installed (apt-get install lammps) - ours only'}")
    print()
    header = f"{'system':8} {'atoms':>7} {'ours us/atom-step':>18} {'LAMMPS':>8} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    per_atom = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, crystal, a in SYSTEMS:
            for repeat, steps in sizes:
                atoms = make_structure(crystal, a, repeat)
                n = len(atoms)
                ours = theirs = float("inf")
                for _ in range(1 if args.quick else args.repeats):
                    ours = min(ours, time_ours(atoms, steps))
                    if lmp:
                        theirs = min(theirs, time_lammps(lmp, atoms, 5 * steps, Path(tmp)))
                ours_us = ours / n * 1e6
                per_atom[name, n] = ours_us
                if lmp:
                    theirs_us = theirs / n * 1e6
                    print(
                        f"{name:8} {n:7d} {ours_us:18.3f} {theirs_us:8.3f} "
                        f"{ours_us / theirs_us:6.2f}"
                    )
                else:
                    print(f"{name:8} {n:7d} {ours_us:18.3f} {'-':>8} {'-':>6}")
    if not args.quick:
        print()
        for name, _, _ in SYSTEMS:
            small, large = (per_atom[key] for key in sorted(k for k in per_atom if k[0] == name))
            print(
                f"{name}: time per atom at 64k / at 8k atoms = {large / small:.2f} (1.00 = linear)"
            )
    print("\ntarget: ours / LAMMPS <= 1.5 per atom-step")


if __name__ == "__main__":
    main()
