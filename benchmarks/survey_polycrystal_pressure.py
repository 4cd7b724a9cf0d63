"""Starting pressure of generated aluminium polycrystals, by LAMMPS with an EAM potential.

Grains are filled right up to their Voronoi faces, so atoms of two grains can
sit closer at a boundary than anywhere in the crystal, and the structure
starts under pressure. ``remove_doubles`` removes one atom of every pair closer
than R. This survey builds the command's default structure (fcc Al, a = 4.046 Å,
an 80 Å box, 8 random grains) for several R and several random draws, and
prints what LAMMPS makes of it before any relaxation: pressure, energy per atom
above the perfect crystal's, and the share of atoms removed.

Needs LAMMPS (`lmp`) and an EAM aluminium potential; Debian's `lammps` and
`lammps-data` packages provide both:

    python benchmarks/survey_polycrystal_pressure.py
    python benchmarks/survey_polycrystal_pressure.py --potential Al_zhou.eam.alloy --style eam/alloy
"""

import argparse
import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from ase.build import bulk

from ferrolith.build.polycrystal import Polycrystal

POTENTIALS = Path("/usr/share/lammps/potentials")
RADII = [None, 1.43, 1.6, 1.8, 1.9, 2.0, 2.1, 2.2, 2.5, 2.7]

INPUT = """units metal
atom_style atomic
boundary p p p
read_data {data}
pair_style {style}
pair_coeff * * {potential} Al
thermo_style custom step pe press
run 0
"""


def lammps_start(data, potential, style):
    """(pressure in GPa, potential energy in eV) of a LAMMPS data file."""
    script = Path(data).with_suffix(".in")
    script.write_text(INPUT.format(data=data, style=style, potential=potential))
    log = subprocess.run(
        ["lmp", "-in", str(script), "-log", "none"], capture_output=True, text=True, check=True
    ).stdout.splitlines()
    row = log[next(k for k, line in enumerate(log) if line.split()[:1] == ["Step"]) + 1].split()
    return float(row[2]) / 1e4, float(row[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--potential", default="Al_mm.eam.fs", help="file under " + str(POTENTIALS))
    parser.add_argument("--style", default="eam/fs", help="LAMMPS pair style of that file")
    parser.add_argument("--draws", type=int, default=3, help="random draws per radius")
    options = parser.parse_args()
    potential = POTENTIALS / options.potential
    if shutil.which("lmp") is None or not potential.exists():
        sys.exit("needs lmp and " + str(potential) + " (apt-get install lammps lammps-data)")

    seed = bulk("Al", "fcc", a=4.046, cubic=True)
    os.chdir(tempfile.mkdtemp())
    perfect = Polycrystal(
        seed=seed,
        params={"box": [40.46] * 3, "node": [{"pos": [0.0, 0.0, 0.0], "orient": ["0", "0", "0"]}]},
    )
    crystal = perfect.generate_polycrystal()
    with contextlib.redirect_stdout(io.StringIO()):
        perfect.write_final_files(crystal, output="perfect.lmp")
    p0, e0 = lammps_start("perfect.lmp", potential, options.style)
    e0 /= len(crystal)
    print(f"perfect crystal (a = 4.046 A): {p0:+.2f} GPa, {e0:.4f} eV/atom")
    print(f"{'R (A)':>6} {'removed (%)':>12} {'pressure (GPa)':>20} {'E - E0 (meV/atom)':>18}")
    for radius in RADII:
        pressures, energies, removed = [], [], []
        for draw in range(options.draws):
            poly = Polycrystal(
                seed=seed, params={"box": [80.0] * 3, "random": 8}, prefix="run", rng=draw
            )
            full = len(poly.generate_polycrystal())
            atoms = poly.generate_polycrystal(remove_doubles=radius)
            with contextlib.redirect_stdout(io.StringIO()):
                poly.write_final_files(atoms, output="run.lmp")
            p, e = lammps_start("run.lmp", potential, options.style)
            pressures.append(p)
            energies.append(1e3 * (e / len(atoms) - e0))
            removed.append(100.0 * (full - len(atoms)) / full)
        print(
            f"{radius!s:>6} {np.mean(removed):12.2f} "
            f"{np.mean(pressures):+9.2f} ({min(pressures):+.2f}..{max(pressures):+.2f}) "
            f"{np.mean(energies):18.1f}"
        )


if __name__ == "__main__":
    main()
