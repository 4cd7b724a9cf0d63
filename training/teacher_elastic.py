"""Elastic tensors of diamond and cubic BN with the teacher, for the tests.

    python training/teacher_elastic.py      # writes tests/data/ml-teacher-elastic.json

Runs ferrolith's own ``elastic_tensor`` (the same strains, relaxations and fit
as for the shipped potential) with the teacher as the ASE calculator, and, as a
second measure of the same curvature, a Birch-Murnaghan fit of the teacher's
energies over lattice constants within 2 % of its minimum. The tests compare
the shipped potential with these numbers, so they run without the teacher
installed. Needs the teacher (``pip install chgnet``), a training-side
dependency only.

The teacher's energy surface is not smooth on the scale of 1 % strains (its
stresses are consistent with its energies, but both wiggle), so its tensor
depends on the strains used: the bulk modulus from its tensor is 25-30 % below
the one from its equation of state.
"""

import json
import os
import sys
import warnings
from pathlib import Path

import numpy as np
from ase.build import bulk
from ase.eos import EquationOfState
from ase.units import GPa

OUTPUT = Path(__file__).resolve().parents[1] / "tests" / "data" / "ml-teacher-elastic.json"
# The teacher's stresses carry single-precision noise: relaxations stop at
# 5 meV/Å, and the strains are the default ones.
FMAX = 5e-3


def eos_bulk_modulus(atoms, calc):
    """Birch-Murnaghan bulk modulus (GPa) and lattice constant (Å) of the energies."""
    volumes, energies = [], []
    for scale in np.linspace(0.98, 1.02, 9):
        strained = atoms.copy()
        strained.set_cell(atoms.cell * scale, scale_atoms=True)
        strained.calc = calc
        volumes.append(strained.get_volume())
        energies.append(strained.get_potential_energy())
    v0, _, b = EquationOfState(volumes, energies, eos="birchmurnaghan").fit()
    return b / GPa, float(np.cbrt(v0))


def main():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    import torch

    torch.set_num_threads(2)
    warnings.simplefilter("ignore")
    import chgnet
    from chgnet.model import CHGNet
    from chgnet.model.dynamics import CHGNetCalculator

    from ferrolith.properties.elastic import elastic_tensor

    calc = CHGNetCalculator(model=CHGNet.load(verbose=False, use_device="cpu"), use_device="cpu")
    crystals = {
        "diamond": bulk("C", "diamond", a=3.567, cubic=True),
        "c-BN": bulk("BN", "zincblende", a=3.615, cubic=True),
    }
    result = {
        "how": (
            f"CHGNet {chgnet.__version__}, pretrained model {CHGNet.load(verbose=False).version}, "
            "8-atom cubic cells; ferrolith.properties.elastic.elastic_tensor with the teacher "
            f"as calculator (cell relaxed first, strains +-0.5 % and +-1 %, fmax {FMAX} eV/Å); "
            "produced by training/teacher_elastic.py"
        ),
        "unit": "GPa; Voigt order xx, yy, zz, yz, xz, xy; B and G are Hill averages; "
        "eos_bulk_modulus from a Birch-Murnaghan fit of 9 energies within +-2 % of the "
        "lattice constant",
        "systems": {},
    }
    for name, atoms in crystals.items():
        r = elastic_tensor(atoms, calculator=calc, fmax=FMAX)
        eos_b, eos_a = eos_bulk_modulus(atoms, calc)
        result["systems"][name] = {
            "eos_bulk_modulus": eos_b,
            "eos_lattice_constant_A": eos_a,
            "cij": r.cij.tolist(),
            "bulk_hill": r.bulk_hill,
            "shear_hill": r.shear_hill,
            "residual": r.residual,
        }
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    OUTPUT.write_text(json.dumps(result, indent=1, ensure_ascii=False) + "\n")
    print(json.dumps(result, indent=1, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
