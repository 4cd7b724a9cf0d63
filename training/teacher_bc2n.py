"""Relaxed energies of c-BC2N orderings with the teacher, for the tests.

    python training/teacher_bc2n.py      # writes tests/data/ml-teacher-bc2n.json

The decorations of the diamond lattice with B2C4N2 that have no B-B and no
N-N bonds (8-atom cubic cells and 16-atom doubled ones, drawn as for the
training data), each relaxed with the teacher in cell and positions. Orderings
whose relaxed energies agree within 0.1 meV/atom are taken for the same one.
The tests relax the same decorations with the shipped potential and compare
the order of the energies, so they run without the teacher installed.
"""

import json
import sys
from pathlib import Path

import numpy as np
from ase.filters import FrechetCellFilter
from ase.optimize import BFGS

sys.path.insert(0, str(Path(__file__).resolve().parent))
OUTPUT = Path(__file__).resolve().parents[1] / "tests" / "data" / "ml-teacher-bc2n.json"
FMAX = 2e-3


def orderings():
    from active_learning import bc2n_orderings

    return bc2n_orderings(10, np.random.default_rng(2026))


def relaxed_energy(atoms, calc):
    """Energy per atom (eV) of the relaxed cell."""
    atoms = atoms.copy()
    atoms.calc = calc
    BFGS(FrechetCellFilter(atoms), logfile=None).run(fmax=FMAX, steps=600)
    return float(atoms.get_potential_energy() / len(atoms))


def main():
    from label_teacher import TEACHERS, calculator

    teacher = sys.argv[1] if len(sys.argv) > 1 else "sevenn-l3i5"
    calc = calculator(teacher)
    found = []
    for atoms in orderings():
        energy = relaxed_energy(atoms, calc)
        if any(abs(energy - f["energy_eV_per_atom"]) < 1e-4 for f in found):
            continue
        found.append(
            {
                "symbols": "".join(atoms.get_chemical_symbols()),
                "cell": atoms.cell.tolist(),
                "scaled_positions": atoms.get_scaled_positions().tolist(),
                "energy_eV_per_atom": energy,
            }
        )
        print(len(atoms), "atoms", energy, flush=True)
    found.sort(key=lambda f: f["energy_eV_per_atom"])
    result = {
        "how": (
            f"{TEACHERS[teacher]}; B2C4N2 decorations of the diamond lattice without B-B or "
            f"N-N bonds, relaxed with ASE's FrechetCellFilter and BFGS to fmax {FMAX} eV/Å; "
            "sorted by energy; produced by training/teacher_bc2n.py"
        ),
        "orderings": found,
    }
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    OUTPUT.write_text(json.dumps(result, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
