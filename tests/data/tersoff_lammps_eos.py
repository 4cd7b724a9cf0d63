"""Regenerates tersoff-lammps-eos.json: LAMMPS energies of diamond and cubic BN
over a range of lattice constants, with the bundled BNC.tersoff.

Needs the ``lmp`` executable (Debian package ``lammps``). Run from anywhere:

    python tests/data/tersoff_lammps_eos.py
"""

import json
import re
import subprocess
import tempfile
from pathlib import Path

import numpy as np
from ase.eos import EquationOfState
from ase.units import GPa

HERE = Path(__file__).parent
POTENTIAL = HERE.parents[1] / "src" / "ferrolith" / "data" / "files" / "BNC.tersoff"
# name, LAMMPS lattice, basis types (1=B, 2=N, 3=C), centre of the scan (Å)
SYSTEMS = {
    "diamond": ("diamond", " ".join(f"basis {k} 3" for k in range(1, 9)), 3.645),
    "c-BN": ("diamond", " ".join(f"basis {k} {1 if k <= 4 else 2}" for k in range(1, 9)), 3.495),
}
SCALES = np.linspace(0.97, 1.03, 13)

INPUT = """units metal
boundary p p p
atom_style atomic
lattice {lattice} {a:.17g}
region box block 0 1 0 1 0 1
create_box 3 box
create_atoms 1 box {basis}
mass * 12.0
pair_style tersoff
pair_coeff * * {potential} B N C
thermo_style custom step pe vol press
thermo_modify format float %.17g
run 0
"""


def lammps_energy(a, lattice, basis, workdir):
    (workdir / "in.lmp").write_text(
        INPUT.format(lattice=lattice, a=a, basis=basis, potential=POTENTIAL)
    )
    out = subprocess.run(
        ["lmp", "-nocite", "-log", "none", "-in", "in.lmp"],
        cwd=workdir,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    lines = out.splitlines()
    k = next(i for i, line in enumerate(lines) if line.split()[:2] == ["Step", "PotEng"])
    _, pe, vol, _ = lines[k + 1].split()
    return float(pe), float(vol)


def main():
    version = subprocess.run(["lmp", "-h"], capture_output=True, text=True, check=False).stdout
    banner = re.search(r"Large-scale Atomic/Molecular Massively Parallel Simulator - (.*)", version)
    result = {
        "note": "Energies of the 8-atom conventional cubic cell from LAMMPS (pair_style tersoff, "
        "pair_coeff * * BNC.tersoff B N C, run 0, serial) with the BNC.tersoff bundled "
        "in ferrolith.data.files, and a Birch-Murnaghan fit of them with "
        "ase.eos.EquationOfState; produced by tests/data/tersoff_lammps_eos.py.",
        "lammps": banner.group(1).strip() if banner else "unknown",
        "systems": {},
    }
    with tempfile.TemporaryDirectory() as tmp:
        for name, (lattice, basis, centre) in SYSTEMS.items():
            points = []
            for a in centre * SCALES:
                energy, volume = lammps_energy(a, lattice, basis, Path(tmp))
                points.append({"a": a, "volume_A3": volume, "energy_eV": energy})
            eos = EquationOfState(
                [p["volume_A3"] for p in points],
                [p["energy_eV"] for p in points],
                eos="birchmurnaghan",
            )
            v0, e0, b = eos.fit()
            result["systems"][name] = {
                "atoms": 8,
                "points": points,
                "birch_murnaghan_fit": {
                    "v0_A3": v0,
                    "e0_eV": e0,
                    "bulk_modulus_GPa": b / GPa,
                    "a0_A": v0 ** (1 / 3),
                },
            }
    (HERE / "tersoff-lammps-eos.json").write_text(json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    main()
