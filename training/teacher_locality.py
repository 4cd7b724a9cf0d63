"""How far the teacher sees: the change of its force on the centre atom of a
216-atom diamond-lattice cell (pure carbon and random B-C-N alloys, thermally
rattled) when every atom beyond a radius is rattled anew.

    python training/teacher_locality.py [--teacher sevenn-l3i5] [--sigma 0.10]

Two draws of the far atoms are two far environments of one near environment, so
mean|dF| / sqrt(2) is the force error (per component) that no model of that
cutoff can go below. Each cell is also labelled twice, to show that the
teacher itself is deterministic.
"""

import argparse
import os
import sys
from pathlib import Path

import numpy as np
from ase.build import bulk

sys.path.insert(0, str(Path(__file__).resolve().parent))
import label_teacher

RADII = (5.0, 7.0)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--teacher", choices=sorted(label_teacher.TEACHERS), default="sevenn-l3i5")
    parser.add_argument("--sigma", type=float, default=0.10, help="rattle, Å rms per component")
    parser.add_argument("--cells", type=int, default=6)
    args = parser.parse_args(argv)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    teacher = label_teacher.calculator(args.teacher)
    rng = np.random.default_rng(2)
    change = {r: [] for r in RADII}
    repeat = []
    for k in range(args.cells):
        ideal = bulk("C", "diamond", a=3.567, cubic=True).repeat(3)
        if k % 2:
            ideal.set_chemical_symbols(rng.choice(["B", "C", "N"], len(ideal), p=[0.25, 0.5, 0.25]))
        atoms = ideal.copy()
        atoms.positions += rng.normal(0, args.sigma, atoms.positions.shape)
        (before,) = label_teacher.label([atoms], teacher)
        (again,) = label_teacher.label([atoms.copy()], teacher)
        repeat.append(np.abs(before.get_forces() - again.get_forces()).max())
        centre = int(np.argmin(np.linalg.norm(atoms.positions - atoms.cell.sum(0) / 2, axis=1)))
        dist = atoms.get_distances(centre, range(len(atoms)), mic=True)
        for r in RADII:
            moved = atoms.copy()
            far = dist > r
            moved.positions[far] = ideal.positions[far] + rng.normal(0, args.sigma, (far.sum(), 3))
            (after,) = label_teacher.label([moved], teacher)
            diff = before.get_forces()[centre] - after.get_forces()[centre]
            change[r].append(np.abs(diff).mean())
    print(f"{args.teacher}, {args.cells} cells rattled by {args.sigma} Å rms")
    print(f"same cell labelled twice: largest force difference {max(repeat):.2e} eV/Å")
    for r in RADII:
        c = np.array(change[r])
        print(
            f"atoms beyond {r} Å drawn anew: mean |ΔF| on the centre atom {c.mean():.3f} "
            f"± {c.std() / np.sqrt(len(c)):.3f} eV/Å; least error of a model of "
            f"cutoff {r} Å about {c.mean() / np.sqrt(2):.3f} eV/Å"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
