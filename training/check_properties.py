"""The properties users compute with a model, against the teacher's.

    python training/check_properties.py [MODEL.pth ...]

For each model file: the elastic constants C11, C12, C44 of diamond and c-BN
(relative to tests/data/ml-teacher-elastic.json), the relaxed lattice
constants of diamond, c-BN and c-BC2N (tests/data/ml-teacher-lattice.json)
and the order of the relaxed energies of the c-BC2N orderings
(tests/data/ml-teacher-bc2n.json). The tests check the shipped file against
the same numbers; this prints them for models being compared.
"""

import json
import sys
from pathlib import Path

import numpy as np
from ase import Atoms
from ase.build import bulk
from ase.filters import FrechetCellFilter
from ase.optimize import BFGS
from scipy.stats import kendalltau

from ferrolith.optimization import _mlp
from ferrolith.properties.elastic import elastic_tensor

sys.path.insert(0, str(Path(__file__).resolve().parent))
from teacher_lattice import cubic_bc2n

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"
SHIPPED = ROOT / "src" / "ferrolith" / "data" / "files" / "BCN-qz-v0.0.1.pth"


def relaxed(atoms, calc, fmax=1e-3):
    atoms = atoms.copy()
    atoms.calc = calc
    BFGS(FrechetCellFilter(atoms), logfile=None).run(fmax=fmax, steps=600)
    return atoms


def orderings():
    data = json.loads((DATA / "ml-teacher-bc2n.json").read_text())["orderings"]
    return [
        (
            Atoms(o["symbols"], scaled_positions=o["scaled_positions"], cell=o["cell"], pbc=True),
            o["energy_eV_per_atom"],
        )
        for o in data
    ]


def check(path):
    calc = _mlp.load_ml_calculator(path)
    out = {}
    teacher = json.loads((DATA / "ml-teacher-elastic.json").read_text())["systems"]
    crystals = {
        "diamond": bulk("C", "diamond", a=3.567, cubic=True),
        "c-BN": bulk("BN", "zincblende", a=3.615, cubic=True),
    }
    for name, atoms in crystals.items():
        cij = elastic_tensor(atoms, calculator=calc).cij
        ref = np.array(teacher[name]["cij"])
        for label, index in (("C11", (0, 0)), ("C12", (0, 1)), ("C44", (3, 3))):
            out[f"{name} {label}"] = (cij[index], ref[index], cij[index] / ref[index] - 1)
    lattice = json.loads((DATA / "ml-teacher-lattice.json").read_text())
    for name, atoms in (
        ("diamond", bulk("C", "diamond", a=3.50, cubic=True)),
        ("cbn", bulk("BN", "zincblende", a=3.70, cubic=True)),
        ("bc2n", cubic_bc2n(a=3.65)),
    ):
        a = float(np.cbrt(relaxed(atoms, calc).get_volume()))
        out[f"a {name}"] = (a, lattice[name], a / lattice[name] - 1)
    if (DATA / "ml-teacher-bc2n.json").exists():
        pairs = [(relaxed(a, calc).get_potential_energy() / len(a), e) for a, e in orderings()]
        model, ref = np.array(pairs).T
        out["bc2n orderings kendall tau"] = kendalltau(model, ref).statistic
        out["bc2n orderings same order"] = bool((np.argsort(model) == np.argsort(ref)).all())
        # the tests' criterion: the teacher's order wherever its energies differ by
        # more than 5 meV/atom
        i, j = np.triu_indices(len(ref), 1)
        clear = np.abs(ref[i] - ref[j]) > 0.005
        swapped = np.sign(model[i] - model[j]) != np.sign(ref[i] - ref[j])
        out["bc2n pairs out of order beyond 5 meV/atom"] = int((clear & swapped).sum())
        out["bc2n ordering energies (meV/atom above the lowest)"] = [
            (round(1e3 * (m - model.min()), 1), round(1e3 * (r - ref.min()), 1))
            for m, r in zip(model, ref)
        ]
    return out


def main():
    paths = [Path(p) for p in sys.argv[1:]] or [SHIPPED]
    for path in paths:
        print(f"== {path}")
        for key, value in check(path).items():
            if isinstance(value, tuple) and len(value) == 3:
                print(
                    f"{key:>12}: {value[0]:9.4f}  teacher {value[1]:9.4f}  {100 * value[2]:+6.2f} %"
                )
            else:
                print(f"{key}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
