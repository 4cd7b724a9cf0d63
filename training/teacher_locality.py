"""How far the teacher sees: the change of its force on one atom when every
atom beyond a radius moves, in 216-atom diamond-lattice cells (pure carbon and
random B-C-N alloys), next to the same figure for the shipped model.

    python training/teacher_locality.py

A change well below the model's force error means a local model with that
cutoff is not limited by the teacher's reach. (The teacher needs ~14 GB of
memory for these cells.)
"""

import os
import sys
from pathlib import Path

import numpy as np
from ase.build import bulk

import ferrolith.data.files as files
from ferrolith.optimization import _mlp

sys.path.insert(0, str(Path(__file__).resolve().parent))
import label_teacher

RADII = (5.0, 6.0)
DISPLACEMENT = 0.08  # Å rms, of the thermal rattle and of the far atoms' move


def main():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    teacher = label_teacher.calculator("chgnet")
    model = _mlp.load_ml_calculator(Path(files.__file__).parent / "BCN-qz-v0.0.1.pth")
    rng = np.random.default_rng(0)
    change = {who: {r: [] for r in RADII} for who in ("teacher", "model")}
    for k in range(5):
        atoms = bulk("C", "diamond", a=3.6, cubic=True).repeat(3)
        if k > 0:
            atoms.set_chemical_symbols(rng.choice(["B", "C", "N"], len(atoms)))
        atoms.positions += rng.normal(0, DISPLACEMENT, atoms.positions.shape)
        centre = int(np.argmin(np.linalg.norm(atoms.positions - atoms.cell.sum(0) / 2, axis=1)))
        dist = atoms.get_distances(centre, range(len(atoms)), mic=True)
        (before,) = label_teacher.label([atoms], teacher)
        model_before = atoms.copy()
        model_before.calc = model
        for r in RADII:
            moved = atoms.copy()
            far = dist > r
            moved.positions[far] += rng.normal(0, DISPLACEMENT, (far.sum(), 3))
            (after,) = label_teacher.label([moved], teacher)
            diff = before.get_forces()[centre] - after.get_forces()[centre]
            change["teacher"][r].append(np.abs(diff).mean())
            moved.calc = model
            diff = model_before.get_forces()[centre] - moved.get_forces()[centre]
            change["model"][r].append(np.abs(diff).mean())
    for r in RADII:
        print(
            f"atoms beyond {r} Å moved by {DISPLACEMENT} Å rms: mean |ΔF| on the centre atom "
            f"{np.mean(change['teacher'][r]):.4f} eV/Å (teacher), "
            f"{np.mean(change['model'][r]):.4f} eV/Å (shipped model)"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
