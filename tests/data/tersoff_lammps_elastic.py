"""Regenerates tersoff-lammps-elastic.json: the elastic tensors of diamond and
cubic BN from LAMMPS with the bundled BNC.tersoff, by finite deformation with
internal relaxation at every strain.

Needs the ``lmp`` executable (Debian package ``lammps``). Run from anywhere:

    python tests/data/tersoff_lammps_elastic.py

For each crystal, LAMMPS first relaxes the 8-atom cubic cell (box/relax to
zero pressure). Then, for each Voigt component and each strain s in
(-0.01, -0.005, 0.005, 0.01), it deforms the relaxed box (``change_box``:
scaling for normal strains, a tilt of s times the box height for the
engineering shear strains), relaxes the atoms at fixed box (conjugate
gradients) and reports the pressure tensor. Column j of C is the least-squares
slope of the stress (minus the pressure, GPa) against the strain of component j.
"""

import json
import re
import subprocess
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).parent
POTENTIAL = HERE.parents[1] / "src" / "ferrolith" / "data" / "files" / "BNC.tersoff"
# name, LAMMPS basis types (1=B, 2=N, 3=C), starting lattice constant (Å)
SYSTEMS = {
    "diamond": (" ".join(f"basis {k} 3" for k in range(1, 9)), 3.566),
    "c-BN": (" ".join(f"basis {k} {1 if k <= 4 else 2}" for k in range(1, 9)), 3.6),
}
STRAINS = (-0.01, -0.005, 0.005, 0.01)
VOIGT = ("xx", "yy", "zz", "yz", "xz", "xy")
BAR_TO_GPA = 1e-4

# The cubic cell and the potential, common to every run.
CELL = """units metal
boundary p p p
atom_style atomic
atom_modify map array
lattice diamond {a:.17g}
region box prism 0 1 0 1 0 1 0 0 0
create_box 3 box
create_atoms 1 box {basis}
mass * 12.0
pair_style tersoff
pair_coeff * * {potential} B N C
"""

SETUP = (
    CELL
    + """thermo_style custom step pe lx ly lz pxx pyy pzz pyz pxz pxy
thermo_modify format float %.17g
min_style cg
fix relax all box/relax iso 0.0 vmax 0.001
minimize 0 1e-12 10000 100000
unfix relax
minimize 0 1e-12 10000 100000
variable lx0 equal lx
print "LATTICE $(v_lx0:%.17g)"
"""
)

STRAINED = (
    CELL
    + """thermo_style custom step pe pxx pyy pzz pyz pxz pxy
thermo_modify format float %.17g
min_style cg
change_box all {deformation} remap units box
minimize 0 1e-12 10000 100000
print "STRESS $(pxx:%.17g) $(pyy:%.17g) $(pzz:%.17g) $(pyz:%.17g) $(pxz:%.17g) $(pxy:%.17g)"
"""
)


def run(script, workdir):
    (workdir / "in.lmp").write_text(script)
    return subprocess.run(
        ["lmp", "-nocite", "-log", "none", "-in", "in.lmp"],
        cwd=workdir,
        capture_output=True,
        text=True,
        check=True,
    ).stdout


def deformation(component, strain, length):
    """change_box arguments straining the relaxed cubic box of edge `length`."""
    if component < 3:
        axis = "xyz"[component]
        return f"{axis} final 0 {length * (1 + strain):.17g}"
    tilt = {3: "yz", 4: "xz", 5: "xy"}[component]
    return f"{tilt} final {strain * length:.17g}"


def elastic_tensor(basis, a, workdir):
    out = run(SETUP.format(a=a, basis=basis, potential=POTENTIAL), workdir)
    length = float(re.search(r"^LATTICE (\S+)", out, re.M).group(1))
    cij = np.zeros((6, 6))
    points = []
    for j in range(6):
        stresses = []
        for s in STRAINS:
            text = run(
                STRAINED.format(
                    a=length,
                    basis=basis,
                    potential=POTENTIAL,
                    deformation=deformation(j, s, length),
                ),
                workdir,
            )
            pressure = [float(x) for x in re.search(r"^STRESS (.*)$", text, re.M).group(1).split()]
            stress = [-p * BAR_TO_GPA for p in pressure]
            stresses.append(stress)
            points.append({"component": VOIGT[j], "strain": s, "stress_GPa": stress})
        cij[:, j] = np.polyfit(STRAINS, np.array(stresses), 1)[0]
    return length, 0.5 * (cij + cij.T), points


def main():
    version = subprocess.run(["lmp", "-h"], capture_output=True, text=True, check=False).stdout
    banner = re.search(r"Large-scale Atomic/Molecular Massively Parallel Simulator - (.*)", version)
    result = {
        "note": "Elastic tensors (GPa, Voigt order xx yy zz yz xz xy) of the 8-atom cubic cells "
        "from LAMMPS (pair_style tersoff, pair_coeff * * BNC.tersoff B N C, serial) with the "
        "BNC.tersoff bundled in ferrolith.data.files: box relaxed to zero pressure, then "
        "strains of +-0.5 % and +-1 % on each component (engineering shear as box tilt), "
        "atoms relaxed at fixed box (cg, ftol 1e-12), least-squares slope of stress against "
        "strain, symmetrised; produced by tests/data/tersoff_lammps_elastic.py.",
        "lammps": banner.group(1).strip() if banner else "unknown",
        "strains": list(STRAINS),
        "systems": {},
    }
    with tempfile.TemporaryDirectory() as tmp:
        for name, (basis, a) in SYSTEMS.items():
            length, cij, points = elastic_tensor(basis, a, Path(tmp))
            result["systems"][name] = {
                "lattice_constant_A": length,
                "cij_GPa": cij.tolist(),
                "points": points,
            }
    (HERE / "tersoff-lammps-elastic.json").write_text(json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    main()
